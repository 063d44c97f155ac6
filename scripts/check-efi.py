#!/usr/bin/env python3
"""Checks that files are EFI application images for x86-64, IA32, AArch64,
ARM, RISC-V 64 or LoongArch64 (with --machine, for that one): PE32+, or PE32
for the 32-bit machines. Prints each one's machine, size and SHA-256; with
--max-size, fails when an image is larger than the budget."""

import argparse
import hashlib
import struct
import sys

PE32_MAGIC = (0x10B, "PE32")
PE32_PLUS_MAGIC = (0x20B, "PE32+")
# EDK II's GenFw marks ARM images as Thumb-2 code mixed with ARM (0x1C2).
MACHINES = {
    "X64": (0x8664, "x86-64", PE32_PLUS_MAGIC),
    "IA32": (0x14C, "IA32", PE32_MAGIC),
    "AARCH64": (0xAA64, "AArch64", PE32_PLUS_MAGIC),
    "ARM": (0x1C2, "ARM", PE32_MAGIC),
    "RISCV64": (0x5064, "RISC-V 64", PE32_PLUS_MAGIC),
    "LOONGARCH64": (0x6264, "LoongArch64", PE32_PLUS_MAGIC),
}
SUBSYSTEM_EFI_APPLICATION = 10


def check_image(data, machines):
    """Returns (the machine's name and format, None) for an EFI application
    image for one of the machines given, else (None, what is wrong)."""
    if len(data) < 0x40 or data[:2] != b"MZ":
        return None, "no DOS header (MZ)"
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if pe + 24 + 70 > len(data) or data[pe : pe + 4] != b"PE\0\0":
        return None, "no PE signature"
    machine = struct.unpack_from("<H", data, pe + 4)[0]
    found = [(name, kind) for code, name, kind in machines if code == machine]
    if not found:
        wanted = ", ".join(f"{name} (0x{code:04x})" for code, name, _ in machines)
        return None, f"machine is 0x{machine:04x}, not {wanted}"
    name, (wanted_magic, kind) = found[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    if magic != wanted_magic:
        return None, f"optional header magic is 0x{magic:03x}, not {kind} (0x{wanted_magic:03x})"
    # The subsystem is at the same offset in PE32 and PE32+ optional headers.
    subsystem = struct.unpack_from("<H", data, optional + 68)[0]
    if subsystem != SUBSYSTEM_EFI_APPLICATION:
        return None, f"subsystem is {subsystem}, not EFI application (10)"
    return f"{kind} {name}", None


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("images", nargs="+")
    parser.add_argument("--machine", choices=sorted(MACHINES), help="the one machine allowed")
    parser.add_argument("--max-size", type=int, help="size budget in bytes")
    args = parser.parse_args()
    machines = [MACHINES[args.machine]] if args.machine else list(MACHINES.values())
    failed = False
    for path in args.images:
        with open(path, "rb") as image:
            data = image.read()
        name, fault = check_image(data, machines)
        if fault:
            print(f"{path}: not an EFI application image: {fault}")
            failed = True
            continue
        digest = hashlib.sha256(data).hexdigest()
        print(f"{path}: {name} EFI application, {len(data)} bytes, sha256 {digest}")
        if args.max_size is not None:
            verdict = "within" if len(data) <= args.max_size else "OVER"
            print(f"size budget: {len(data)} of {args.max_size} bytes ({verdict})")
            failed = failed or len(data) > args.max_size
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
