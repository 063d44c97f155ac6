#!/usr/bin/env python3
"""brisvane-vars --domain against a libvirt daemon that this test starts
itself (vmtest.libvirt's session, run as nobody in a scratch folder).

One table of cases (each refusal leaving no NVRAM, or the NVRAM as it was;
a set on a domain that has never started; a saved one), and the owner and
mode of the NVRAM made compared with those libvirt gives a twin's. A paused
domain, whose QEMU holds the NVRAM, and a boot that shows the value set are
a row of the firmware suite's table of stacks.

    libvirt.py --tool build/brisvane-vars [--benchmark COUNT]

--benchmark prints the microseconds of a first-start --domain set and the
mean of COUNT more instead
(for scripts/benchmark-vars.sh). Exits 77 (skipped) when it cannot run.
"""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time

from vmtest.checks import Checks
from vmtest.nvram import paused_run
from vmtest import machine, network
from vmtest.media import Unavailable
from vmtest.libvirt import LOADER, NOBODY, PACKAGES, URI, Session, missing

SKIPPED = 77
VALUE = "-nomap -delay 3"
NETWORK = LOADER + ("<nvram type='network'><source protocol='iscsi' name='iqn.2013-07.test:nvram/0'>"
                    "<host name='nvram.invalid' port='3260'/></source></nvram>")


def fingerprint(path):
    """The file's bytes, owner and mode, or None when it is absent."""
    try:
        status = os.stat(path)
        with open(path, "rb") as f:
            return hashlib.sha256(f.read()).hexdigest(), status.st_uid, status.st_gid, oct(status.st_mode)
    except FileNotFoundError:
        return None


def made_meanwhile(session, tool, checks):
    """A --domain set stopped once it has found that a domain's NVRAM is yet
    to be made, while another run makes it and sets a value: the file is
    then taken as it is, and both sets land in turn."""
    session.define("bv-race")
    line = [tool, "--domain", "bv-race", "--connect", URI]
    as_nobody = ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups"]
    with paused_run(*as_nobody, *line, "-s", "-nomap", point="found", env=session.env) as first:
        other = session.run(*line, "-s", *VALUE.split())
    shown = session.run(*line, "--show")
    problems = [] if first.stopped else ["the first run did not stop"]
    problems += [f"{run.returncode}: {run.stderr!r}" for run in (first.result, other) if run.returncode != 0]
    checks.record("--domain: an NVRAM made meanwhile by another run is used as it is",
                  problems + ([] if shown.stdout.strip() == "-nomap" else [f"it holds {shown.stdout!r}"]))


def run_cases(session, tool, checks):
    session.define("bv-test")
    session.define("bv-fresh")
    session.define("bv-twin")
    session.define("bv-bios", firmware="")
    session.define("bv-network", firmware=NETWORK)
    session.define("bv-relative", firmware=LOADER + f"<nvram template='{machine.OVMF.vars_template}'>r1_VARS.fd</nvram>")
    test, twin = session.nvram("bv-test"), session.nvram("bv-twin")
    alias = os.path.join(session.work, "alias_VARS.fd")
    # (name, domain or None for the alias file, words, URI (None: in LIBVIRT_DEFAULT_URI alone), status, what
    # it prints, the file it must leave alone, what runs before: virsh's words, or a callable)
    cases = [
        ("no such domain", "bv-absent", ["-g"], URI, 67, "no such domain", None, None),
        ("a remote connection", "bv-test", ["-g"], "qemu+ssh://host.invalid/system", 68, "not a local", test, None),
        ("no NVRAM", "bv-bios", ["-g"], URI, 67, "no NVRAM", None, None),
        ("a network NVRAM whose server is not found", "bv-network", ["-g"], URI, 83, "iSCSI LUN, and its server's name is unknown", None, None),
        ("a relative NVRAM path", "bv-relative", ["-s", "-nomap"], URI, 66, "relative path", None, None),
        ("never started: a query answers from the template and makes nothing", "bv-fresh", ["-g"], URI, 0, "",
         session.nvram("bv-fresh"), None),
        ("never started: --show too", "bv-fresh", ["--show"], URI, 0, "not set", session.nvram("bv-fresh"), None),
        ("a refused set leaves no NVRAM", "bv-test", ["-s", "-bogus"], URI, 2, "removed again", test, None),
        ("never started: made and set", "bv-test", ["-s", *VALUE.split()], URI, 0, "", None, None),
        ("read back", "bv-test", ["--show"], URI, 0, VALUE, test, None),
        ("the environment's URI, with no --connect", "bv-test", ["-g"], None, 1, "", test, None),
        ("a last -c is brisvane's clear", "bv-test", ["-c"], URI, 0, "", None, None),
        ("a managed save image", "bv-twin", ["-s", "-nomap"], URI, 79, "managedsave-remove", twin,
         ("start --paused", "managedsave")),
        ("a managed save image, read", "bv-twin", ["--show"], URI, 0, "not set", twin, None),
        ("a managed save image, through a second name", None, [alias, "-s", "-nomap"], URI, 79,
         "libvirt domain bv-twin", twin, (lambda: os.link(twin, alias),)),
    ]
    for name, domain, words, uri, status, said, kept, before in cases:
        for command in before or ():
            command() if callable(command) else session.virsh(*command.split(), domain)
        was = fingerprint(kept) if kept else None
        by_domain = ["--domain", domain, *(["--connect", uri] if uri else [])] if domain else []
        if uri is None:
            session.env["LIBVIRT_DEFAULT_URI"] = URI
        result = session.run(tool, *by_domain, *words)
        session.env.pop("LIBVIRT_DEFAULT_URI", None)
        problems = [] if result.returncode == status else [f"exit status {result.returncode}, expected {status}"]
        said_all = result.stdout + result.stderr
        problems += [] if said in said_all else [f"it printed {said_all!r}, which does not say {said!r}"]
        problems += [] if not kept or fingerprint(kept) == was else [f"{kept} changed"]
        checks.record(f"--domain: {name}", problems)
    made, libvirts = fingerprint(test), fingerprint(twin)
    checks.record("--domain: the NVRAM made has the owner and mode libvirt gives its own",
                  [] if made and libvirts and made[1:] == libvirts[1:] else [f"made {made}, libvirt's {libvirts}"])


