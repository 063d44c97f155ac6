#!/usr/bin/env python3
"""The firmware test suite: runs brisvane.efi in OVMF's built-in UEFI Shell
under QEMU and checks every case of cases.py.

Boot 1 starts on a fresh copy of OVMF's NVRAM template and runs all the
cases that need no power cycle, in one generated startup.nsh: for each case
its stage-setting lines, a begin marker, the command under test, a marker
with %lasterror%, dmpstore of the variable and an end marker. It ends by
storing a value and powering off. The NVRAM file is then read with
UEFIExtract, and boot 2 runs on the same file to see the value persist and
to delete it; UEFIExtract reads the file once more.

Alongside them, on an NVRAM file of its own, brisvane-vars and the firmware
take turns: brisvane-vars sets a value on a fresh copy of the template, a
boot reads it and sets another, brisvane-vars reads that one back, then runs
set/clear cycles that compact the store twice, and a last boot reads the
value they left. UEFIExtract compares every other variable before and after
each step.

Prints one line per check and finally "N passed, N failed"; exits non-zero
on any failure, keeping the work folder (consoles, NVRAM file, scripts).
"""

import argparse
import io
import os
import shutil
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # leave no __pycache__ in the source tree
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts"))
sys.path.insert(0, os.path.join(HERE, "..", "vars"))
sys.path.insert(0, HERE)

import cases  # noqa: E402
import interop  # noqa: E402
import ovmf  # noqa: E402

VARIABLE = "Brisvane"
DMPSTORE = f"dmpstore {VARIABLE} -guid {ovmf.SHELL_VARIABLE_GUID}"


def expected_bytes(value):
    return (value + "\0").encode("utf-16-le")


def startup_script(boot_cases):
    lines = ["@echo -off"]
    for number, (_, case) in enumerate(boot_cases):
        lines += case.before
        lines.append(f"echo BVT-BEGIN {number}")
        lines += case.command
        lines.append(f"echo BVT-STATUS {number} %lasterror%")
        lines.append(DMPSTORE)
        lines.append(f"echo BVT-END {number}")
    lines.append("reset -s")
    return "".join(line + "\r\n" for line in lines).encode("ascii")


def case_output(console, number):
    """The console text, lasterror and dmpstore output of one case, or None
    when the console does not hold all three."""
    text, after = ovmf.between(console, f"BVT-BEGIN {number}\r\n".encode(), f"BVT-STATUS {number} ".encode())
    if text is None:
        return None
    status, after = ovmf.between(console, b"", b"\r\n", after)
    dump, _ = ovmf.between(console, b"", f"BVT-END {number}\r\n".encode(), after)
    if status is None or dump is None:
        return None
    return text, status.decode("ascii", "replace"), dump


def show(data, limit=2000):
    text = repr(data)
    return text if len(text) <= limit else text[:limit] + "..."


def first_difference(expected, actual):
    for index, (a, b) in enumerate(zip(expected, actual)):
        if a != b:
            return index
    return min(len(expected), len(actual))


def check_case(case, output):
    """The list of problems with one case's output; empty when it passed."""
    if output is None:
        return ["the console holds no complete output for this case (the boot ended before it)"]
    console, lasterror, dump = output
    problems = []
    if case.plain:
        try:
            console = ovmf.strip_escapes(console)
        except ValueError as error:
            problems.append(str(error))
    if case.console is not None and console != case.console:
        at = first_difference(case.console, console)
        problems.append(
            f"console differs from byte {at}:\n      expected {show(case.console)}\n"
            f"      received {show(console)}"
        )
    if case.lasterror is not None and lasterror != case.lasterror:
        problems.append(f"lasterror {lasterror}, expected {case.lasterror}")
    try:
        stored = ovmf.parse_dmpstore(dump, VARIABLE)
    except ValueError as error:
        problems.append(f"dmpstore: {error}")
    else:
        if case.stored is cases.ABSENT:
            wanted = None
        else:
            data = expected_bytes(case.stored)
            wanted = ovmf.StoredVariable("NV+BS", len(data), data)
        if stored != wanted:
            problems.append(f"variable {describe(stored)}, expected {describe(wanted)}")
    return problems


def describe(variable):
    if variable is None:
        return "absent"
    return f"{variable.attributes} DataSize {variable.size} {variable.data!r}"


