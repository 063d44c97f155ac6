#!/usr/bin/env python3
"""brisvane-vars on qcow2 NVRAM files, which QEMU's storage daemon serves
to it over NBD: each edit leaves the image, converted back to raw, byte for
byte what the same edit leaves in a raw copy (compressed clusters and a
compaction included); each image that must be refused gets its status and
reason with the image unchanged; and nothing is left in the temporary
folder.

    qcow2.py --tool build/brisvane-vars OVMF_VARS_4M.fd OVMF_VARS.fd

The cases run on the first template; the compaction on the second, whose
store is small enough for a few long values to fill.

A running virtual machine holding the image is a row of the firmware
suite's table of stacks, which also boots an edited image.

Needs qemu-img, qemu-storage-daemon and libnbd; says so and skips what it
cannot run. Prints one line per case; exits 1 on any failure. Needs tests/ on PYTHONPATH.
"""

import argparse
import contextlib
import fcntl
import os
import shutil
import subprocess
import sys
import tempfile

from vmtest.checks import Checks
from vmtest.media import qemu_img as img
from vmtest.media import to_qcow2 as convert
from vmtest.nvram import LONG_VALUE, free_offset, read_volume, run_tool

SET = ["-s", "-nomap", "-delay", "3"]
# Long values, one after the other, enough to fill OVMF's 2 MB store and compact it.
COMPACTING = [["-s", *(["-nostartup"] * (run % 2)), *LONG_VALUE.split()] for run in range(8)]


def corrupt(template, path):
    """A qcow2 image with QEMU's corrupt bit (incompatible feature bit 1) set."""
    convert(template, path)
    with open(path, "r+b") as f:
        f.seek(79)
        features = f.read(1)[0] | 2
        f.seek(79)
        f.write(bytes([features]))


def truncated(template, path):
    convert(template, path)
    os.truncate(path, 100)


# Each row: the case, how the image is made from the template, the runs of
# brisvane-vars on it, then for a refusal its status and a phrase of its reason.
COMPACTION = ("sets that compact the store", convert, COMPACTING, 0, None)
CASES = [
    ("set", convert, [SET], 0, None),
    ("set over compressed clusters", lambda t, p: convert(t, p, "-c"), [SET], 0, None),
    ("backing file", lambda t, p: (convert(t, p + ".base"), img("create", "-f", "qcow2", "-b", p + ".base",
                                                                "-F", "qcow2", p)),
     [SET], 80, "backing file"),
    ("external data file", lambda t, p: img("create", "-f", "qcow2", "-o", "data_file=" + p + ".data", p,
                                            str(os.path.getsize(t))), [SET], 80, "data are in the file"),
    ("encrypted", lambda t, p: img("create", "-f", "qcow2", "--object", "secret,id=key,data=x", "-o",
                                   "encrypt.format=aes,encrypt.key-secret=key", p, str(os.path.getsize(t))),
     [SET], 80, "encrypted"),
    ("marked corrupt", corrupt, [SET], 65, "Image is corrupt"),
    ("header cut short", truncated, [SET], 65, "header too short"),
    ("virtual size of no store", lambda t, p: img("create", "-f", "qcow2", p, "1M"), [SET], 65, "refused: "),
]


def run_case(checks, tool, template, work, case, env):
    name, make, runs, code, phrase = case
    path, raw = os.path.join(work, "vm_VARS.qcow2"), os.path.join(work, "vm_VARS.fd")
    make(template, path)
    shutil.copy(template, raw)
    with open(path, "rb") as f:
        before = f.read()
    problems, offsets = [], []
    for words in runs:
        result = run_tool(tool, path, *words, env=env)
        if result.returncode != code or (phrase or "") not in result.stderr:
            problems.append(f"{words[:3]}: status {result.returncode}, {result.stderr.strip()!r}")
        if code == 0:
            run_tool(tool, raw, *words)
            offsets.append(free_offset(read_volume(raw)))
    if code != 0:
        with open(path, "rb") as f:
            problems += [] if f.read() == before else ["the image changed"]
    else:
        img("check", path)
        img("convert", "-O", "raw", path, raw + ".converted")
        problems += [] if open(raw + ".converted", "rb").read() == open(raw, "rb").read() else [
            "the image converted to raw differs from the raw file the same runs edited"]
        problems += [] if len(runs) == 1 or offsets != sorted(offsets) else ["no run compacted the store"]
    problems += [f"left in the temporary folder: {os.listdir(env['TMPDIR'])}"] if os.listdir(env["TMPDIR"]) else []
    checks.record(f"{os.path.basename(template)}: {name}", problems)
    shutil.rmtree(work)
    os.mkdir(work)


