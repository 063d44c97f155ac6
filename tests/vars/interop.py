#!/usr/bin/env python3
"""Checks brisvane-vars against UEFIExtract (Debian's uefitool-cli), an NVRAM
reader written elsewhere: what brisvane-vars writes must be what UEFIExtract
reads, and every other variable must come through unchanged.

    interop.py --tool build/brisvane-vars TEMPLATE...
        On a copy of each OVMF template, seeded with neighbours of every
        kind: set a value, then run set/clear cycles until the store has
        been compacted twice, comparing every other variable (name, GUID,
        attributes, authentication fields, data) with UEFIExtract after
        each step. Prints one line per check; exits 1 on any failure.

    interop.py snapshot FILE
        Prints every live variable of FILE as UEFIExtract reads it, one JSON
        object a line.

    interop.py compare BEFORE AFTER
        Prints the differences between the variables of two files, the
        Brisvane variable left out; exits 1 when there are any.

    interop.py --tool build/brisvane-vars cycle FILE
        Runs set/clear cycles on FILE until its store has been compacted
        twice, and says what value it left.

The same functions serve tests that boot OVMF on the file: live_variables,
other_differences, cycle_until_compacted and startup_problems.
"""

import argparse
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
from typing import NamedTuple

SHELL_GUID = "158DEF5A-F656-419C-B027-7A3192C079D2"
NAME = "Brisvane"
VAR_ADDED = 0x3F
VAR_DELETED_STATE = 0x3D
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


def dump(path):
    """Every variable of the NVRAM file at path, as UEFIExtract reads it."""
    with tempfile.TemporaryDirectory() as work:
        image = os.path.join(work, "vars.fd")
        shutil.copyfile(path, image)
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
        entries = sorted(folders, key=lambda entry: int(entry.split(" ", 1)[0]))
        live, invalid = [], 0
        for entry in entries:
            folder = os.path.join(stores[0], entry)
            with open(os.path.join(folder, "info.txt"), encoding="utf-8", errors="replace") as f:
                info = f.read()
            if _field(info, "Type") != "VSS entry":
                continue
            if _field(info, "Subtype") == "Invalid":
                invalid += 1
                continue
            header, data = (_read(os.path.join(folder, part)) for part in ("header.bin", "body.bin"))
            header = bytearray(header)
            if int(_field(info, "State").rstrip("h"), 16) != VAR_ADDED:
                raise RuntimeError(f"{entry}: a valid entry that is not in the added state")
            header[2] = 0
            live.append(
                Variable(
                    _field(info, "Text"),
                    (_field(info, "Variable GUID") or "").upper(),
                    int(_field(info, "Attributes").split()[0].rstrip("h"), 16),
                    bytes(header),
                    data,
                )
            )
        return Dump(live, invalid)


def live_variables(path):
    return dump(path).live


def other_differences(before, after, name=NAME, guid=SHELL_GUID, changing=(), moving=()):
    """What differs between the variables of two NVRAM files, leaving out
    name under guid; an empty list when nothing else changed. For what the
    firmware rewrites on every boot, the variables keyed (name, GUID) in
    changing may have new data, and those in either list a new place in the
    store."""
    keep = lambda variables: [v for v in variables if v.key() != (name, guid)]
    first, second = keep(live_variables(before)), keep(live_variables(after))
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


# --- writing neighbours, independently of brisvane-vars --------------------


def _store_bounds(image):
    header_length = struct.unpack_from("<H", image, 0x30)[0]
    size = struct.unpack_from("<I", image, header_length + 16)[0]
    return header_length, header_length + size


def free_offset(image):
    """Where the next record would go: the walk of EDK II's variable driver."""
    base, end = _store_bounds(image)
    offset = base + 28
    while offset + 60 <= end and struct.unpack_from("<H", image, offset)[0] == 0x55AA:
        fields = RECORD_HEADER.unpack_from(image, offset)
        offset = (offset + 60 + fields[7] + fields[8] + 3) & ~3
    return offset


