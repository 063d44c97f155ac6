#!/usr/bin/env python3
"""The firmware test suite: runs brisvane.efi in OVMF's built-in UEFI Shell
under QEMU and checks every case of cases.py.

Boot 1 starts on a fresh copy of OVMF's NVRAM template and runs all the
cases that need no power cycle, in one generated startup.nsh (see
vmtest.shell). It ends by storing a value and powering off. The NVRAM file
is then read with UEFIExtract, and boot 2 runs on the same file to see the
value persist and to delete it; UEFIExtract reads the file once more.

Alongside them, on an NVRAM file of its own, brisvane-vars and the firmware
take turns: brisvane-vars sets a value on a fresh copy of the template, a
boot reads it and sets another, brisvane-vars reads that one back, then runs
set/clear cycles that compact the store twice, and a last boot reads the
value they left. UEFIExtract compares every other variable before and after
each step.

After the last of those, a boot on a third NVRAM file enforces Secure Boot
(OVMF's secboot build, a copy of Debian's store with its public test key in
PK, KEK and db, the UEFI Shell signed with that key): a copy of brisvane.efi
signed with the test key passes the core cases, and the unsigned image is
refused by the firmware.

Prints one line per check and finally "N passed, N failed"; exits non-zero
on any failure, keeping the work folder (consoles, NVRAM file, scripts).
Needs tests/ on PYTHONPATH (`make test-firmware` sets it).
"""

import argparse
import io
import os
import shutil
import subprocess
import sys
import tempfile
import threading

import cases
from vmtest import SHELL_GUID, VARIABLE, machine, shell, ucs2
from vmtest.checks import Checks
from vmtest.nvram import GLOBAL_GUID, cycle_until_compacted, dump, other_differences, record_problems, run_tool


def show(data, limit=2000):
    text = repr(data)
    return text if len(text) <= limit else text[:limit] + "..."


def first_difference(expected, actual):
    for index, (a, b) in enumerate(zip(expected, actual)):
        if a != b:
            return index
    return min(len(expected), len(actual))


def describe(variable):
    if variable is None:
        return "absent"
    return f"{variable.attributes} DataSize {variable.size} {variable.data!r}"


def check_case(case, output):
    """The list of problems with one case's output; empty when it passed."""
    if output is None:
        return ["the console holds no complete output for this case (the boot ended before it)"]
    console = output.console
    problems = []
    if case.plain:
        try:
            console = shell.strip_escapes(console)
        except ValueError as error:
            problems.append(str(error))
    if console != case.console:
        at = first_difference(case.console, console)
        problems.append(
            f"console differs from byte {at}:\n      expected {show(case.console)}\n"
            f"      received {show(console)}"
        )
    if case.lasterror is not None and output.lasterror != case.lasterror:
        problems.append(f"lasterror {output.lasterror}, expected {case.lasterror}")
    try:
        stored = shell.parse_dmpstore(output.dump)
    except ValueError as error:
        problems.append(f"dmpstore: {error}")
    else:
        data = None if case.stored is cases.ABSENT else ucs2(case.stored)
        wanted = None if data is None else shell.StoredVariable("NV+BS", len(data), data)
        if stored != wanted:
            problems.append(f"variable {describe(stored)}, expected {describe(wanted)}")
    return problems


def run_boot(label, boot_cases, fs_dir, vars_file, work, time_limit, checks, firmware=machine.OVMF):
    """Runs (group, case) pairs in one boot and checks each case and the boot."""
    steps = [(case.before, case.command) for _, case in boot_cases]
    outputs, failure = shell.run(steps, fs_dir, vars_file, os.path.join(work, f"{label}.log"), time_limit, firmware)
    shutil.copyfile(os.path.join(fs_dir, "startup.nsh"), os.path.join(work, f"{label}.nsh"))
    for (group, case), output in zip(boot_cases, outputs):
        checks.record(f"{group}: {case.name}", check_case(case, output))
    checks.record(f"{label}: runs to power-off", [failure] if failure else [])


def read_back(vars_file, value):
    """record_problems, with a failure of UEFIExtract as a problem."""
    try:
        return record_problems(vars_file, value)
    except (OSError, RuntimeError, ValueError) as error:
        return [f"UEFIExtract: {error}"]


