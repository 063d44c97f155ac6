#!/usr/bin/env python3
"""The firmware test suite: runs brisvane.efi in the UEFI Shell of the
machine for its architecture (vmtest.machine.MACHINES) under QEMU
and checks every case of cases.py.

Boot 1 starts on a fresh copy of the firmware's NVRAM template and runs all
the cases that need no power cycle, in one generated startup.nsh (see
boots and vmtest.shell). It ends by storing a value and powering off. The
NVRAM file is then read with UEFIExtract, and boot 2 runs on the same file
to see the value persist and to delete it; UEFIExtract reads the file once
more.

With --vars-boots, alongside them on an NVRAM file of its own, brisvane-vars
and the firmware take turns (vars_boots); with --cut-files, the firmware then
boots the cut simulator's sample of cut files. With
--signed-efi and --secure-boot-shell, after boot 2, a boot on a third NVRAM
file enforces Secure Boot (OVMF's secboot build, a copy of Debian's store
with its public test key in PK, KEK and db, the UEFI Shell signed with that
key): a copy of brisvane.efi signed with the test key passes the core cases,
and the unsigned image is refused by the firmware. Then, with --vars-boots
on X64, the table of stacks an NVRAM lives on runs (stacks).

Prints one line per check and finally "N passed, N failed"; exits non-zero
on any failure, keeping the work folder (consoles, NVRAM file, scripts).
Needs tests/ on PYTHONPATH (`make test-firmware` sets it).
"""

import argparse
import io
import os
import shutil
import sys
import tempfile
import threading
import time

import cases
from boots import prepare, read_back, run_boot
from stacks import run_stacks
from vars_boots import run_vars_boots
from vmtest import machine
from vmtest.checks import Checks
from vmtest.nvram import run_tool


def run_secure_boot(efi, signed_efi, shell_efi, work, time_limit, checks):
    """The boot under Secure Boot: the signed image as brisvane.efi, the
    unsigned one in unsigned\\ and the signed shell where the firmware boots
    it from."""
    firmware = machine.OVMF_SECURE_BOOT
    fs_dir, vars_file = prepare(work, firmware=firmware)
    shutil.copyfile(signed_efi, os.path.join(fs_dir, "brisvane.efi"))
    os.makedirs(os.path.join(fs_dir, "unsigned"))
    shutil.copyfile(efi, os.path.join(fs_dir, "unsigned", "brisvane.efi"))
    machine.install_shell(fs_dir, shell_efi, firmware)
    with open(os.path.join(fs_dir, cases.REFUSED_SCRIPT), "w", newline="") as f:
        f.write("".join(line + "\r\n" for line in cases.REFUSED_LINES))
    boot_cases = [("secure boot", case) for case in cases.SECURE_BOOT]
    run_boot("secureboot", boot_cases, fs_dir, vars_file, work, time_limit, checks, firmware)


def run_counted(name, checks, run):
    """Calls run, counting an exception it raises as a failed check."""
    try:
        run()
    except Exception as error:  # noqa: BLE001 - a broken step must still count as a failure
        checks.record(f"{name}: ran to the end", [repr(error)])


