#!/usr/bin/env python3
"""brisvane-vars on what an NVRAM lives on, where others may reach it too.

A block device that it must leave alone: a loop device holding OVMF's
store and leftovers, open in another program (76); seen by a user who
cannot see others' processes (71); holding no store (65).

Then a table of races on each medium (a raw file, a qcow2 image, the loop
device), each driven to one interleaving by stopping a run at a named
point (BRISVANE_VARS_PAUSE): another run holding it, a probe that holds
nothing, a copy or a rename over it while a set waits, a QEMU that starts
while a set waits (through a node of its own, as in libvirt's private /dev,
which no lock shows: 75, naming QEMU's process), a --template run that
loses to another run.

The firmware suite's table of stacks runs QEMU holding the raw file and the
device, each refused for QEMU's locks (75), and boots each after an edit.

The block device needs root; without it its rows are skipped. Exits 1 on a
failure. Needs tests/ on PYTHONPATH.

    media.py --tool brisvane-vars OVMF_VARS_4M.fd
"""

import argparse
import contextlib
import os
import shutil
import stat
import struct
import subprocess
import sys
import tempfile

from vmtest.checks import Checks
from vmtest.media import Unavailable, contents, loop_device, qemu_holding, to_qcow2
from vmtest.nvram import paused_run, run_tool

# A volume rounded up to its extent size, as LVM rounds an efidisk up to 4 MiB.
DEVICE_SIZE = 4 << 20
SET = ["-s", "-nomap"]


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


def expect(result, code, reason):
    """Problems with a run that must exit code saying reason."""
    problems = [] if result.returncode == code else [f"exit {result.returncode}, not {code}: {result.stderr!r}"]
    return problems + ([] if reason in result.stderr else [f"no {reason!r} in {result.stderr!r}"])


def refused(tool, path, code, reason):
    """Problems with a run that must exit code with reason and write nothing."""
    before = contents(path)
    problems = expect(run_tool(tool, path, *SET), code, reason)
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
        loop, _, _ = device(work, template, stack)
        with open(loop, "rb"), open("/proc/self/comm") as comm:
            holder = f"open in another program ({comm.read().strip()}, process {os.getpid()}"
            checks.record("open in another program, 76", refused(tool, loop, 76, holder))
        # QEMU's other programs, and any named like them, run no machine.
        namesake = shutil.copy("/bin/sleep", os.path.join(work, "qemu-helper"))
        with open(loop, "rb") as device_file:
            helper = subprocess.Popen([namesake, "60"], stdin=device_file)
        try:
            checks.record("open in a program named like QEMU's, 76",
                          refused(tool, loop, 76, f"(qemu-helper, process {helper.pid}"))
        finally:
            helper.kill()
            helper.wait()
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