def guid_bytes(text):
    parts = text.split("-")
    return struct.pack("<IHH", int(parts[0], 16), int(parts[1], 16), int(parts[2], 16)) + bytes.fromhex(
        parts[3] + parts[4]
    )


def seed(path, neighbours):
    """Appends records (name, guid, attributes, data, state, monotonic count,
    year of the timestamp, public key index) to the store in path."""
    with open(path, "rb") as f:
        image = bytearray(f.read())
    offset = free_offset(image)
    for name, guid, attributes, data, state, count, year, key in neighbours:
        encoded = (name + "\0").encode("utf-16-le")
        timestamp = struct.pack("<HBBBBBBIhBB", year, 1, 2, 3, 4, 5, 0, 0, 0, 0, 0)
        record = RECORD_HEADER.pack(
            0x55AA, state, 0, attributes, count, timestamp, key, len(encoded), len(data), guid_bytes(guid)
        )
        record += encoded + data
        image[offset : offset + len(record)] = record
        offset = (offset + len(record) + 3) & ~3
    with open(path, "wb") as f:
        f.write(image)


NEIGHBOURS = [
    ("Boot0000", "8BE4DF61-93CA-11D2-AA0D-00E098032B8C", 0x7, bytes(range(1, 18)), VAR_ADDED, 0, 0, 0),
    ("brisvane", SHELL_GUID, 0x3, "-exit\0".encode("utf-16-le"), VAR_ADDED, 0, 0, 0),
    ("Brisvane", "9073E4E0-60EC-4B6E-9903-4C223C260F3C", 0x3, b"\x01", VAR_ADDED, 0, 0, 0),
    ("Retired", "8BE4DF61-93CA-11D2-AA0D-00E098032B8C", 0x7, b"old", VAR_DELETED_STATE, 0, 0, 0),
    ("certdb", "D9BEE56E-75DC-49D9-B4D7-B534210F637A", 0x27, b"\x04\0\0\0", VAR_ADDED, 7, 2024, 3),
    ("MemoryTypeInformation", "4C19049F-4137-4DD3-9C10-8B97A83FFDFA", 0x7, bytes(333), VAR_ADDED, 0, 0, 0),
]


# --- the checks --------------------------------------------------------------


class Checks:
    def __init__(self):
        self.failed = 0

    def check(self, what, problems):
        problems = [problems] if isinstance(problems, str) else problems
        print(("ok   " if not problems else "FAIL ") + what)
        for problem in problems:
            print(f"     {problem}")
        self.failed += bool(problems)


def run_tool(tool, path, *words):
    return subprocess.run([tool, path, *words], capture_output=True, text=True, timeout=60)


def startup_problems(path, value):
    """Whether UEFIExtract sees the value (or its absence, for None) as the
    firmware's variable driver would have written it."""
    found = [v for v in live_variables(path) if v.key() == (NAME, SHELL_GUID)]
    if value is None:
        return [f"{NAME} is still there: {found}"] if found else []
    expected = (value + "\0").encode("utf-16-le")
    header = RECORD_HEADER.pack(0x55AA, 0, 0, 3, 0, bytes(16), 0, 18, len(expected), guid_bytes(SHELL_GUID))
    wanted = Variable(NAME, SHELL_GUID, 3, header + (NAME + "\0").encode("utf-16-le"), expected)
    return [] if found == [wanted] else [f"expected {wanted}, found {found}"]


LONG_VALUE = " ".join(["-noconsoleout"] * 40)