def parse_options():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", required=True, choices=sorted(machine.MACHINES),
                        help="the images' architecture, which picks the machine")
    parser.add_argument("--efi", required=True, help="brisvane.efi to test")
    parser.add_argument("--harness", required=True, help="the harness.efi test tool")
    parser.add_argument("--man", required=True, help="brisvane.man")
    parser.add_argument("--vars", required=True, help="brisvane-vars: its help screen, and with --vars-boots more")
    parser.add_argument("--vars-boots", action="store_true", help="run brisvane-vars with the firmware too")
    parser.add_argument("--cut-files", help="with --vars-boots: brisvane-cut-files, which writes the sample")
    parser.add_argument("--signed-efi", help="brisvane.efi signed with the Secure Boot test key")
    parser.add_argument("--secure-boot-shell", help="the UEFI Shell signed with the test key")
    parser.add_argument("--work", required=True, help="folder for the work folders of runs")
    parser.add_argument("--time-limit", type=float, required=True, help="seconds one boot may take")
    parser.add_argument("--keep", action="store_true", help="keep the work folder after a pass too")
    options = parser.parse_args()
    if bool(options.signed_efi) != bool(options.secure_boot_shell):
        parser.error("the Secure Boot boot needs both --signed-efi and --secure-boot-shell")
    # The signed shell it boots is an X64 build, and the store with the test
    # key enrolled is OVMF's: AAVMF would need an AArch64 shell and a store
    # of its own, for the same firmware checks of the same signature.
    if options.signed_efi and options.arch != "X64":
        parser.error("the Secure Boot boot runs on X64 (OVMF) only")
    if options.cut_files and not options.vars_boots:
        parser.error("--cut-files goes with --vars-boots")
    return options


def main():
    options = parse_options()
    started = time.monotonic()
    firmware = machine.MACHINES[options.arch]
    print(f"{options.efi} in {firmware.name} ({firmware.qemu})")
    with open(options.man, "rb") as f:
        man = f.read()
    tool = os.path.abspath(options.vars)
    os.makedirs(options.work, exist_ok=True)
    work = tempfile.mkdtemp(prefix="run-", dir=options.work)
    fs_dir, vars_file = prepare(work, options.efi, options.harness, options.man, firmware=firmware)

    # Meanwhile, on an NVRAM file of its own, the brisvane-vars boots run, the
    # longest chain; their lines are printed after the others.
    side_checks = Checks(io.StringIO())

    def side_chain():
        if options.vars_boots:
            run_counted("brisvane-vars with the firmware", side_checks, lambda: run_vars_boots(
                tool, options.efi, os.path.join(work, "vars"), options.time_limit, side_checks, firmware,
                options.cut_files and os.path.abspath(options.cut_files)))

    side_thread = threading.Thread(target=side_chain)
    side_thread.start()

    # brisvane-vars prints the help screen from the same source as the
    # firmware build, with LF line ends where the shell's console has CR LF.
    # It opens a store first, and any will do: AAVMF's template is blank, so
    # a copy of OVMF's.
    checks = Checks()
    help_store = os.path.join(work, "help.fd")
    machine.fresh_vars(help_store, machine.OVMF)
    usage = run_tool(tool, help_store)
    checks.record("brisvane-vars prints the help screen, to expect in the shell",
                  [] if usage.returncode == 0 and usage.stdout else [f"{usage}"])
    boot1 = cases.first_boot(usage.stdout.replace("\n", "\r\n").encode("ascii"), man, firmware)
    run_boot("boot1", boot1, fs_dir, vars_file, work, options.time_limit, checks, firmware)
    checks.record("nvram file after boot 1 (UEFIExtract): value stored",
                  read_back(vars_file, cases.FINAL_SET.stored))
    boot2 = [("persistence", case) for case in cases.AFTER_POWER_CYCLE]
    run_boot("boot2", boot2, fs_dir, vars_file, work, options.time_limit, checks, firmware)
    checks.record("nvram file after boot 2 (UEFIExtract): value deleted", read_back(vars_file, cases.ABSENT))
    if options.signed_efi:
        run_counted("secure boot", checks, lambda: run_secure_boot(
            options.efi, options.signed_efi, options.secure_boot_shell, os.path.join(work, "secureboot"),
            options.time_limit, checks))
    if options.vars_boots and options.arch == "X64":
        run_stacks(tool, options.efi, os.path.join(work, "stacks"), options.time_limit, checks)
    side_thread.join()
    print(side_checks.out.getvalue(), end="")
    checks.add(side_checks)

    if checks.failed or options.keep:
        print(f"consoles, scripts and the NVRAM file are kept in {work}")
    else:
        shutil.rmtree(work)
    print(f"{checks.summary()} ({firmware.name}, {time.monotonic() - started:.0f} s)")
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
