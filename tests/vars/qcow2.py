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
import signal
import struct
import subprocess
import sys
import tempfile
import time

from vmtest.checks import Checks
from vmtest.media import qemu_img as img
from vmtest.media import to_qcow2 as convert
from vmtest.nvram import LONG_VALUE, free_offset, paused_run, read_volume, run_tool

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


def poke(path, offset, bits):
    """Sets bits in the byte at offset of the file at path."""
    with open(path, "r+b") as f:
        f.seek(offset)
        value = f.read(1)[0] | bits
        f.seek(offset)
        f.write(bytes([value]))


# Another program's locks on the host files that an image's header names, held while a case runs.
HOLDS = []


def data_image(name, fifo=False):
    """Makes a qcow2 image whose header names the data file name ("{}" the image's path), relative
    to the image's folder: host bytes that another program holds locked, or a FIFO."""
    def make(template, path):
        folder, name_there = os.path.dirname(path), name.replace("{}", path)
        subprocess.run(["qemu-img", "create", "-f", "qcow2", "-o", "data_file=" + name_there, path,
                        str(os.path.getsize(template))], check=True, capture_output=True, cwd=folder)
        data = os.path.join(folder, name_there)
        os.remove(data)
        if fifo:
            os.mkfifo(data)
            return
        with open(data, "wb") as f:
            f.write(os.urandom(os.path.getsize(template)))
        # An open file description's lock, which reading the file through another keeps.
        HOLDS.append(open(data, "r+b"))
        fcntl.fcntl(HOLDS[-1], fcntl.F_OFD_SETLK, struct.pack("hhqqi", fcntl.F_WRLCK, 0, 0, 0, 0))
    return make


def raw_with_magic(template, path):
    """A raw store whose first bytes a guest rewrote as a qcow2 header's."""
    shutil.copy(template, path)
    with open(path, "r+b") as f:
        f.write(b"QFI\xfb\0\0\0\3")


def dirty(template, path):
    """QEMU's dirty bit (incompatible feature bit 0), as lazy refcounts leave it."""
    convert(template, path, "-o", "lazy_refcounts=on")
    poke(path, 79, 1)


def big_with_bitmap(template, path):
    img("create", "-f", "qcow2", path, "10G")
    img("bitmap", "--add", path, "b0")


def damaged(template, path):
    """Compressed clusters whose first one does not decompress."""
    convert(template, path, "-c")
    with open(path, "rb") as f:
        header = f.read(48)
        f.seek(int.from_bytes(header[40:48], "big"))
        f.seek(int.from_bytes(f.read(8), "big") & 0x00FFFFFFFFFFFE00)
        entry = int.from_bytes(f.read(8), "big")
    with open(path, "r+b") as f:
        f.seek(entry & ((1 << (62 - (int.from_bytes(header[20:24], "big") - 8))) - 1))
        f.write(b"\xff" * 256)


READS = [["-g"], ["--show"]]


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
    # Header names that nothing may open, whose host files stay untouched and unlocked.
    ("data file named relative, in the caller's folder", data_image("vm_VARS.data"), [*READS, SET], 80,
     "data are in the file vm_VARS.data"),
    ("data file named absolute", data_image("{}.data"), [*READS, SET], 80, "data are in the file /"),
    ("data file that is a FIFO", data_image("vm_VARS.fifo", fifo=True), [*READS, SET], 80, "vm_VARS.fifo"),
    ("raw store starting with a qcow2 header", raw_with_magic, [*READS, SET], 65, "firmware volume header"),
    ("damaged: a compressed cluster that reads back EIO", damaged, READS, 65, "QEMU cannot read"),
    # Reads leave every byte as it was.
    ("read: dirty bit", dirty, READS, 0, None),
    ("read: unknown autoclear bit", lambda t, p: (convert(t, p), poke(p, 88, 0x80)), READS, 0, None),
    ("read: 10 GiB with a persistent bitmap", big_with_bitmap, READS, 65, "far too large"),
]


def run_case(checks, tool, template, work, case, env):
    name, make, runs, code, phrase = case
    path, raw = os.path.join(work, "vm_VARS.qcow2"), os.path.join(work, "vm_VARS.fd")
    make(template, path)
    shutil.copy(template, raw)
    before = files(work)
    problems, offsets = [], []
    reads = all(words[0] in ("-g", "--show") for words in runs)
    for words in runs:
        result = run_tool(tool, path, *words, env=env, cwd=work)
        if result.returncode != code or (phrase or "") not in result.stderr:
            problems.append(f"{words[:3]}: status {result.returncode}, {result.stderr.strip()!r}")
        if code == 0 and not reads:
            run_tool(tool, raw, *words)
            offsets.append(free_offset(read_volume(raw)))
    if code != 0 or reads:
        problems += [f"{name} changed" for name in before if files(work).get(name) != before[name]]
    else:
        img("check", path)
        img("convert", "-O", "raw", path, raw + ".converted")
        problems += [] if open(raw + ".converted", "rb").read() == open(raw, "rb").read() else [
            "the image converted to raw differs from the raw file the same runs edited"]
        problems += [] if len(runs) == 1 or offsets != sorted(offsets) else ["no run compacted the store"]
    problems += [f"left in the temporary folder: {os.listdir(env['TMPDIR'])}"] if os.listdir(env["TMPDIR"]) else []
    checks.record(f"{os.path.basename(template)}: {name}", problems)
    while HOLDS:
        HOLDS.pop().close()
    shutil.rmtree(work)
    os.mkdir(work)


