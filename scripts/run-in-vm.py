#!/usr/bin/env python3
"""Runs one brisvane command line in OVMF's UEFI Shell under QEMU and shows
what came of it: the console text brisvane printed, lasterror as the shell
recorded it, and the Brisvane variable as the shell's dmpstore shows it.

The virtual machine's NVRAM file is kept between runs, so a value stored by
one run is there for the next, across the power cycle; --fresh starts from a
new copy of OVMF's template.

Usage: run-in-vm.py --efi brisvane.efi [--man brisvane.man] --dir DIR
                    [--fresh] [--time-limit SECONDS] -- [WORD...]
"""

import argparse
import os
import shutil
import sys

sys.dont_write_bytecode = True  # leave no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import ovmf  # noqa: E402

VARIABLE = "Brisvane"


def script(command_line):
    lines = [
        "@echo -off",
        "echo BVRUN-BEGIN",
        f"brisvane {command_line}".rstrip(),
        "echo BVRUN-STATUS %lasterror%",
        f"dmpstore {VARIABLE} -guid {ovmf.SHELL_VARIABLE_GUID}",
        "echo BVRUN-END",
        "reset -s",
    ]
    return "".join(line + "\r\n" for line in lines).encode("ascii")


def meaning(lasterror, words):
    try:
        value = int(lasterror, 16)
    except ValueError:
        return "not a status"
    name = ovmf.STATUS_NAMES.get(value, "a firmware status")
    if words == ["-g"] and value in (0, 1):
        return f"{name}: Brisvane is {'present' if value else 'not present'}"
    return name


def show_variable(variable):
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
    parser.add_argument("--efi", required=True)
    parser.add_argument("--man")
    parser.add_argument("--dir", required=True, help="folder for the NVRAM file, FS0: and the log")
    parser.add_argument("--fresh", action="store_true", help="start from a new copy of the NVRAM template")
    parser.add_argument("--time-limit", type=float, default=ovmf.DEFAULT_TIME_LIMIT)
    parser.add_argument("words", nargs="*", help="brisvane's words, as typed at the shell")
    options = parser.parse_args()

    # One string as typed, or separate words; either way the shell splits it.
    command_line = " ".join(options.words).strip()
    for bad in ("\r", "\n"):
        if bad in command_line:
            sys.exit("run-in-vm: the command line must be one line")
    try:
        command_line.encode("ascii")
    except UnicodeEncodeError:
        sys.exit("run-in-vm: the command line must be ASCII")

    fs_dir = os.path.join(options.dir, "fs")
    vars_file = os.path.join(options.dir, "OVMF_VARS.fd")
    log = os.path.join(options.dir, "console.log")
    os.makedirs(fs_dir, exist_ok=True)
    shutil.copyfile(options.efi, os.path.join(fs_dir, "brisvane.efi"))
    if options.man:
        shutil.copyfile(options.man, os.path.join(fs_dir, "brisvane.man"))
    if options.fresh or not os.path.exists(vars_file):
        ovmf.fresh_vars(vars_file)
        print(f"NVRAM: a fresh copy of {ovmf.OVMF_VARS_TEMPLATE} in {vars_file}")
    else:
        print(f"NVRAM: {vars_file}, kept from the last run")
    with open(os.path.join(fs_dir, "startup.nsh"), "wb") as f:
        f.write(script(command_line))

    print(f"FS0:\\> brisvane {command_line}".rstrip())
    sys.stdout.flush()
    try:
        console = ovmf.boot(fs_dir, vars_file, log, options.time_limit)
    except ovmf.BootError as error:
        sys.exit(f"run-in-vm: {error}")

    printed, after = ovmf.between(console, b"BVRUN-BEGIN\r\n", b"BVRUN-STATUS ")
    status, after = ovmf.between(console, b"", b"\r\n", after) if printed is not None else (None, 0)
    dump, _ = ovmf.between(console, b"", b"BVRUN-END\r\n", after) if status is not None else (None, 0)
    if dump is None:
        sys.exit(f"run-in-vm: the console does not show the run's end; it is in {log}")

    print()
    print("Console text (what brisvane printed; for -? the shell prints the manual page):")
    text = ovmf.strip_escapes(printed).decode("ascii", "replace")
    if text:
        lines = text.split("\r\n")
        if lines[-1] == "":
            lines.pop()
        for line in lines:
            print(f"  | {line}")
    else:
        print("  (nothing)")
    lasterror = status.decode("ascii", "replace")
    print(f"lasterror: {lasterror} ({meaning(lasterror, command_line.split())})")
    print(f"Brisvane variable (dmpstore {VARIABLE} -guid {ovmf.SHELL_VARIABLE_GUID}):")
    try:
        variable = ovmf.parse_dmpstore(dump, VARIABLE)
    except ValueError:
        print("  " + ovmf.strip_escapes(dump).decode("ascii", "replace").replace("\r\n", "\n  ").rstrip())
    else:
        print("\n".join(show_variable(variable)))
    print(f"(the whole console is in {log})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