def network_nvram(session, tool, checks):
    """A domain whose <nvram type='network'> is an NBD export of the test's:
    set through --domain without --offline, since libvirt has it shut off,
    and read back."""
    folder = tempfile.mkdtemp(dir=session.work)
    os.chmod(folder, 0o755)
    store = shutil.copy(machine.OVMF.vars_template, os.path.join(folder, "store.fd"))
    try:
        server = network.Nbd(folder, store)
    except Unavailable as reason:
        checks.skip("--domain: a network NVRAM (NBD)", reason)
        return
    with server:
        os.chmod(server.socket, 0o777)  # the daemon and the tool run as nobody
        session.define("bv-nbd", firmware=LOADER + "<nvram type='network'><source protocol='nbd' name='nvram'>"
                       f"<host transport='unix' socket='{server.socket}'/></source></nvram>")
        line = [tool, "--domain", "bv-nbd", "--connect", URI]
        results = [session.run(*line, "-s", *VALUE.split()), session.run(*line, "--show")]
    problems = [f"exit {run.returncode}: {run.stderr.strip()!r}" for run in results if run.returncode != 0]
    checks.record("--domain: a network NVRAM (NBD) is set and read back",
                  problems + ([] if results[1].stdout.strip() == VALUE else [f"it holds {results[1].stdout!r}"]))


def benchmark(session, tool, count):
    """Prints the microseconds of the first --domain set, which makes the
    NVRAM of a domain that has never started, and the mean of count more."""
    session.define("bv-bench")
    line = [tool, "--domain", "bv-bench", "--connect", URI, "-s", "-nomap", "-delay"]
    start = time.monotonic_ns()
    if session.run(*line, "0").returncode != 0:
        raise RuntimeError("the first set failed")
    print((time.monotonic_ns() - start) // 1000, end=" ")
    start = time.monotonic_ns()
    failed = sum(session.run(*line, str(run)).returncode != 0 for run in range(count))
    print((time.monotonic_ns() - start) // count // 1000)
    if failed:
        raise RuntimeError(f"{failed} sets failed")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--benchmark", type=int, metavar="COUNT")
    args = parser.parse_args()
    lacking = missing(args.tool)
    if lacking:
        print(f"skipped: needs {', '.join(lacking)} ({PACKAGES}; the tool: make build/brisvane-vars)")
        return SKIPPED
    checks = Checks()
    work = tempfile.mkdtemp(prefix="brisvane-libvirt.")
    try:
        os.chmod(work, 0o755)
        tool = shutil.copy(args.tool, os.path.join(work, "brisvane-vars"))
        session = Session(work)
        session.start()
        try:
            if args.benchmark:
                return benchmark(session, tool, args.benchmark)
            run_cases(session, tool, checks)
            made_meanwhile(session, tool, checks)
            network_nvram(session, tool, checks)
        finally:
            session.stop()
    except (OSError, RuntimeError, ValueError, subprocess.TimeoutExpired) as error:
        checks.record("--domain: the libvirt session runs", [str(error)])
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(checks.summary())
    return 1 if checks.failed or not checks.passed else 0


if __name__ == "__main__":
    sys.exit(main())