@contextlib.contextmanager
def other_lock(path, env):
    """Another program's lock below QEMU's bytes, where brisvane-vars takes its own."""
    with open(path, "r+b") as f:
        fcntl.lockf(f, fcntl.LOCK_EX, 100, 0)
        yield env


@contextlib.contextmanager
def read_only(path, env):
    """The image read-only to this user: immutable for root."""
    root = os.geteuid() == 0
    if root:
        subprocess.run(["chattr", "+i", path], check=True)
    else:
        os.chmod(path, 0o444)
    yield env
    if root:
        subprocess.run(["chattr", "-i", path], check=True)


# Each row: the case, what holds the image or the run, the words, the status and a phrase of its message.
HELD = [
    ("another program's lock", other_lock, SET, 76, "another brisvane-vars"),
    ("no qemu-storage-daemon", lambda path, env: contextlib.nullcontext({**env, "PATH": "/nonexistent"}), SET, 69,
     "install the Debian package qemu-system-common"),
    ("read-only: a query", read_only, ["-g"], 0, ""),
    ("read-only: a set", read_only, SET, 73, "it is read-only; nothing was written"),
]


def held(checks, tool, template, work, env):
    """Each of HELD on a fresh image, which must stay unchanged."""
    path = os.path.join(work, "vm_VARS.qcow2")
    for name, hold, words, code, phrase in HELD:
        convert(template, path)
        with open(path, "rb") as f:
            before = f.read()
        with hold(path, env) as run_env:
            result = run_tool(tool, path, *words, env=run_env)
        problems = [] if result.returncode == code and phrase in result.stderr else [
            f"status {result.returncode}, {result.stderr.strip()!r}"]
        with open(path, "rb") as f:
            problems += [] if f.read() == before else ["the image changed"]
        checks.record(f"{os.path.basename(template)}: {name}", problems)
        os.remove(path)


def template_row(checks, tool, template, work, env):
    """--template takes a qcow2 template, and the new file is a qcow2 image."""
    source, path = os.path.join(work, "template.qcow2"), os.path.join(work, "new.qcow2")
    convert(template, source)
    result = run_tool(tool, "--template", source, path, *SET, env=env)
    shown = run_tool(tool, path, "--show", env=env).stdout.strip()
    with open(path, "rb") as f:
        magic = f.read(4)
    checks.record(f"{os.path.basename(template)}: --template from a qcow2 template",
                  [] if result.returncode == 0 and shown == "-nomap -delay 3" and magic == b"QFI\xfb" else
                  [f"status {result.returncode}, {result.stderr.strip()!r}, shown {shown!r}, magic {magic!r}"])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("templates", nargs=2)
    args = parser.parse_args()
    missing = [p for p in ("qemu-img", "qemu-storage-daemon") if not shutil.which(p)]
    if missing:
        print(f"SKIP: {', '.join(missing)} missing (scripts/install-packages.sh installs them)")
        return 0
    checks = Checks()
    with tempfile.TemporaryDirectory(prefix="qcow2-") as scratch:
        work, tmp = os.path.join(scratch, "work"), os.path.join(scratch, "tmp")
        os.mkdir(work)
        os.mkdir(tmp)
        env = {**os.environ, "TMPDIR": tmp}
        for case in CASES:
            run_case(checks, args.tool, args.templates[0], work, case, env)
        run_case(checks, args.tool, args.templates[1], work, COMPACTION, env)
        held(checks, args.tool, args.templates[0], work, env)
        template_row(checks, args.tool, args.templates[0], work, env)
    print(checks.summary())
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