def prepare(work, *files, firmware=machine.OVMF):
    """work/fs holding the files, as FS0:, and a fresh NVRAM file."""
    fs_dir = os.path.join(work, "fs")
    os.makedirs(fs_dir)
    for path in files:
        shutil.copy(path, fs_dir)
    vars_file = os.path.join(work, "OVMF_VARS.fd")
    machine.fresh_vars(vars_file, firmware)
    return fs_dir, vars_file


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


# What every boot of OVMF rewrites: MTC, the high word of its monotonic
# counter, gets new data; the console variables get new records, with the
# same data, at the end of the store.
CHANGED_BY_EVERY_BOOT = (("MTC", "EB704011-1402-11D3-8E77-00A0C969723B"),)
MOVED_BY_EVERY_BOOT = tuple((name, GLOBAL_GUID) for name in ("ConIn", "ConOut", "ErrOut"))


def vars_run(tool, vars_file, run):
    """Problems with one run of brisvane-vars (a cases.VarsRun) on vars_file."""
    with open(vars_file, "rb") as f:
        before = f.read()
    try:
        result = run_tool(tool, vars_file, *run.words)
    except subprocess.TimeoutExpired as error:
        return [f"brisvane-vars did not finish: {error}"]
    problems = []
    if result.returncode != run.exit:
        problems.append(f"exit status {result.returncode}, expected {run.exit}; stderr {result.stderr!r}")
    if result.stdout != run.output:
        problems.append(f"printed {show(result.stdout)}, expected {show(run.output)}")
    with open(vars_file, "rb") as f:
        if run.query and f.read() != before:
            problems.append("the NVRAM file changed")
    return problems


def same_record(tool, vars_file, work, words):
    """Problems when brisvane-vars, setting words on a copy of vars_file,
    writes another record than the one the firmware left there."""
    copy = os.path.join(work, "same-record.fd")
    shutil.copyfile(vars_file, copy)
    problems = vars_run(tool, copy, cases.VarsRun("set", words, 0, "", False))
    mine = lambda path: [v for v in dump(path).live if v.key() == (VARIABLE, SHELL_GUID)]
    firmware, tool_made = mine(vars_file), mine(copy)
    if firmware != tool_made:
        problems.append(f"the firmware's record {firmware}, brisvane-vars' {tool_made}")
    return problems + other_differences(vars_file, copy)


