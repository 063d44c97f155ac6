#!/usr/bin/env python3
"""brisvane-vars against a real QEMU (-S) on each medium an NVRAM lives on: a
raw file; a loop device holding the store and leftovers, given to QEMU with
size= as Proxmox VE gives its efidisk; and that device opened by QEMU through
a node of its own, as in libvirt's private /dev; then, on a device, another
holder (76), a user who cannot see others' processes (71) and no store (65).
A row that cannot get a loop device or node says so and is skipped; exits
77 when every row is, 1 on a failure. Needs tests/ on PYTHONPATH.

    media.py --tool brisvane-vars --code OVMF_CODE_4M.fd OVMF_VARS_4M.fd
"""

import argparse
import contextlib
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

from vmtest.checks import Checks
from vmtest.nvram import run_tool

# A volume rounded up to its extent size, as LVM rounds an efidisk up to 4 MiB.
DEVICE_SIZE = 4 << 20
QEMU_TIME_LIMIT = 10


class Skip(Exception):
    """What a row lacks."""


def make_medium(work, template, stack, device, own_node):
    """The medium: (the tool's path, QEMU's path, the store's size on a device or None)."""
    path = os.path.join(work, "vm_VARS.fd")
    with open(template, "rb") as f:
        store = f.read()
    with open(path, "wb") as f:
        f.write(store + (os.urandom(DEVICE_SIZE - len(store)) if device else b""))
    if not device:
        return path, path, None
    made = subprocess.run(["losetup", "-f", "--show", path], capture_output=True, text=True)
    if made.returncode != 0:
        raise Skip(f"no loop device: {made.stderr.strip()}")
    loop = made.stdout.strip()
    stack.callback(subprocess.run, ["losetup", "-d", loop], check=False)
    node = os.path.join(work, "own-node")
    try:
        if own_node:
            os.mknod(node, 0o600 | 0o060000, os.stat(loop).st_rdev)
            os.close(os.open(node, os.O_RDONLY))
    except OSError as error:
        raise Skip(f"no device node of its own: {error}") from error
    return loop, node if own_node else loop, len(store)


# The name, the medium (a device, through a node of its own), and QEMU holding it as reported.
STACKS = [
    ("raw file", False, False, "QEMU holds its locks"),
    ("block device", True, False, "QEMU holds its locks"),
    ("block device, QEMU through a node of its own", True, True, "QEMU, process {pid}, has it open"),
]


@contextlib.contextmanager
def qemu_holding(work, code, path, size):
    """QEMU stopped before its first instruction with path as its NVRAM, once
    its drives are open and locked (its monitor greets only then); killed on
    every path."""
    monitor = os.path.join(work, "qmp.sock")
    process = subprocess.Popen(
        ["qemu-system-x86_64", "-S", "-nographic", "-nodefaults", "-machine", "q35",
         "-qmp", f"unix:{monitor},server=on,wait=off",
         "-drive", f"if=pflash,format=raw,readonly=on,file={code}",
         "-drive", f"if=pflash,format=raw,{f'size={size},' if size else ''}file={path}"],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + QEMU_TIME_LIMIT
        while True:
            if process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"QEMU did not come up: {process.stderr.read().strip()}")
            with contextlib.suppress(OSError), socket.socket(socket.AF_UNIX) as client:
                client.settimeout(QEMU_TIME_LIMIT)
                client.connect(monitor)
                if b"QMP" in client.recv(4096):
                    break
            time.sleep(0.05)
        yield process
    finally:
        process.kill()
        process.wait()
        process.stderr.close()


def contents(path, start=0):
    with open(path, "rb") as f:
        f.seek(start)
        return f.read()


def refused(tool, path, code, reason):
    """Problems with a set that must exit code with reason and write nothing."""
    before = contents(path)
    result = run_tool(tool, path, "-s", "-nostartup")
    problems = [] if result.returncode == code else [f"exit {result.returncode}, not {code}"]
    problems += [] if reason in result.stderr else [f"no {reason!r} in {result.stderr!r}"]
    return problems + ([] if contents(path) == before else ["it was written"])


def check_stack(name, device, own_node, held, tool, code, template, checks):
    with tempfile.TemporaryDirectory() as work, contextlib.ExitStack() as stack:
        try:
            if device and os.geteuid() != 0:
                raise Skip("loop devices need root")
            path, qemu_path, store_size = make_medium(work, template, stack, device, own_node)
        except Skip as reason:
            print(f"skip {name}: {reason}")
            return False
        with qemu_holding(work, code, qemu_path, store_size) as qemu:
            checks.record(f"{name}: held by QEMU -S, 75", refused(tool, path, 75, held.format(pid=qemu.pid)))
        leftovers = contents(path, store_size or 0)
        result = run_tool(tool, path, "-s", "-NoMap", "-delay", "3")
        shown = run_tool(tool, path, "--show").stdout
        problems = [] if (result.returncode, shown) == (0, "-nomap -delay 3\n") else [f"{result}, {shown!r}"]
        problems += [] if not store_size or contents(path, store_size) == leftovers else ["leftovers written"]
        checks.record(f"{name}: with QEMU gone, set and read back, the rest untouched", problems)
        if store_size:
            with open(path, "rb"), open("/proc/self/comm") as comm:
                holder = f"open in another program ({comm.read().strip()}, process {os.getpid()})"
                checks.record(f"{name}: open in another program, 76", refused(tool, path, 76, holder))
            stack.callback(os.chmod, path, os.stat(path).st_mode)
            os.chmod(path, 0o666)
            unseen = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", tool, path, "-g"],
                                    capture_output=True, text=True, timeout=60)
            checks.record(f"{name}: other users' processes unseen by another user, 71",
                          [] if unseen.returncode == 71 and "(run as root)" in unseen.stderr else [unseen.stderr])
            with open(path, "r+b") as f:
                f.write(os.urandom(4096))
            checks.record(f"{name}: no store at its start, 65", refused(tool, path, 65, "refused"))
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", required=True, help="brisvane-vars")
    parser.add_argument("--code", required=True, help="OVMF's code image, for QEMU")
    parser.add_argument("template", help="an OVMF variable store template")
    options = parser.parse_args()
    checks = Checks()
    ran = [check_stack(*row, os.path.abspath(options.tool), options.code, options.template, checks)
           for row in STACKS]
    print(checks.summary())
    return 1 if checks.failed else 0 if any(ran) else 77


if __name__ == "__main__":
    sys.exit(main())
