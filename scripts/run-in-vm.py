#!/usr/bin/env python3
"""Runs one brisvane command line in the UEFI Shell of the firmware of its
architecture (vmtest.machine: OVMF for X64 and IA32, AAVMF for AARCH64 and
ARM, RISC-V's and LoongArch's) under QEMU and shows what came of it: the console text brisvane
printed, lasterror as the shell recorded it, and the Brisvane variable as
the shell's dmpstore shows it.

The virtual machine's NVRAM file is kept between runs, so a value stored by
one run is there for the next, across the power cycle; --fresh starts from a
new copy of the firmware's template. With --secure-boot-shell the machine enforces
Secure Boot with Debian's public test key in db (for testing only) and boots
that shell, which must be signed with the test key, as brisvane.efi must.
Needs tests/ on PYTHONPATH (`make run` sets it).

Usage: run-in-vm.py --arch X64|IA32|AARCH64|ARM|RISCV64|LOONGARCH64 --efi brisvane.efi --man brisvane.man
                    --dir DIR [--secure-boot-shell SHELL.efi] [--fresh]
                    --time-limit SECONDS -- [WORD...]
"""

import argparse
import os
import shutil
import sys

from vmtest import machine, shell

# lasterror as the shell prints it, by the status's code: the low 32 bits
# of the status in hexadecimal, with the error bit on 32-bit machines alone
# (vmtest.shell.lasterror).
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


def meaning(lasterror, words):
    try:
        value = int(lasterror, 16) & ~(1 << 31)
    except ValueError:
        return "not a status"
    name = STATUS_NAMES.get(value, "a firmware status")
    if words == ["-g"] and value in (0, 1):
        return f"{name}: Brisvane is {'present' if value else 'not present'}"
    return name


def show_variable(dump):
    try:
        variable = shell.parse_dmpstore(dump)
    except ValueError:
        return ["  " + shell.strip_escapes(dump).decode("ascii", "replace").replace("\r\n", "\n  ").rstrip()]
    if variable is None:
        return ["  absent"]
    lines = [f"  attributes {variable.attributes}, DataSize 0x{variable.size:X} ({variable.size} bytes)"]
    text = variable.text()
    if text is None:
        lines.append(f"  bytes {variable.data.hex(' ')}")
    else:
        lines.append(f'  value "{text}" (UCS-2, {len(text)} characters and a NUL)')
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", required=True, choices=sorted(machine.MACHINES))
    parser.add_argument("--efi", required=True)
    parser.add_argument("--man", required=True)
    parser.add_argument("--dir", required=True, help="folder for the NVRAM file, FS0: and the log")
    parser.add_argument("--secure-boot-shell", help="enforce Secure Boot and boot this signed X64 UEFI Shell")
    parser.add_argument("--fresh", action="store_true", help="start from a new copy of the NVRAM template")
    parser.add_argument("--time-limit", type=float, required=True)
    parser.add_argument("words", nargs="*", help="brisvane's words, as typed at the shell")
    options = parser.parse_args()
    if options.secure_boot_shell and options.arch != "X64":
        parser.error("Secure Boot runs X64 images in OVMF alone")

    # One string as typed, or separate words; either way the shell splits it.
    command_line = " ".join(options.words).strip()
    if "\r" in command_line or "\n" in command_line:
        sys.exit("run-in-vm: the command line must be one line")
    if not command_line.isascii():
        sys.exit("run-in-vm: the command line must be ASCII")

    fs_dir = os.path.join(options.dir, "fs")
    log = os.path.join(options.dir, "console.log")
    os.makedirs(fs_dir, exist_ok=True)
    shutil.copyfile(options.efi, os.path.join(fs_dir, "brisvane.efi"))
    shutil.copyfile(options.man, os.path.join(fs_dir, "brisvane.man"))
    firmware = machine.MACHINES[options.arch]
    if options.secure_boot_shell:
        firmware = machine.OVMF_SECURE_BOOT
        machine.install_shell(fs_dir, options.secure_boot_shell, firmware)
        print(f"Secure Boot: enforced by {firmware.code}, booting {options.secure_boot_shell}; "
              "the shell and brisvane.efi must be signed with a key in db")
    vars_file = machine.vars_path(options.dir, firmware)
    if options.fresh or not os.path.exists(vars_file):
        machine.fresh_vars(vars_file, firmware)
        blank = "" if firmware.formatted_template else " (blank: the firmware formats it as it boots)"
        print(f"NVRAM: a fresh copy of {firmware.vars_template} in {vars_file}{blank}")
    else:
        print(f"NVRAM: {vars_file}, kept from the last run")

    print(f"FS0:\\> brisvane {command_line}".rstrip())
    sys.stdout.flush()
    command = (f"brisvane {command_line}".rstrip(),)
    [output], failure = shell.run([((), command)], fs_dir, vars_file, log, options.time_limit, firmware)
    if failure:
        sys.exit(f"run-in-vm: {failure}")
    if output is None:
        sys.exit(f"run-in-vm: the console does not show the run's end; it is in {log}")

    print()
    print("Console text (what brisvane printed; for -? the shell prints the manual page):")
    lines = shell.strip_escapes(output.console).decode("ascii", "replace").split("\r\n")
    if lines[-1] == "":
        lines.pop()
    print("\n".join(f"  | {line}" for line in lines) if lines else "  (nothing)")
    print(f"lasterror: {output.lasterror} ({meaning(output.lasterror, command_line.split())})")
    print(f"Brisvane variable ({shell.DMPSTORE}):")
    print("\n".join(show_variable(output.dump)))
    print(f"(the whole console is in {log})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
