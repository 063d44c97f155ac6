"""One boot of the suite: its cases run in a generated startup.nsh (see
vmtest.shell), each checked against what the console, %lasterror% and
dmpstore showed; and the folders and NVRAM file a boot starts from.
"""

import os
import shutil

import cases
from vmtest import machine, shell, ucs2
from vmtest.nvram import record_problems


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


def check_case(case, output, firmware):
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
    lasterror = None if case.lasterror is None else shell.lasterror(int(case.lasterror, 16), firmware)
    if lasterror is not None and output.lasterror != lasterror:
        problems.append(f"lasterror {output.lasterror}, expected {lasterror}")
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


def run_boot(label, boot_cases, fs_dir, vars_file, work, time_limit, checks, firmware, boot=None):
    """Runs (group, case) pairs in one boot and checks each case and the boot;
    boot(steps, log_file), when given, boots in place of shell.run."""
    steps = [(case.before, case.command) for _, case in boot_cases]
    log_file = os.path.join(work, f"{label}.log")
    if boot:
        outputs, failure = boot(steps, log_file)
    else:
        outputs, failure = shell.run(steps, fs_dir, vars_file, log_file, time_limit, firmware)
    shutil.copyfile(os.path.join(fs_dir, "startup.nsh"), os.path.join(work, f"{label}.nsh"))
    for (group, case), output in zip(boot_cases, outputs):
        checks.record(f"{group}: {case.name}", check_case(case, output, firmware))
    checks.record(f"{label}: runs to power-off", [failure] if failure else [])


def read_back(vars_file, value):
    """record_problems, with a failure of UEFIExtract as a problem."""
    try:
        return record_problems(vars_file, value)
    except (OSError, RuntimeError, ValueError) as error:
        return [f"UEFIExtract: {error}"]


def prepare(work, *files, firmware):
    """work/fs holding the files, as FS0:, and a fresh NVRAM file for
    firmware."""
    fs_dir = os.path.join(work, "fs")
    os.makedirs(fs_dir)
    for path in files:
        shutil.copy(path, fs_dir)
    vars_file = machine.vars_path(work, firmware)
    machine.fresh_vars(vars_file, firmware)
    return fs_dir, vars_file
