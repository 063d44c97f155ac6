"""What an NVRAM lives on besides a plain file, made for tests: a loop
device over a file, a qcow2 image made with qemu-img, and a QEMU that holds
one of them as its flash with its drives open and locked, stopped before its
first instruction (-S).
"""

import contextlib
import socket
import subprocess
import time

from vmtest import machine

QEMU_TIME_LIMIT = 10


class Unavailable(Exception):
    """What this machine lacks to make a medium."""


def contents(path):
    """The bytes of a file or device."""
    with open(path, "rb") as f:
        return f.read()


def loop_device(path, stack):
    """A loop device over the file at path, detached when stack closes.
    Raises Unavailable when none can be had (loop devices need root)."""
    made = subprocess.run(["losetup", "-f", "--show", path], capture_output=True, text=True)
    if made.returncode != 0:
        raise Unavailable(f"no loop device: {made.stderr.strip()}")
    loop = made.stdout.strip()
    stack.callback(subprocess.run, ["losetup", "-d", loop], check=False)
    return loop


def qemu_img(*args):
    """Runs qemu-img; raises RuntimeError with its message when it fails."""
    result = subprocess.run(["qemu-img", *args], capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"qemu-img {args[0]}: {result.stderr.strip()}")


def to_qcow2(source, path, *options):
    """The raw image at source converted to a qcow2 image at path."""
    qemu_img("convert", "-O", "qcow2", *options, source, path)


@contextlib.contextmanager
def qemu_holding(work, drive, firmware=machine.OVMF):
    """QEMU stopped before its first instruction with firmware's code and the
    flash drive (its -drive options after if=pflash), once its drives are
    open and locked (its monitor greets only then); told to quit, as a
    machine shut down closes its drives (a network store's server then
    forgets it), and killed on every path."""
    monitor = f"{work}/qmp.sock"
    process = subprocess.Popen(
        [firmware.qemu, "-S", "-nographic", "-nodefaults", *firmware.flags[:2],
         "-qmp", f"unix:{monitor},server=on,wait=off",
         "-drive", f"if=pflash,format=raw,readonly=on,file={firmware.code}", "-drive", f"if=pflash,{drive}"],
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
        with contextlib.suppress(OSError), socket.socket(socket.AF_UNIX) as client:
            client.settimeout(QEMU_TIME_LIMIT)
            client.connect(monitor)
            client.sendall(b'{"execute":"qmp_capabilities"}\n{"execute":"quit"}\n')
            with contextlib.suppress(subprocess.TimeoutExpired):
                process.wait(QEMU_TIME_LIMIT)
    finally:
        process.kill()
        process.wait()
        process.stderr.close()
