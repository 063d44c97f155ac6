"""A virtual machine's NVRAM file: its variables as UEFIExtract (Debian's
uefitool-cli), an NVRAM reader written elsewhere, reads them, the layout of
its variable store, and brisvane-vars run on it.
"""

import contextlib
import os
import re
import signal
import struct
import subprocess
import tempfile
import time
from typing import NamedTuple

from vmtest import SHELL_GUID, VARIABLE, ucs2

GLOBAL_GUID = "8BE4DF61-93CA-11D2-AA0D-00E098032B8C"
VAR_ADDED = 0x3F
# The authenticated variable header: 60 bytes, then the name, then the data.
RECORD_HEADER = struct.Struct("<HBBIQ16sIII16s")


class Variable(NamedTuple):
    name: str
    guid: str
    attributes: int
    header: bytes  # UEFIExtract's header.bin less its State byte: every other field and the name
    data: bytes

    def key(self):
        return (self.name, self.guid)


class Dump(NamedTuple):
    live: list  # Variable, in store order
    invalid: int  # entries of retired records


def _field(info, name):
    match = re.search(rf"^{re.escape(name)}: (.*)$", info, re.MULTILINE)
    return match.group(1).strip() if match else None


def _read(path):
    # UEFIExtract writes no body.bin for an entry without data.
    if not os.path.exists(path):
        return b""
    with open(path, "rb") as f:
        return f.read()


def read_volume(path):
    """The variable volume at the start of the NVRAM file at path, as long as
    its header says (FvLength). Raises RuntimeError when bytes follow it
    that are not zero padding, as AAVMF's file pads the volume to the size
    of its flash."""
    with open(path, "rb") as f:
        image = f.read()
    length = struct.unpack_from("<Q", image, 0x20)[0]
    if image.count(0, length) != len(image) - length:
        raise RuntimeError(f"{path}: bytes past the variable volume's 0x{length:X} are not all zero")
    return image[:length]


def dump(path, cut=False):
    """Every variable of the NVRAM file at path, as UEFIExtract reads it.
    Raises RuntimeError when it finds other than one store, or a valid
    entry that is not in the added state, or padding that is not zeros.
    With cut, the file may be one that a write cut short left: its entries
    in other states (a header valid only, or in transition) are not in
    force, and are left out."""
    with tempfile.TemporaryDirectory() as work:
        # Without the padding, which UEFIExtract would walk for seconds.
        image = os.path.join(work, "vars.fd")
        with open(image, "wb") as f:
            f.write(read_volume(path))
        result = subprocess.run(["UEFIExtract", image, "all"], capture_output=True, text=True, timeout=120)
        stores = []
        for folder, _, files in os.walk(image + ".dump"):
            if "info.txt" in files:
                with open(os.path.join(folder, "info.txt"), encoding="utf-8", errors="replace") as f:
                    if _field(f.read(), "Type") == "VSS2 store":
                        stores.append(folder)
        if len(stores) != 1:
            raise RuntimeError(f"UEFIExtract found {len(stores)} variable stores: {result.stdout}{result.stderr}")
        folders = [entry for entry in os.listdir(stores[0]) if os.path.isdir(os.path.join(stores[0], entry))]
        live, invalid = [], 0
        for entry in sorted(folders, key=lambda entry: int(entry.split(" ", 1)[0])):
            folder = os.path.join(stores[0], entry)
            with open(os.path.join(folder, "info.txt"), encoding="utf-8", errors="replace") as f:
                info = f.read()
            if _field(info, "Type") != "VSS entry":
                continue
            if _field(info, "Subtype") == "Invalid":
                invalid += 1
                continue
            if int(_field(info, "State").rstrip("h"), 16) != VAR_ADDED:
                if cut:
                    continue
                raise RuntimeError(f"{entry}: a valid entry that is not in the added state")
            header = bytearray(_read(os.path.join(folder, "header.bin")))
            header[2] = 0
            live.append(
                Variable(
                    _field(info, "Text"),
                    (_field(info, "Variable GUID") or "").upper(),
                    int(_field(info, "Attributes").split()[0].rstrip("h"), 16),
                    bytes(header),
                    _read(os.path.join(folder, "body.bin")),
                )
            )
        return Dump(live, invalid)


def other_differences(before, after, changing=(), moving=()):
    """What differs between the variables of two NVRAM files, leaving out
    brisvane's; an empty list when nothing else changed. For what the
    firmware rewrites on every boot, the variables keyed (name, GUID) in
    changing may have new data, and those in either list a new place in the
    store."""
    keep = lambda path: [v for v in dump(path).live if v.key() != (VARIABLE, SHELL_GUID)]
    first, second = keep(before), keep(after)
    old, new = {v.key(): v for v in first}, {v.key(): v for v in second}
    problems = [f"{key} is gone" for key in old if key not in new]
    problems += [f"{key} is new" for key in new if key not in old]
    for key in old.keys() & new.keys():
        for field in ("attributes", "header", "data"):
            allowed = field == "data" and key in changing
            if getattr(old[key], field) != getattr(new[key], field) and not allowed:
                problems.append(f"{key}: its {field} changed")
    order = lambda variables: [v.key() for v in variables if v.key() not in (*changing, *moving)]
    if not problems and order(first) != order(second):
        problems.append("the variables are in another order")
    return sorted(problems)


