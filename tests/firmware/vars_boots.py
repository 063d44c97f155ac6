"""brisvane-vars and the firmware taking turns on one NVRAM file of its own:
brisvane-vars sets a value on a fresh store, a boot reads it and sets
another, brisvane-vars reads that one back, then runs set/clear cycles that
compact the store twice, and a last boot reads the value they left.
UEFIExtract compares every other variable before and after each step.

A firmware whose template holds no store yet (AAVMF's) is first booted once
to format it, after brisvane-vars has refused the blank template.

Then, on OVMF, a compaction cut short: the store filled, brisvane-vars
killed halfway through copying the compacted store into place, then booted
as it is (the firmware completes the copy from the spare area), and booted
after brisvane-vars' next run has completed it.
"""

import os
import shutil
import subprocess

import cases
from boots import prepare, run_boot, show
from vmtest import SHELL_GUID, VARIABLE
from vmtest.nvram import (GLOBAL_GUID, LONG_VALUE, cycle_until_compacted, dump, free_offset, other_differences,
                          read_volume, record_problems, run_tool, store_bounds)

# What every boot rewrites: MTC, the high word of the monotonic counter,
# gets new data (and on AAVMF a new place); OVMF also writes the console
# variables again, with the same data, at the end of the store.
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


def format_store(tool, fs_dir, vars_file, work, time_limit, checks, firmware):
    """Boots firmware once on its blank template, after brisvane-vars has
    refused it."""
    group = "a blank template"
    checks.record(f"{group}: brisvane-vars refuses it, leaving it as it was",
                  vars_run(tool, vars_file, cases.VarsRun("refused", ("-g",), 65, "", True)))
    run_boot("vars-format", [], fs_dir, vars_file, work, time_limit, checks, firmware)


def run_vars_boots(tool, efi, work, time_limit, checks, firmware, crash_shim=None):
    fs_dir, vars_file = prepare(work, efi, firmware=firmware)
    if not firmware.formatted_template:
        format_store(tool, fs_dir, vars_file, work, time_limit, checks, firmware)
    fresh = "a fresh store" if firmware.formatted_template else "the store the firmware formatted"

    def kept(label):
        path = os.path.join(work, f"{label}.fd")
        shutil.copyfile(vars_file, path)
        return path

    def boot(label, table, group):
        run_boot(label, [(group, case) for case in table], fs_dir, vars_file, work, time_limit, checks, firmware)

    group = "brisvane-vars, then the shell"
    checks.record(f"{group}: set on {fresh}",
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
    checks.record(f"{group}: every other variable is still there (MTC's data changes, the consoles may move)",
                  other_differences(before_boot2, vars_file, changing=CHANGED_BY_EVERY_BOOT,
                                    moving=MOVED_BY_EVERY_BOOT))
    after_boot2 = kept("after-boot2")
    for run in cases.AFTER_SECOND_BOOT:
        checks.record(f"{group}: brisvane-vars {run.name}", vars_run(tool, vars_file, run))
    checks.record(f"{group}: brisvane-vars left every other variable as it was",
                  other_differences(after_boot2, vars_file) + record_problems(vars_file, None))
    if crash_shim:
        interrupted_compaction(tool, crash_shim, vars_file, fs_dir, work, time_limit, checks, firmware)


# The write or flush of a compacting set that copies the compacted store from
# the spare area into place, after the spare area is marked complete.
COPY_STEP = 11


def store_records(path):
    """The bytes of the variable store's records in the NVRAM file at path."""
    image = read_volume(path)
    return image[slice(*store_bounds(image))]


def interrupted_compaction(tool, shim, vars_file, fs_dir, work, time_limit, checks, firmware):
    """Fills the OVMF store in vars_file with long values until a set of
    cases.COMPACTING_WORDS compacts it; that set, killed by shim (preloaded)
    halfway through its copy into place, is then booted as it is and after
    brisvane-vars' next run has completed it."""
    whole, cut, completed = (os.path.join(work, f"{name}.fd") for name in ("whole", "cut", "completed"))
    value = LONG_VALUE
    for _ in range(100):  # far more sets than a 4 MB store holds
        shutil.copyfile(vars_file, whole)
        run_tool(tool, whole, *cases.COMPACTING_WORDS)
        if free_offset(read_volume(whole)) < free_offset(read_volume(vars_file)):
            break
        value = LONG_VALUE if value != LONG_VALUE else "-nostartup " + LONG_VALUE
        run_tool(tool, vars_file, "-s", *value.split(" "))
    shutil.copyfile(vars_file, cut)
    crash = dict(os.environ, LD_PRELOAD=shim, BRISVANE_CRASH_AT=str(COPY_STEP), BRISVANE_CRASH_TORN="1")
    killed = run_tool(tool, cut, *cases.COMPACTING_WORDS, env=crash)
    shutil.copyfile(cut, completed)
    shown = cases.VarsRun("--show", ("--show",), 0, cases.COMPACTED_VALUE + "\n", False)
    problems = vars_run(tool, completed, shown)
    full, torn, new, done = (store_records(path) for path in (vars_file, cut, whole, completed))
    group = "an interrupted compaction"
    checks.record(f"{group}: killed halfway through copying the new store into place, brisvane-vars leaves "
                  "neither the old store nor the new one; its next run completes the new one",
                  ([] if killed.returncode == -9 else [f"exit status {killed.returncode}, not killed"])
                  + ([] if torn not in (full, new) else ["the store is the old or the new one"])
                  + problems + ([] if done == new else ["the completed store is another"]))
    for label, path, how in (("ftw-firmware", cut, "completed by the firmware"),
                             ("ftw-vars", completed, "completed by brisvane-vars")):
        run_boot(label, [(f"{group}, {how}", case) for case in cases.AFTER_INTERRUPTED_COMPACTION],
                 fs_dir, path, work, time_limit, checks, firmware)
        checks.record(f"{group}, {how}: after the boot every other variable is intact, and brisvane-vars "
                      "finds nothing pending",
                      other_differences(vars_file, path, changing=CHANGED_BY_EVERY_BOOT, moving=MOVED_BY_EVERY_BOOT)
                      + vars_run(tool, path, shown._replace(query=True)))
