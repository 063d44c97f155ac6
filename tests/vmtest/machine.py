"""Boots OVMF's built-in UEFI Shell under QEMU and captures its console.

A host folder is the shell's FS0:, and its startup.nsh runs as soon as the
shell is up: the driver answers the shell's start-up countdown with a key on
the serial console, so the script starts at once instead of after five
seconds. The script is expected to end with `reset -s`, which powers the
machine off; with -no-reboot QEMU then exits. Every boot has a hard time
limit, and a boot that hits it, or that ends without powering off cleanly,
raises BootError with the console saved to a log file.
"""

import os
import re
import selectors
import shutil
import subprocess
import time

OVMF_CODE = "/usr/share/OVMF/OVMF_CODE_4M.fd"
OVMF_VARS_TEMPLATE = "/usr/share/OVMF/OVMF_VARS_4M.fd"

# The shell prints this (with attributes around "ESC" and "startup.nsh")
# once a second while it waits; any key but ESC ends the wait.
COUNTDOWN = re.compile(rb"Press .{0,40}ESC.{0,40} in \d+ seconds")


class BootError(Exception):
    """A boot that did not power off cleanly within its time limit; console
    holds what it printed."""

    def __init__(self, message, console):
        super().__init__(message)
        self.console = console


def fresh_vars(path):
    """Puts a fresh copy of OVMF's variable store template at path."""
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    shutil.copyfile(OVMF_VARS_TEMPLATE, path)


def qemu_command(fs_dir, vars_file):
    return [
        "qemu-system-x86_64",
        # TCG alone: it needs no KVM, and behaves the same on every machine.
        "-machine", "q35,accel=tcg",
        "-m", "256",
        "-nographic",
        "-no-reboot",
        "-net", "none",
        "-drive", f"if=pflash,format=raw,readonly=on,file={OVMF_CODE}",
        "-drive", f"if=pflash,format=raw,file={vars_file}",
        "-drive", f"file=fat:rw:{fs_dir},format=raw,media=disk",
    ]


def boot(fs_dir, vars_file, log_file, time_limit):
    """Boots once and returns the console's raw bytes.

    The console is always written to log_file as well. Raises BootError when
    QEMU is still running after time_limit seconds (it is killed) or exits
    with a non-zero status.
    """
    for path in (OVMF_CODE, vars_file, os.path.join(fs_dir, "startup.nsh")):
        if not os.path.exists(path):
            raise BootError(f"{path} is missing", b"")

    process = subprocess.Popen(
        qemu_command(fs_dir, vars_file),
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
    )
    console = bytearray()
    answered = 0  # countdown prompts seen so far and answered with a key
    deadline = time.monotonic() + time_limit
    selector = selectors.DefaultSelector()
    selector.register(process.stdout, selectors.EVENT_READ)
    timed_out = False
    try:
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                timed_out = True
                break
            if not selector.select(timeout=min(remaining, 1.0)):
                continue
            chunk = os.read(process.stdout.fileno(), 65536)
            if not chunk:
                break
            console += chunk
            prompts = len(COUNTDOWN.findall(console))
            if prompts > answered:
                answered = prompts
                try:
                    process.stdin.write(b" ")
                    process.stdin.flush()
                except BrokenPipeError:
                    pass
        if timed_out:
            process.kill()
        try:
            process.wait(timeout=max(deadline - time.monotonic(), 5))
        except subprocess.TimeoutExpired:
            timed_out = True
            process.kill()
            process.wait()
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
        selector.close()
        process.stdout.close()
        try:
            process.stdin.close()
        except BrokenPipeError:
            pass
        os.makedirs(os.path.dirname(os.path.abspath(log_file)), exist_ok=True)
        with open(log_file, "wb") as log:
            log.write(console)

    if timed_out:
        raise BootError(
            f"the virtual machine was still running after {time_limit} s and was "
            f"stopped; its console is in {log_file}",
            bytes(console),
        )
    if process.returncode != 0:
        raise BootError(
            f"QEMU exited with status {process.returncode}; its console is in {log_file}", bytes(console)
        )
    return bytes(console)
