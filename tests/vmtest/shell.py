"""The startup.nsh of a boot, made of steps, and the console read back.

Each step's stage lines run first and are not read back; then come a begin
marker, the step's command lines, a marker with %lasterror%, dmpstore of the
Brisvane variable and an end marker. The script ends with `reset -s`, which
powers the machine off. Also here: terminal escape sequences and dmpstore's
dump of one variable.
"""

import os
import re
from typing import NamedTuple, Optional

from vmtest import SHELL_GUID, VARIABLE, machine

DMPSTORE = f"dmpstore {VARIABLE} -guid {SHELL_GUID}"


class Output(NamedTuple):
    """What one step left on the console."""

    console: bytes  # what its command lines printed, as received
    lasterror: str  # as `echo %lasterror%` prints it
    dump: bytes  # what dmpstore printed for the variable


def script(steps, setup=()):
    """The script of steps, each a pair: the stage lines, the command lines;
    the setup lines run before them."""
    lines = ["@echo -off", *setup]
    for number, (stage, command) in enumerate(steps):
        lines += stage
        lines.append(f"echo BV-BEGIN {number}")
        lines += command
        lines += [f"echo BV-STATUS {number} %lasterror%", DMPSTORE, f"echo BV-END {number}"]
    lines.append("reset -s")
    return "".join(line + "\r\n" for line in lines).encode("ascii")


def lasterror(code, firmware):
    """What `echo %lasterror%` prints on firmware's machine after a command
    returned success (code 0) or the error with this code. The shell keeps
    the status as a SHELL_STATUS, a 32-bit enum, which drops a 64-bit
    machine's error bit and keeps a 32-bit machine's."""
    return f"0x{machine.efi_status(code, firmware) & 0xFFFFFFFF:X}"


def run(steps, fs_dir, vars_file, log_file, time_limit, firmware=machine.OVMF, drive="format=raw"):
    """Runs steps in one boot of firmware (a machine.Firmware), with fs_dir
    as FS0: and vars_file as its NVRAM (drive: as machine.boot takes it).

    Returns the Output of each step (None for a step whose output the console
    does not hold whole) and why the boot failed (None when it powered off
    cleanly)."""
    with open(os.path.join(fs_dir, "startup.nsh"), "wb") as f:
        f.write(script(steps, firmware.shell_setup))
    try:
        console, failure = machine.boot(fs_dir, vars_file, log_file, time_limit, firmware, drive), None
    except machine.BootError as error:
        console, failure = error.console, str(error)
    return [read_output(console, number) for number in range(len(steps))], failure


def between(console, start, end, offset):
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


def read_output(console, number):
    printed, after = between(console, f"BV-BEGIN {number}\r\n".encode(), f"BV-STATUS {number} ".encode(), 0)
    if printed is None:
        return None
    status, after = between(console, b"", b"\r\n", after)
    dump, _ = between(console, b"", f"BV-END {number}\r\n".encode(), after)
    if status is None or dump is None:
        return None
    return Output(printed, status.decode("ascii", "replace"), dump)


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


DMPSTORE_HEADER = re.compile(
    rb"Variable (?P<attributes>\S+) '(?P<guid>[0-9A-Fa-f-]+):(?P<name>[^']*)' "
    rb"DataSize = 0x(?P<size>[0-9A-Fa-f]+)\r\n"
)
DMPSTORE_LINE = re.compile(
    rb"  (?P<offset>[0-9A-F]{8}): (?P<hex>(?:[0-9A-F]{2}[ -]){1,16}) *\*.*\*\r\n"
)
DMPSTORE_ABSENT = f"dmpstore: No matching variables found. Guid {SHELL_GUID}, Name {VARIABLE}\r\n".encode()


class StoredVariable(NamedTuple):
    """The variable as dmpstore showed it."""

    attributes: str
    size: int
    data: bytes

    def text(self) -> Optional[str]:
        """The value as UCS-2 text without its final NUL, or None when it is
        not such text."""
        if len(self.data) % 2 or not self.data.endswith(b"\0\0"):
            return None
        try:
            return self.data[:-2].decode("utf-16-le")
        except UnicodeDecodeError:
            return None


def parse_dmpstore(output):
    """Reads what dmpstore printed for the variable.

    Returns a StoredVariable, or None when dmpstore said there is no such
    variable. Raises ValueError for anything else, so that output of an
    unexpected shape is never taken for an answer.
    """
    text = strip_escapes(output)
    if text == DMPSTORE_ABSENT:
        return None
    header = DMPSTORE_HEADER.match(text)
    if not header:
        raise ValueError(f"dmpstore printed neither a variable nor its absence: {text!r}")
    if header["name"].decode() != VARIABLE or header["guid"].decode().upper() != SHELL_GUID:
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
