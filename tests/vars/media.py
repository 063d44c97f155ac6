#!/usr/bin/env python3
"""brisvane-vars on a block device that it must leave alone: a loop device
holding OVMF's store and leftovers, held by a real QEMU (-S) through a node
of its own, as in libvirt's private /dev (75); open in another program (76);
seen by a user who cannot see others' processes (71); holding no store
(65). The firmware suite's table of stacks runs QEMU holding the raw file
and the device through its own node, and boots each after an edit.

Needs root for the loop device and the node; says so and exits 77 without
them, 1 on a failure. Needs tests/ on PYTHONPATH.

    media.py --tool brisvane-vars OVMF_VARS_4M.fd
"""

import argparse
import contextlib
import os
import stat
import subprocess
import sys
import tempfile

from vmtest.checks import Checks
from vmtest.media import Unavailable, contents, loop_device, qemu_holding
from vmtest.nvram import paused_run, run_tool

# A volume rounded up to its extent size, as LVM rounds an efidisk up to 4 MiB.
DEVICE_SIZE = 4 << 20


def device(work, template, stack):
    """A loop device holding the store and leftovers, a node of its own for
    it, and the store's size."""
    if os.geteuid() != 0:
        raise Unavailable("loop devices need root")
    store, volume, node = contents(template), os.path.join(work, "volume"), os.path.join(work, "own-node")
    with open(volume, "wb") as f:
        f.write(store + os.urandom(DEVICE_SIZE - len(store)))
    loop = loop_device(volume, stack)
    try:
        os.mknod(node, 0o600 | 0o060000, os.stat(loop).st_rdev)
        os.close(os.open(node, os.O_RDONLY))
    except OSError as error:
        raise Unavailable(f"no device node of its own: {error}") from error
    return loop, node, len(store)


def refused(tool, path, code, reason):
    """Problems with a run that must exit code with reason and write nothing."""
    before = contents(path)
    result = run_tool(tool, path, "-s", "-nostartup")
    problems = [] if result.returncode == code else [f"exit {result.returncode}, not {code}"]
    problems += [] if reason in result.stderr else [f"no {reason!r} in {result.stderr!r}"]
    return problems + ([] if contents(path) == before else ["it was written"])


def access_modes(pid, device):
    """The access modes (O_RDONLY, O_RDWR) of process pid's descriptors of the block device."""
    modes, number = [], os.stat(device).st_rdev
    for fd in os.listdir(f"/proc/{pid}/fd"):
        status = os.stat(f"/proc/{pid}/fd/{fd}")
        if stat.S_ISBLK(status.st_mode) and status.st_rdev == number:
            with open(f"/proc/{pid}/fdinfo/{fd}") as f:
                flags = int(f.read().split("flags:")[1].split()[0], 8)
            modes.append(flags & os.O_ACCMODE)
    return modes


def check_device(tool, template, work, checks):
    with contextlib.ExitStack() as stack:
        loop, node, size = device(work, template, stack)
        with qemu_holding(work, f"format=raw,size={size},file={node}") as qemu:
            checks.record("held by QEMU -S through a node of its own, 75",
                          refused(tool, loop, 75, f"QEMU, process {qemu.pid}, has it open"))
        with open(loop, "rb"), open("/proc/self/comm") as comm:
            holder = f"open in another program ({comm.read().strip()}, process {os.getpid()})"
            checks.record("open in another program, 76", refused(tool, loop, 76, holder))
        stack.callback(os.chmod, loop, os.stat(loop).st_mode)
        os.chmod(loop, 0o666)
        unseen = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", tool, loop, "-g"],
                                capture_output=True, text=True, timeout=60)
        checks.record("other users' processes unseen by another user, 71",
                      [] if unseen.returncode == 71 and "(run as root)" in unseen.stderr else [unseen.stderr])
        with paused_run(tool, loop, "-g", point="read") as run:
            modes = access_modes(run.process.pid, loop) if run.stopped else None
        checks.record("a query opens it for reading alone",
                      [] if modes == [os.O_RDONLY] and run.result.returncode == 0 else [f"modes {modes}"])
        with open(loop, "r+b") as f:
            f.write(os.urandom(4096))
        checks.record("no store at its start, 65", refused(tool, loop, 65, "refused"))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", required=True, help="brisvane-vars")
    parser.add_argument("template", help="an OVMF variable store template")
    options = parser.parse_args()
    checks = Checks()
    with tempfile.TemporaryDirectory() as work:
        try:
            check_device(os.path.abspath(options.tool), options.template, work, checks)
        except Unavailable as reason:
            print(f"skip the block device: {reason}")
            return 77
    print(checks.summary())
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
