"""Boots OVMF's built-in UEFI Shell under QEMU and captures its console.

A host folder is the shell's FS0:, and its startup.nsh runs as soon as the
shell is up: the driver answers the shell's start-up countdown with a key on
the serial console, so the script starts at once instead of after five
seconds. The script is expected to end with `reset -s`, which powers the
machine off; with -no-reboot QEMU then exits. Every boot has a hard time
limit, and a boot that hits it, or that ends without powering off cleanly,
raises BootError with the console saved to a log file.

Also here: what the shell's console looks like, and how to read it back:
terminal escape sequences, dmpstore's dump of one variable, lasterror.
"""

import os
import re
import selectors
import shutil
import subprocess
import time

OVMF_CODE = "/usr/share/OVMF/OVMF_CODE_4M.fd"
OVMF_VARS_TEMPLATE = "/usr/share/OVMF/OVMF_VARS_4M.fd"

# The vendor GUID under which the UEFI Shell keeps its variables.
SHELL_VARIABLE_GUID = "158DEF5A-F656-419C-B027-7A3192C079D2"

DEFAULT_TIME_LIMIT = 120

# The shell prints this (with attributes around "ESC" and "startup.nsh")
# once a second while it waits; any key but ESC ends the wait.
COUNTDOWN = re.compile(rb"Press .{0,40}ESC.{0,40} in \d+ seconds")


class BootError(Exception):
    """A boot that did not power off cleanly within its time limit."""


def fresh_vars(path):
    """Puts a fresh copy of OVMF's variable store template at path."""
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    shutil.copyfile(OVMF_VARS_TEMPLATE, path)


def qemu_command(fs_dir, vars_file):
    command = [
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
    return command


def boot(fs_dir, vars_file, log_file, time_limit=DEFAULT_TIME_LIMIT):
    """Boots once and returns the console's raw bytes.

    The console is always written to log_file as well. Raises BootError when
    QEMU is still running after time_limit seconds (it is killed) or exits
    with a non-zero status.
    """
    for path in (OVMF_CODE, vars_file, os.path.join(fs_dir, "startup.nsh")):
        if not os.path.exists(path):
            raise BootError(f"{path} is missing")

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
        save_log(log_file, console)

    if timed_out:
        raise BootError(
            f"the virtual machine was still running after {time_limit} s and was "
            f"stopped; its console is in {log_file}"
        )
    if process.returncode != 0:
        raise BootError(
            f"QEMU exited with status {process.returncode}; its console is in {log_file}"
        )
    return bytes(console)


def save_log(path, console):
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "wb") as log:
        log.write(console)


# --- reading the console --------------------------------------------------

# The terminal driver writes control sequences (CSI: ESC [ parameters final
# byte) to clear the screen, move the cursor and change colours, as in
# "ESC[1m ESC[33m ESC[40m" around highlighted words or "ESC[=3h" for the
# mode. Nothing else that starts with ESC appears.
ESCAPE = re.compile(rb"\x1b\[[0-9;=?]*[A-Za-z]")


def strip_escapes(data):
    """Removes terminal control sequences; refuses any other ESC byte."""
    text = ESCAPE.sub(b"", data)
    if b"\x1b" in text:
        raise ValueError(f"unexpected escape byte in console text: {text!r}")
    return text


def between(console, start, end, offset=0):
    """The bytes after the first start (at or after offset) and before the
    next end, and the position after that end; None when either is missing."""
    begin = console.find(start, offset)
    if begin < 0:
        return None, offset
    begin += len(start)
    finish = console.find(end, begin)
    if finish < 0:
        return None, offset
    return console[begin:finish], finish + len(end)


DMPSTORE_HEADER = re.compile(
    rb"Variable (?P<attributes>\S+) '(?P<guid>[0-9A-Fa-f-]+):(?P<name>[^']*)' "
    rb"DataSize = 0x(?P<size>[0-9A-Fa-f]+)\r\n"
)
DMPSTORE_LINE = re.compile(
    rb"  (?P<offset>[0-9A-F]{8}): (?P<hex>(?:[0-9A-F]{2}[ -]){1,16}) *\*.*\*\r\n"
)


class StoredVariable:
    """One variable as dmpstore showed it."""

    def __init__(self, attributes, size, data):
        self.attributes = attributes
        self.size = size
        self.data = data

    def __eq__(self, other):
        return isinstance(other, StoredVariable) and (
            (self.attributes, self.size, self.data)
            == (other.attributes, other.size, other.data)
        )

    def __repr__(self):
        return f"StoredVariable({self.attributes!r}, {self.size}, {self.data!r})"

    def text(self):
        """The value as UCS-2 text without its final NUL, or None when it is
        not such text."""
        if len(self.data) % 2 or not self.data.endswith(b"\0\0"):
            return None
        try:
            return self.data[:-2].decode("utf-16-le")
        except UnicodeDecodeError:
            return None


def parse_dmpstore(output, name):
    """Reads dmpstore's output for one variable (as printed by
    `dmpstore NAME -guid GUID`).

    Returns a StoredVariable, or None when dmpstore said there is no such
    variable. Raises ValueError for anything else, so that output of an
    unexpected shape is never taken for an answer.
    """
    text = strip_escapes(output)
    absent = (
        f"dmpstore: No matching variables found. Guid {SHELL_VARIABLE_GUID}, "
        f"Name {name}\r\n"
    ).encode()
    if text == absent:
        return None
    header = DMPSTORE_HEADER.match(text)
    if not header:
        raise ValueError(f"dmpstore printed neither a variable nor its absence: {text!r}")
    if header["name"].decode() != name or header["guid"].decode().upper() != SHELL_VARIABLE_GUID:
        raise ValueError(f"dmpstore showed another variable: {text!r}")
    size = int(header["size"], 16)
    data = bytearray()
    position = header.end()
    while position < len(text):
        line = DMPSTORE_LINE.match(text, position)
        if not line or int(line["offset"], 16) != len(data):
            raise ValueError(f"unexpected dmpstore dump line at {text[position:]!r}")
        data += bytes.fromhex(line["hex"].decode().replace("-", " "))
        position = line.end()
    if len(data) != size:
        raise ValueError(f"dmpstore dumped {len(data)} bytes of a {size}-byte variable")
    return StoredVariable(header["attributes"].decode(), size, bytes(data))


# lasterror as the shell prints it: the status without its error bit, in
# hexadecimal.
STATUS_NAMES = {
    0x0: "EFI_SUCCESS",
    0x1: "EFI_LOAD_ERROR",
    0x2: "EFI_INVALID_PARAMETER",
    0x3: "EFI_UNSUPPORTED",
    0x5: "EFI_BUFFER_TOO_SMALL",
    0x7: "EFI_DEVICE_ERROR",
    0x8: "EFI_WRITE_PROTECTED",
    0x9: "EFI_OUT_OF_RESOURCES",
    0xE: "EFI_NOT_FOUND",
    0xF: "EFI_ACCESS_DENIED",
}
