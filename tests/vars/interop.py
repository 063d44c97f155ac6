#!/usr/bin/env python3
"""Checks brisvane-vars against UEFIExtract, an NVRAM reader written
elsewhere: what brisvane-vars writes must be what UEFIExtract reads, and
every other variable must come through unchanged.

    interop.py --tool build/brisvane-vars TEMPLATE...

On a copy of each OVMF template, seeded with neighbours of every kind: set a
value, then run set/clear cycles until the store has been compacted twice,
comparing every other variable (name, GUID, attributes, authentication
fields, data) with UEFIExtract after each step. Prints one line per check;
exits 1 on any failure. Needs tests/ on PYTHONPATH.
"""

import argparse
import os
import shutil
import struct
import sys
import tempfile

from vmtest import SHELL_GUID, ucs2
from vmtest.checks import Checks
from vmtest.nvram import (GLOBAL_GUID, VAR_ADDED, cycle_until_compacted, dump, free_offset, other_differences,
                          record, record_problems, run_tool, store_bounds)

VAR_DELETED_STATE = 0x3D

# Records written independently of brisvane-vars: (name, guid, attributes,
# data, state, monotonic count, year of the timestamp, public key index).
NEIGHBOURS = [
    ("Boot0000", GLOBAL_GUID, 0x7, bytes(range(1, 18)), VAR_ADDED, 0, 0, 0),
    ("brisvane", SHELL_GUID, 0x3, ucs2("-exit"), VAR_ADDED, 0, 0, 0),
    ("Brisvane", "9073E4E0-60EC-4B6E-9903-4C223C260F3C", 0x3, b"\x01", VAR_ADDED, 0, 0, 0),
    ("Retired", GLOBAL_GUID, 0x7, b"old", VAR_DELETED_STATE, 0, 0, 0),
    ("certdb", "D9BEE56E-75DC-49D9-B4D7-B534210F637A", 0x27, b"\x04\0\0\0", VAR_ADDED, 7, 2024, 3),
    ("MemoryTypeInformation", "4C19049F-4137-4DD3-9C10-8B97A83FFDFA", 0x7, bytes(333), VAR_ADDED, 0, 0, 0),
]


def seed(path):
    """Appends the NEIGHBOURS to the store in path."""
    with open(path, "rb") as f:
        image = bytearray(f.read())
    offset = free_offset(image)
    for name, guid, attributes, data, state, count, year, key in NEIGHBOURS:
        timestamp = struct.pack("<HBBBBBBIhBB", year, 1, 2, 3, 4, 5, 0, 0, 0, 0, 0)
        written = record(name, guid, attributes, data, state, count, timestamp, key)
        image[offset : offset + len(written)] = written
        offset = (offset + len(written) + 3) & ~3
    with open(path, "wb") as f:
        f.write(image)


WORKING_BLOCK_SIGNATURE = bytes.fromhex("2b29589e687c7d49a0ce6500fd9f1b95")


def write_queue(image):
    """Where the fault-tolerant write queue lies: after the header of the
    working block, which OVMF puts on a 4 KiB boundary after the store."""
    offset = (store_bounds(image)[1] + 0xFFF) & ~0xFFF
    while image[offset : offset + 16] != WORKING_BLOCK_SIGNATURE:
        offset += 0x1000
    return offset + 32, offset + 32 + struct.unpack_from("<Q", image, offset + 24)[0]


def outside_store(path):
    """The file less the store's records and the fault-tolerant write queue,
    where compactions are queued: the volume, store and working block
    headers, and the spare area."""
    with open(path, "rb") as f:
        image = f.read()
    start, end = store_bounds(image)
    queue_start, queue_end = write_queue(image)
    return image[:start] + image[end:queue_start] + image[queue_end:]


def unfinished_writes(path):
    """The writes in the fault-tolerant write queue not marked complete."""
    with open(path, "rb") as f:
        image = f.read()
    offset, end = write_queue(image)
    unfinished = []
    while offset + 40 <= end and image[offset] != 0xFF:
        if image[offset] & 0x04:
            unfinished.append(f"write at {offset:#x}")
        writes, private = struct.unpack_from("<QQ", image, offset + 24)
        offset += 40 + writes * (40 + private)
    return unfinished


def check_template(tool, template, checks):
    label = os.path.basename(template)
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(work, "vm_VARS.fd")
        seeded = os.path.join(work, "seeded.fd")
        shutil.copyfile(template, seeded)
        seed(seeded)
        live = dump(seeded).live
        checks.record(
            f"{label}: UEFIExtract reads the seeded neighbours",
            [] if [v.name for v in live] == [n[0] for n in NEIGHBOURS if n[4] == VAR_ADDED] else f"read {live}",
        )
        shutil.copyfile(seeded, path)
        frame = outside_store(path)

        result = run_tool(tool, path, "-s", "-NoMap", "-delay", "3")
        checks.record(f"{label}: set exits 0", [] if result.returncode == 0 else f"{result}")
        checks.record(f"{label}: the value reads back exactly", record_problems(path, "-nomap -delay 3"))
        checks.record(f"{label}: other variables unchanged after the set", other_differences(seeded, path))
        shown = run_tool(tool, path, "--show")
        checks.record(f"{label}: --show prints the value",
                      [] if shown.stdout == "-nomap -delay 3\n" else f"{shown}")

        compacted = lambda runs: checks.record(
            f"{label}: compaction after {runs} runs keeps the other variables and no retired record",
            other_differences(seeded, path) + ([] if dump(path).invalid == 0 else ["retired records remain"]),
        )
        runs, value, compactions, failure = cycle_until_compacted(tool, path, on_compaction=compacted)
        if failure:
            checks.record(f"{label}: cycle {runs} exits 0", f"{failure}")
            return
        checks.record(f"{label}: compacted twice in {runs} runs", [] if compactions == 2 else f"{compactions} times")
        checks.record(f"{label}: the last value reads back exactly", record_problems(path, value))
        checks.record(f"{label}: headers and spare area unchanged, every queued write finished",
                      ([] if outside_store(path) == frame else ["changed"]) + unfinished_writes(path))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", required=True, help="brisvane-vars to check")
    parser.add_argument("templates", nargs="+", help="OVMF variable store templates")
    options = parser.parse_args()
    checks = Checks()
    for template in options.templates:
        check_template(os.path.abspath(options.tool), template, checks)
    print(f"{checks.failed} checks failed" if checks.failed else "all checks passed")
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