def check_partition(tool, template, work, checks):
    """A partition holding the store, while another program holds its whole
    disk: 76, naming the disk, and nothing written."""
    name = "a partition whose whole disk is open in another program, 76"
    if os.geteuid() != 0:
        return checks.skip(name, "loop devices need root")
    disk, store = os.path.join(work, "disk"), contents(template)
    table = bytearray(512)
    table[446:462] = struct.pack("<B3sB3sII", 0, bytes(3), 0x83, bytes(3), 2048, len(store) // 512)
    table[510:512] = b"\x55\xaa"
    with open(disk, "wb") as f:
        f.write(bytes(table) + bytes(2048 * 512 - 512) + store)
    with contextlib.ExitStack() as stack:
        made = subprocess.run(["losetup", "-f", "--show", "-P", disk], capture_output=True, text=True)
        if made.returncode != 0:
            return checks.skip(name, f"no loop device: {made.stderr.strip()}")
        loop = made.stdout.strip()
        stack.callback(subprocess.run, ["losetup", "-d", loop], check=False)
        number = os.path.join("/sys/block", os.path.basename(loop), os.path.basename(loop) + "p1", "dev")
        if not os.path.exists(number) and shutil.which("partx"):  # where the kernel does not scan itself
            subprocess.run(["partx", "-a", loop], capture_output=True)
        if not os.path.exists(number):
            return checks.skip(name, "the kernel made no partition device (no partition scanning here)")
        with open(number) as f:
            major, minor = map(int, f.read().split(":"))
        partition = os.path.join(work, "partition")
        os.mknod(partition, 0o600 | 0o060000, os.makedev(major, minor))
        with open(loop, "rb"):
            checks.record(name, refused(tool, partition, 76, f"{loop}, which overlaps it,"))


class Medium:
    """An NVRAM made afresh for each race: its path, and for a device the
    node of its own and the store's size, which a QEMU is given."""

    def __init__(self, path, node=None, size=None):
        self.path, self.node, self.size = path, node, size


def raw_file(work, template, stack):
    return Medium(shutil.copyfile(template, os.path.join(work, "vm_VARS.fd")))


def qcow2_image(work, template, stack):
    if not shutil.which("qemu-storage-daemon"):
        raise Unavailable("qemu-storage-daemon missing")
    path = os.path.join(work, "vm_VARS.qcow2")
    to_qcow2(template, path)
    return Medium(path)


def block_device(work, template, stack):
    return Medium(*device(work, template, stack))


def second_run(tool, medium, work, template):
    """Another run holds it, stopped before its writes: a second set is
    refused as another brisvane-vars' (76, not a running machine's 75), and
    the first then sets its value."""
    with paused_run(tool, medium.path, *SET, point="read") as first:
        problems = [] if first.stopped else ["the first run did not stop"]
        problems += expect(run_tool(tool, medium.path, "-s", "-delay", "1"), 76, "brisvane-vars")
    return problems + expect(first.result, 0, "")


def readers_share(tool, medium, work, template):
    """Two reads at once: a --show while another run reads it goes through."""
    with paused_run(tool, medium.path, "--show", point="read") as first:
        problems = [] if first.stopped else ["the first run did not stop"]
        problems += expect(run_tool(tool, medium.path, "-g"), 0, "")
    return problems + expect(first.result, 0, "")


def probe_holds_nothing(tool, medium, work, template):
    """A run that has only looked at it (its O_PATH probe) holds nothing: a
    set beside it goes through."""
    with paused_run(tool, medium.path, "-g", point="probed") as probe:
        problems = [] if probe.stopped else ["the probing run did not stop"]
        problems += expect(run_tool(tool, medium.path, *SET), 0, "")
    return problems + expect(probe.result, 1, "")


def replaced(how):
    """A file put over it by how (a copy into it, or a rename over its name)
    while a set waits, ignoring the lock: 74, and the file left as put."""
    def race(tool, medium, work, template):
        other = os.path.join(work, "other.fd")
        with open(other, "wb") as f:
            f.write(contents(template) + bytes(65536))
        put = contents(other)
        with paused_run(tool, medium.path, *SET, point="read") as run:
            how(other, medium.path)
        problems = expect(run.result, 74, "nothing was written")
        return problems + ([] if contents(medium.path) == put else ["the file put over it was written"])
    return race


def qemu_starts(tool, medium, work, template):
    """A QEMU started through a node of its own while a set waits, which no
    lock shows: seen before the first write, 75, and nothing written."""
    before = contents(medium.path)
    with paused_run(tool, medium.path, *SET, point="read") as run:
        with qemu_holding(work, f"format=raw,size={medium.size},file={medium.node}") as qemu:
            run.finish()
    problems = expect(run.result, 75, f"QEMU, process {qemu.pid}")
    return problems + ([] if contents(medium.path) == before else ["it was written"])


def template_lost(refused_words):
    """A --template run that made the file, stopped, while another run sets
    a value: the --template run, refused (76 while the other holds the file;
    2 for its own words once the other is done), keeps the file and the
    other's value."""
    def race(tool, medium, work, template):
        os.unlink(medium.path)
        words = ("-s", "-bogus") if refused_words else SET
        with paused_run(tool, "--template", template, medium.path, *words, point="created") as made:
            if refused_words:
                other = run_tool(tool, medium.path, "-s", "-delay", "3")
            else:
                with paused_run(tool, medium.path, "-s", "-delay", "3", point="read") as held:
                    made.finish()
                other = held.result
        problems = expect(made.result, 2 if refused_words else 76, "kept")
        problems += expect(other, 0, "")
        shown = run_tool(tool, medium.path, "--show") if os.path.exists(medium.path) else None
        return problems + ([] if shown and "-delay 3" in shown.stdout else ["the other run's value was lost"])
    return race


# Each row: the race, the media it runs on, and the run of it.
RACES = [
    ("a second run while one holds it, 76", ("raw file", "qcow2 image", "block device"), second_run),
    ("a read while another run reads it", ("raw file",), readers_share),
    ("a run's probe holds nothing", ("raw file", "qcow2 image", "block device"), probe_holds_nothing),
    ("a copy over it while a set waits, 74", ("raw file", "qcow2 image"), replaced(shutil.copyfile)),
    ("a rename over it while a set waits, 74", ("raw file", "qcow2 image"), replaced(os.replace)),
    ("a QEMU started while a set waits, 75", ("block device",), qemu_starts),
    ("--template loses to a run that holds the file", ("raw file",), template_lost(False)),
    ("--template refused after another run's set", ("raw file",), template_lost(True)),
]
MEDIA = {"raw file": raw_file, "qcow2 image": qcow2_image, "block device": block_device}


def check_races(tool, template, work, checks):
    for name, media, race in RACES:
        for medium in media:
            with contextlib.ExitStack() as stack:
                folder = tempfile.mkdtemp(dir=work)
                try:
                    made = MEDIA[medium](folder, template, stack)
                except Unavailable as reason:
                    checks.skip(f"{medium}: {name}", reason)
                    continue
                checks.record(f"{medium}: {name}", race(tool, made, folder, template))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", required=True, help="brisvane-vars")
    parser.add_argument("template", help="an OVMF variable store template")
    options = parser.parse_args()
    checks, tool = Checks(), os.path.abspath(options.tool)
    with tempfile.TemporaryDirectory() as work:
        try:
            check_device(tool, options.template, work, checks)
        except Unavailable as reason:
            checks.skip("the block device", reason)
        check_partition(tool, options.template, work, checks)
        check_races(tool, options.template, work, checks)
    print(checks.summary())
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