def files(folder):
    """The bytes of each regular file in folder, by name."""
    paths = {name: os.path.join(folder, name) for name in os.listdir(folder)}
    return {name: open(path, "rb").read() for name, path in paths.items() if os.path.isfile(path)}


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


@contextlib.contextmanager
def with_file(variable, name, mode, env):
    """env with variable naming a fresh folder that holds an empty file name of mode: a program
    that cannot run, or a library that cannot load."""
    with tempfile.TemporaryDirectory() as folder:
        os.close(os.open(os.path.join(folder, name), os.O_CREAT | os.O_WRONLY, mode))
        yield {**env, variable: folder}


# Each row: the case, what holds the image or the run, the words, the status and a phrase of its message.
HELD = [
    ("another program's lock", other_lock, SET, 76, "another brisvane-vars"),
    ("no qemu-storage-daemon", lambda path, env: contextlib.nullcontext({**env, "PATH": "/nonexistent"}), SET, 69,
     "install the Debian package qemu-system-common"),
    ("qemu-storage-daemon that cannot be run", lambda path, env: with_file("PATH", "qemu-storage-daemon", 0o644, env),
     SET, 69, "qemu-storage-daemon cannot be run: Permission denied"),
    ("libnbd's libxml2 hidden", lambda path, env: with_file("LD_LIBRARY_PATH", "libxml2.so.2", 0o644, env), SET, 69,
     "libnbd.so.0 cannot be loaded ("),
    ("no private folder in TMPDIR", lambda path, env: contextlib.nullcontext({**env, "TMPDIR": "/proc"}), SET, 70,
     "cannot make a private folder for QEMU's socket in /proc"),
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


# Each row: the case, whom a signal is sent while the run is held in the daemon's start, the signal,
# the run's status (minus the signal that ends it) and a phrase of its message.
# Each row: the case, whom the signal is sent to, the signal, where the run is stopped, and the
# run's status and a phrase of its message.
SIGNALLED = [
    *((f"{sig.name} to brisvane-vars in the daemon's start", "tool", sig, "spawned", -sig, "")
      for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGPIPE, signal.SIGKILL)),
    ("the daemon killed in its start", "daemon", signal.SIGKILL, "spawned", 70, "it was killed by signal 9"),
    ("the daemon killed before the first write", "daemon", signal.SIGKILL, "read", 73, "cannot write it"),
]


def children(pid):
    with open(f"/proc/{pid}/task/{pid}/children") as f:
        return [int(child) for child in f.read().split()]


def gone(pid):
    """Whether process pid has ended and been reaped, waiting for a killed run's daemon to end."""
    for _ in range(600):
        if not os.path.exists(f"/proc/{pid}"):
            return True
        time.sleep(0.1)
    return False


def next_run_sweeps(tool, path, env):
    """Problems with the next run's sweep of the temporary folder: it must remove the stale folder,
    and keep one that a live run holds (marked and locked) and one without the mark."""
    tmp = env["TMPDIR"]
    held, unmarked = os.path.join(tmp, "brisvane-vars.held"), os.path.join(tmp, "brisvane-vars.unmarked")
    os.mkdir(held, 0o700)
    os.chmod(held, 0o1700)
    os.mkdir(unmarked, 0o700)
    lock = os.open(held, os.O_RDONLY)
    fcntl.flock(lock, fcntl.LOCK_EX)
    later = run_tool(tool, path, "--show", env=env)
    left = sorted(os.listdir(tmp))
    os.close(lock)
    os.rmdir(held)
    os.rmdir(unmarked)
    problems = [] if later.returncode == 0 else [f"the next run: {later.stderr.strip()!r}"]
    return problems + ([] if left == [os.path.basename(held), os.path.basename(unmarked)] else [
        f"after the next run, the temporary folder holds {left}"])


def signalled(checks, tool, template, work, env):
    """Each of SIGNALLED on a fresh image, which must stay unchanged, with nothing left in TMPDIR:
    at once when the signal can be caught, after the next run when it cannot."""
    path, tmp = os.path.join(work, "vm_VARS.qcow2"), env["TMPDIR"]
    for name, whom, sig, point, code, phrase in SIGNALLED:
        convert(template, path)
        with open(path, "rb") as f:
            before = f.read()
        with paused_run(tool, path, *SET, point=point, env=env) as run:
            daemons = children(run.process.pid) if run.stopped else []
            if daemons:
                os.kill(run.process.pid if whom == "tool" else daemons[0], sig)
        result = run.result
        problems = [] if run.stopped and len(daemons) == 1 else ["it did not stop with its daemon started"]
        problems += [] if result.returncode == code and phrase in result.stderr else [
            f"status {result.returncode}, {result.stderr.strip()!r}"]
        problems += [] if all(gone(pid) for pid in daemons) else ["its daemon is still there"]
        if sig == signal.SIGKILL and whom == "tool":
            problems += next_run_sweeps(tool, path, env)
        problems += [f"left in the temporary folder: {os.listdir(tmp)}"] if os.listdir(tmp) else []
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
    args.tool = os.path.abspath(args.tool)
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
        signalled(checks, args.tool, args.templates[0], work, env)
        template_row(checks, args.tool, args.templates[0], work, env)
    print(checks.summary())
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