def run_vars_interop(tool, efi, work, time_limit, checks):
    fs_dir, vars_file = prepare(work, efi)

    def kept(label):
        path = os.path.join(work, f"{label}.fd")
        shutil.copyfile(vars_file, path)
        return path

    def boot(label, table, group):
        run_boot(label, [(group, case) for case in table], fs_dir, vars_file, work, time_limit, checks)

    group = "brisvane-vars, then the shell"
    checks.record(f"{group}: set on a fresh copy of the template",
                  vars_run(tool, vars_file, cases.VarsRun("set", cases.VARS_WORDS, 0, "", False))
                  + record_problems(vars_file, cases.VARS_VALUE))
    boot("vars-boot1", cases.VARS_THEN_SHELL, group)

    group = "the shell, then brisvane-vars"
    after_boot1 = kept("after-boot1")
    for run in cases.SHELL_THEN_VARS:
        checks.record(f"{group}: {run.name}", vars_run(tool, vars_file, run))
    checks.record(f"{group}: a set writes the very record the shell wrote",
                  same_record(tool, vars_file, work, cases.SHELL_WORDS))

    group = "compaction"
    runs, _, done, failure = cycle_until_compacted(tool, vars_file)
    checks.record(f"{group}: set/clear cycles compact the store twice",
                  [f"run {runs} failed: {failure}"] if failure else
                  [] if done == 2 else [f"{done} compactions in {runs} runs"])
    checks.record(f"{group}: every other variable unchanged after the cycles",
                  other_differences(after_boot1, vars_file))
    for run in cases.AFTER_COMPACTION:
        checks.record(f"{group}: then {run.name}", vars_run(tool, vars_file, run))
    stored = dump(vars_file)
    checks.record(f"{group}: the last value stands behind retired records, every other variable unchanged",
                  record_problems(vars_file, cases.CYCLES_VALUE)
                  + ([] if stored.invalid >= 2 else [f"{stored.invalid} retired records"])
                  + other_differences(after_boot1, vars_file))
    before_boot2 = kept("before-boot2")
    boot("vars-boot2", cases.AFTER_CYCLES, group)

    group = "after the second boot"
    checks.record(f"{group}: every other variable is still there (MTC's data changes, the consoles move)",
                  other_differences(before_boot2, vars_file, changing=CHANGED_BY_EVERY_BOOT,
                                    moving=MOVED_BY_EVERY_BOOT))
    after_boot2 = kept("after-boot2")
    for run in cases.AFTER_SECOND_BOOT:
        checks.record(f"{group}: brisvane-vars {run.name}", vars_run(tool, vars_file, run))
    checks.record(f"{group}: brisvane-vars left every other variable as it was",
                  other_differences(after_boot2, vars_file) + record_problems(vars_file, None))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--efi", required=True, help="brisvane.efi to test")
    parser.add_argument("--harness", required=True, help="the harness.efi test tool")
    parser.add_argument("--man", required=True, help="brisvane.man")
    parser.add_argument("--vars", required=True, help="brisvane-vars to test with the firmware")
    parser.add_argument("--signed-efi", required=True, help="brisvane.efi signed with the Secure Boot test key")
    parser.add_argument("--secure-boot-shell", required=True, help="the UEFI Shell signed with the test key")
    parser.add_argument("--work", required=True, help="folder for the work folders of runs")
    parser.add_argument("--time-limit", type=float, required=True, help="seconds one boot may take")
    parser.add_argument("--keep", action="store_true", help="keep the work folder after a pass too")
    options = parser.parse_args()

    with open(options.man, "rb") as f:
        man = f.read()
    tool = os.path.abspath(options.vars)
    os.makedirs(options.work, exist_ok=True)
    work = tempfile.mkdtemp(prefix="run-", dir=options.work)
    fs_dir, vars_file = prepare(work, options.efi, options.harness, options.man)

    # Meanwhile, each on an NVRAM file of its own, the brisvane-vars boots run
    # and then the Secure Boot boot; their lines are printed after the others.
    side_checks = Checks(io.StringIO())
    side_runs = [
        ("brisvane-vars with the firmware",
         lambda: run_vars_interop(tool, options.efi, os.path.join(work, "vars"), options.time_limit, side_checks)),
        ("secure boot", lambda: run_secure_boot(options.efi, options.signed_efi, options.secure_boot_shell,
                                                os.path.join(work, "secureboot"), options.time_limit, side_checks)),
    ]

    def side_chain():
        for name, run in side_runs:
            try:
                run()
            except Exception as error:  # noqa: BLE001 - a broken step must still count as a failure
                side_checks.record(f"{name}: ran to the end", [repr(error)])

    side_thread = threading.Thread(target=side_chain)
    side_thread.start()

    # brisvane-vars prints the help screen from the same source as the
    # firmware build, with LF line ends where the shell's console has CR LF.
    checks = Checks()
    usage = run_tool(tool, vars_file)
    checks.record("brisvane-vars prints the help screen, to expect in the shell",
                  [] if usage.returncode == 0 and usage.stdout else [f"{usage}"])
    boot1 = cases.first_boot(usage.stdout.replace("\n", "\r\n").encode("ascii"), man)
    run_boot("boot1", boot1, fs_dir, vars_file, work, options.time_limit, checks)
    checks.record("nvram file after boot 1 (UEFIExtract): value stored",
                  read_back(vars_file, cases.FINAL_SET.stored))
    boot2 = [("persistence", case) for case in cases.AFTER_POWER_CYCLE]
    run_boot("boot2", boot2, fs_dir, vars_file, work, options.time_limit, checks)
    checks.record("nvram file after boot 2 (UEFIExtract): value deleted", read_back(vars_file, cases.ABSENT))
    side_thread.join()
    print(side_checks.out.getvalue(), end="")
    checks.passed += side_checks.passed
    checks.failed += side_checks.failed

    if checks.failed or options.keep:
        print(f"consoles, scripts and the NVRAM file are kept in {work}")
    else:
        shutil.rmtree(work)
    print(f"{checks.passed} passed, {checks.failed} failed")
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