def check_file(vars_file, value):
    """Problems with the variable as UEFIExtract reads it from the NVRAM
    file: one entry in force holding value, or none for cases.ABSENT."""
    try:
        key = (VARIABLE, ovmf.SHELL_VARIABLE_GUID)
        # The dump refuses any valid entry that is not in the added state.
        entries = [variable for variable in interop.dump(vars_file).live if variable.key() == key]
    except (OSError, RuntimeError, ValueError) as error:
        return [f"UEFIExtract: {error}"]
    if value is cases.ABSENT:
        return [f"a {VARIABLE} entry is still in force: {entries}"] if entries else []
    if len(entries) != 1:
        return [f"expected one {VARIABLE} entry in force, found {len(entries)}: {entries}"]
    entry = entries[0]
    problems = []
    if entry.attributes != 0x3:
        problems.append(f"attributes 0x{entry.attributes:08X}, expected 0x00000003 (NV+BS)")
    if entry.data != expected_bytes(value):
        problems.append(f"data {entry.data!r}, expected {expected_bytes(value)!r}")
    return problems


class Results:
    """Counts the checks and prints a line for each to out (standard output
    by default)."""

    def __init__(self, out=None):
        self.passed = 0
        self.failed = 0
        self.out = out

    def record(self, name, problems):
        out = self.out or sys.stdout
        if problems:
            self.failed += 1
            print(f"FAIL {name}", file=out)
            for problem in problems:
                print(f"    {problem}", file=out)
        else:
            self.passed += 1
            print(f"ok   {name}", file=out)
        out.flush()


def run_boot(label, boot_cases, fs_dir, vars_file, work, time_limit, results):
    with open(os.path.join(fs_dir, "startup.nsh"), "wb") as script:
        script.write(startup_script(boot_cases))
    shutil.copyfile(os.path.join(fs_dir, "startup.nsh"), os.path.join(work, f"{label}.nsh"))
    log = os.path.join(work, f"{label}.log")
    try:
        console = ovmf.boot(fs_dir, vars_file, log, time_limit)
        boot_problems = []
    except ovmf.BootError as error:
        with open(log, "rb") as saved:
            console = saved.read()
        boot_problems = [str(error)]
    for number, (group, case) in enumerate(boot_cases):
        results.record(f"{group}: {case.name}", check_case(case, case_output(console, number)))
    results.record(f"{label}: runs to power-off", boot_problems)


# What every boot of OVMF rewrites: MTC, the high word of its monotonic
# counter, gets new data; the console variables get new records, with the
# same data, at the end of the store.
GLOBAL_GUID = "8BE4DF61-93CA-11D2-AA0D-00E098032B8C"
CHANGED_BY_EVERY_BOOT = (("MTC", "EB704011-1402-11D3-8E77-00A0C969723B"),)
MOVED_BY_EVERY_BOOT = tuple((name, GLOBAL_GUID) for name in ("ConIn", "ConOut", "ErrOut"))


def vars_run(tool, vars_file, run):
    """Problems with one run of brisvane-vars (a cases.VarsRun) on vars_file."""
    with open(vars_file, "rb") as f:
        before = f.read()
    try:
        result = interop.run_tool(tool, vars_file, *run.words)
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
    mine = lambda path: [v for v in interop.live_variables(path) if v.key() == (VARIABLE, interop.SHELL_GUID)]
    firmware, tool_made = mine(vars_file), mine(copy)
    if firmware != tool_made:
        problems.append(f"the firmware's record {firmware}, brisvane-vars' {tool_made}")
    return problems + interop.other_differences(vars_file, copy)