def cycle_until_compacted(tool, path, compactions=2, max_runs=4000, on_compaction=None):
    """Sets long values and clears them with brisvane-vars on path until the
    store has been compacted that many times (seen as the free offset falling
    back); every third run clears. Calls on_compaction(runs) after each one.

    Returns (runs, the value left stored or None, compactions, failure), where
    failure is None or the CompletedProcess of a run that did not exit 0."""
    done, runs, value = 0, 0, None
    with open(path, "rb") as f:
        last = free_offset(f.read())
    while done < compactions and runs < max_runs:
        runs += 1
        if runs % 3 == 0:
            result, value = run_tool(tool, path, "-c"), None
        else:
            value = LONG_VALUE if value != LONG_VALUE else "-nostartup " + LONG_VALUE
            result = run_tool(tool, path, "-s", *value.split(" "))
        if result.returncode != 0:
            return runs, value, done, result
        with open(path, "rb") as f:
            offset = free_offset(f.read())
        if offset < last:
            done += 1
            if on_compaction:
                on_compaction(runs)
        last = offset
    return runs, value, done, None


def outside_store(path):
    with open(path, "rb") as f:
        image = f.read()
    base, end = _store_bounds(image)
    return image[:base] + image[end:]


def check_template(tool, template, checks):
    label = os.path.basename(template)
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(work, "vm_VARS.fd")
        seeded = os.path.join(work, "seeded.fd")
        shutil.copyfile(template, seeded)
        seed(seeded, NEIGHBOURS)
        live = live_variables(seeded)
        checks.check(
            f"{label}: UEFIExtract reads the seeded neighbours",
            [] if [v.name for v in live] == [n[0] for n in NEIGHBOURS if n[4] == VAR_ADDED] else f"read {live}",
        )
        shutil.copyfile(seeded, path)
        frame = outside_store(path)

        result = run_tool(tool, path, "-s", "-NoMap", "-delay", "3")
        checks.check(f"{label}: set exits 0", [] if result.returncode == 0 else f"{result}")
        checks.check(f"{label}: the value reads back exactly", startup_problems(path, "-nomap -delay 3"))
        checks.check(f"{label}: other variables unchanged after the set", other_differences(seeded, path))
        shown = run_tool(tool, path, "--show")
        checks.check(f"{label}: --show prints the value", [] if shown.stdout == "-nomap -delay 3\n" else f"{shown}")

        compacted = lambda runs: checks.check(
            f"{label}: compaction after {runs} runs keeps the other variables and no retired record",
            other_differences(seeded, path) + ([] if dump(path).invalid == 0 else ["retired records remain"]),
        )
        runs, value, compactions, failure = cycle_until_compacted(tool, path, 2, on_compaction=compacted)
        if failure:
            checks.check(f"{label}: cycle {runs} exits 0", f"{failure}")
            return
        checks.check(f"{label}: compacted twice in {runs} runs", [] if compactions == 2 else f"{compactions} times")
        checks.check(f"{label}: the last value reads back exactly", startup_problems(path, value))
        checks.check(f"{label}: volume header and working block unchanged", [] if outside_store(path) == frame else "changed")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", help="brisvane-vars to check")
    parser.add_argument("args", nargs="+", help="TEMPLATE..., or snapshot FILE, compare BEFORE AFTER, cycle FILE")
    options = parser.parse_args()
    if options.args[0] == "snapshot" and len(options.args) == 2:
        for variable in live_variables(options.args[1]):
            print(json.dumps({**variable._asdict(), "header": variable.header.hex(), "data": variable.data.hex()}))
        return 0
    if options.args[0] == "cycle" and len(options.args) == 2 and options.tool:
        runs, value, done, failure = cycle_until_compacted(os.path.abspath(options.tool), options.args[1])
        print(f"{runs} runs, {done} compactions, {NAME} is {value!r}" + (f"; failed: {failure}" if failure else ""))
        return 1 if failure or done < 2 else 0
    if options.args[0] == "compare" and len(options.args) == 3:
        problems = other_differences(options.args[1], options.args[2])
        print("\n".join(problems) if problems else "no other variable differs")
        return 1 if problems else 0
    if not options.tool:
        parser.error("--tool is needed to check templates")
    checks = Checks()
    for template in options.args:
        check_template(os.path.abspath(options.tool), template, checks)
    print(f"{checks.failed} checks failed" if checks.failed else "all checks passed")
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
