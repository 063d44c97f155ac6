#!/usr/bin/env python3
"""Checks that a file is a PE32+ x86-64 EFI application image and prints
its size; with --max-size, fails when the image is larger than the budget."""

import argparse
import struct
import sys

MACHINE_X64 = 0x8664
PE32_PLUS_MAGIC = 0x20B
SUBSYSTEM_EFI_APPLICATION = 10


def check_image(data):
    """Returns None for an EFI application image, else what is wrong."""
    if len(data) < 0x40 or data[:2] != b"MZ":
        return "no DOS header (MZ)"
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if pe + 24 + 70 > len(data) or data[pe : pe + 4] != b"PE\0\0":
        return "no PE signature"
    machine = struct.unpack_from("<H", data, pe + 4)[0]
    if machine != MACHINE_X64:
        return f"machine is 0x{machine:04x}, not x86-64 (0x8664)"
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    if magic != PE32_PLUS_MAGIC:
        return f"optional header magic is 0x{magic:03x}, not PE32+ (0x20b)"
    subsystem = struct.unpack_from("<H", data, optional + 68)[0]
    if subsystem != SUBSYSTEM_EFI_APPLICATION:
        return f"subsystem is {subsystem}, not EFI application (10)"
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("image")
    parser.add_argument("--max-size", type=int, help="size budget in bytes")
    args = parser.parse_args()
    with open(args.image, "rb") as image:
        data = image.read()
    fault = check_image(data)
    if fault:
        print(f"{args.image}: not an EFI application image: {fault}")
        return 1
    print(f"{args.image}: PE32+ x86-64 EFI application, {len(data)} bytes")
    if args.max_size is not None:
        verdict = "within" if len(data) <= args.max_size else "OVER"
        print(f"size budget: {len(data)} of {args.max_size} bytes ({verdict})")
        if len(data) > args.max_size:
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