def run_vars_interop(tool, efi, work, time_limit, results):
    fs_dir = os.path.join(work, "fs")
    os.makedirs(fs_dir)
    shutil.copyfile(efi, os.path.join(fs_dir, "brisvane.efi"))
    vars_file = os.path.join(work, "OVMF_VARS.fd")
    ovmf.fresh_vars(vars_file)

    def kept(label):
        path = os.path.join(work, f"{label}.fd")
        shutil.copyfile(vars_file, path)
        return path

    def boot(label, table, group):
        run_boot(label, [(group, case) for case in table], fs_dir, vars_file, work, time_limit, results)

    group = "brisvane-vars, then the shell"
    results.record(f"{group}: set on a fresh copy of the template",
                   vars_run(tool, vars_file, cases.VarsRun("set", cases.VARS_WORDS, 0, "", False))
                   + interop.startup_problems(vars_file, cases.VARS_VALUE))
    boot("vars-boot1", cases.VARS_THEN_SHELL, group)

    group = "the shell, then brisvane-vars"
    after_boot1 = kept("after-boot1")
    for run in cases.SHELL_THEN_VARS:
        results.record(f"{group}: {run.name}", vars_run(tool, vars_file, run))
    results.record(f"{group}: a set writes the very record the shell wrote",
                   same_record(tool, vars_file, work, cases.SHELL_WORDS))

    group = "compaction"
    runs, _, done, failure = interop.cycle_until_compacted(tool, vars_file, 2)
    results.record(f"{group}: set/clear cycles compact the store twice",
                   [f"run {runs} failed: {failure}"] if failure else
                   [] if done == 2 else [f"{done} compactions in {runs} runs"])
    results.record(f"{group}: every other variable unchanged after the cycles",
                   interop.other_differences(after_boot1, vars_file))
    for run in cases.AFTER_COMPACTION:
        results.record(f"{group}: then {run.name}", vars_run(tool, vars_file, run))
    stored = interop.dump(vars_file)
    results.record(f"{group}: the last value stands behind retired records, every other variable unchanged",
                   interop.startup_problems(vars_file, cases.CYCLES_VALUE)
                   + ([] if stored.invalid >= 2 else [f"{stored.invalid} retired records"])
                   + interop.other_differences(after_boot1, vars_file))
    before_boot2 = kept("before-boot2")
    boot("vars-boot2", cases.AFTER_CYCLES, group)

    group = "after the second boot"
    results.record(f"{group}: every other variable is still there (MTC's data changes, the consoles move)",
                   interop.other_differences(before_boot2, vars_file, changing=CHANGED_BY_EVERY_BOOT,
                                             moving=MOVED_BY_EVERY_BOOT))
    after_boot2 = kept("after-boot2")
    for run in cases.AFTER_SECOND_BOOT:
        results.record(f"{group}: brisvane-vars {run.name}", vars_run(tool, vars_file, run))
    results.record(f"{group}: brisvane-vars left every other variable as it was",
                   interop.other_differences(after_boot2, vars_file) + interop.startup_problems(vars_file, None))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--efi", required=True, help="brisvane.efi to test")
    parser.add_argument("--harness", required=True, help="the harness.efi test tool")
    parser.add_argument("--man", required=True, help="brisvane.man")
    parser.add_argument("--vars", required=True, help="brisvane-vars to test with the firmware")
    parser.add_argument("--work", required=True, help="folder for the work folders of runs")
    parser.add_argument("--time-limit", type=float, default=ovmf.DEFAULT_TIME_LIMIT,
                        help="seconds one boot may take (default %(default)s)")
    parser.add_argument("--keep", action="store_true", help="keep the work folder after a pass too")
    options = parser.parse_args()

    with open(options.man, "rb") as f:
        man = f.read()
    os.makedirs(options.work, exist_ok=True)
    work = tempfile.mkdtemp(prefix="run-", dir=options.work)
    fs_dir = os.path.join(work, "fs")
    os.makedirs(fs_dir)
    shutil.copyfile(options.efi, os.path.join(fs_dir, "brisvane.efi"))
    shutil.copyfile(options.harness, os.path.join(fs_dir, "harness.efi"))
    shutil.copyfile(options.man, os.path.join(fs_dir, "brisvane.man"))
    vars_file = os.path.join(work, "OVMF_VARS.fd")
    ovmf.fresh_vars(vars_file)

    groups = [
        ("dispatch", cases.DISPATCH),
        ("set", cases.SET),
        ("reject", cases.REJECT),
        ("shell protocols", cases.SHELL_PROTOCOLS),
        ("manual", cases.manual(man)),
        ("persistence", [cases.FINAL_SET]),
    ]
    first = [(group, case) for group, table in groups for case in table]
    second = [("persistence", case) for case in cases.AFTER_POWER_CYCLE]

    # The brisvane-vars boots run meanwhile on their own NVRAM file; their
    # lines are printed after the others.
    interop_out = io.StringIO()
    interop_results = Results(interop_out)

    def interop_chain():
        try:
            run_vars_interop(os.path.abspath(options.vars), options.efi, os.path.join(work, "vars"),
                             options.time_limit, interop_results)
        except Exception as error:  # noqa: BLE001 - a broken step must still count as a failure
            interop_results.record("brisvane-vars with the firmware: ran to the end", [repr(error)])

    interop_thread = threading.Thread(target=interop_chain)
    interop_thread.start()

    results = Results()
    run_boot("boot1", first, fs_dir, vars_file, work, options.time_limit, results)
    results.record("nvram file after boot 1 (UEFIExtract): value stored",
                   check_file(vars_file, cases.FINAL_SET.stored))
    run_boot("boot2", second, fs_dir, vars_file, work, options.time_limit, results)
    results.record("nvram file after boot 2 (UEFIExtract): value deleted",
                   check_file(vars_file, cases.ABSENT))
    interop_thread.join()
    print(interop_out.getvalue(), end="")
    results.passed += interop_results.passed
    results.failed += interop_results.failed

    if results.failed or options.keep:
        print(f"consoles, scripts and the NVRAM file are kept in {work}")
    else:
        shutil.rmtree(work)
    print(f"{results.passed} passed, {results.failed} failed")
    return 1 if results.failed else 0


if __name__ == "__main__":
    sys.exit(main())