def guid_bytes(text):
    parts = text.split("-")
    fields = struct.pack("<IHH", int(parts[0], 16), int(parts[1], 16), int(parts[2], 16))
    return fields + bytes.fromhex(parts[3] + parts[4])


def record(name, guid, attributes, data, state=0, count=0, timestamp=bytes(16), key=0):
    """A variable's record as EDK II's authenticated variable driver lays it
    out: the header, the name, the data."""
    encoded = ucs2(name)
    header = RECORD_HEADER.pack(
        0x55AA, state, 0, attributes, count, timestamp, key, len(encoded), len(data), guid_bytes(guid)
    )
    return header + encoded + data


def record_problems(path, value):
    """Problems with brisvane's variable as UEFIExtract reads it from path: it
    must be one record in force holding value, exactly as the firmware's
    variable driver writes it (NV+BS, no count, time or key), or absent for
    None."""
    found = [v for v in dump(path).live if v.key() == (VARIABLE, SHELL_GUID)]
    if value is None:
        return [f"{VARIABLE} is still there: {found}"] if found else []
    data = ucs2(value)
    header = record(VARIABLE, SHELL_GUID, 3, data)[: -len(data)]  # with the name, as UEFIExtract's header.bin
    wanted = Variable(VARIABLE, SHELL_GUID, 3, header, data)
    return [] if found == [wanted] else [f"expected {wanted}, found {found}"]


def store_bounds(image):
    """Where the variable store's records start and end in image."""
    header_length = struct.unpack_from("<H", image, 0x30)[0]
    size = struct.unpack_from("<I", image, header_length + 16)[0]
    return header_length + 28, header_length + size


def free_offset(image):
    """Where the next record would go: the walk of EDK II's variable driver."""
    offset, end = store_bounds(image)
    while offset + RECORD_HEADER.size <= end and struct.unpack_from("<H", image, offset)[0] == 0x55AA:
        fields = RECORD_HEADER.unpack_from(image, offset)
        offset = (offset + RECORD_HEADER.size + fields[7] + fields[8] + 3) & ~3
    return offset


def run_tool(tool, path, *words, env=None, cwd=None):
    """Runs brisvane-vars on path with brisvane's words, in env (this
    process's environment by default) and in the folder cwd (this process's
    by default)."""
    return subprocess.run([tool, path, *words], capture_output=True, text=True, timeout=60, env=env, cwd=cwd)


class PausedRun:
    """A run of brisvane-vars held at a point: stopped tells whether it
    stopped there; finish() lets it go on and waits for it, and result is
    then its CompletedProcess."""

    def __init__(self, process):
        self.process, self.stopped, self.result = process, False, None

    def finish(self):
        if self.result is None:
            if self.process.poll() is None:
                os.kill(self.process.pid, signal.SIGCONT)
            out, err = self.process.communicate(timeout=60)
            self.result = subprocess.CompletedProcess(self.process.args, self.process.returncode, out, err)
        return self.result


def _state(pid):
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0]


@contextlib.contextmanager
def paused_run(tool, *arguments, point, env=None):
    """Starts brisvane-vars with arguments and BRISVANE_VARS_PAUSE=point, so
    that it stops itself there, and yields a PausedRun once it has (or has
    ended without reaching it); on leaving, finishes it."""
    env = dict(os.environ if env is None else env, BRISVANE_VARS_PAUSE=point)
    process = subprocess.Popen([tool, *arguments], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True, env=env)
    run = PausedRun(process)
    try:
        deadline = time.monotonic() + 60
        while process.poll() is None and time.monotonic() < deadline and not run.stopped:
            run.stopped = _state(process.pid) == "T"
            time.sleep(0.01)
        yield run
    finally:
        run.finish()

# With "-nostartup " before it, the largest record that OVMF's 2 MB build
# and AAVMF take (0x2000 bytes), so that few runs fill a store.
LONG_VALUE = " ".join(["-noconsoleout"] * 289)


def cycle_until_compacted(tool, path, on_compaction=None):
    """Sets long values and clears them with brisvane-vars on path until the
    store has been compacted twice (seen as the free offset falling back);
    every third run clears. Calls on_compaction(runs) after each compaction.

    Returns (runs, the value left stored or None, compactions, failure), where
    failure is None or the CompletedProcess of a run that did not exit 0."""
    done, runs, value = 0, 0, None
    last = free_offset(read_volume(path))
    while done < 2 and runs < 1000:  # far more than two compactions of a 4 MB store take
        runs += 1
        if runs % 3 == 0:
            result, value = run_tool(tool, path, "-c"), None
        else:
            value = LONG_VALUE if value != LONG_VALUE else "-nostartup " + LONG_VALUE
            result = run_tool(tool, path, "-s", *value.split(" "))
        if result.returncode != 0:
            return runs, value, done, result
        offset = free_offset(read_volume(path))
        if offset < last:
            done += 1
            if on_compaction:
                on_compaction(runs)
        last = offset
    return runs, value, done, None
