"""brisvane-vars and the firmware taking turns on one NVRAM file of its own:
brisvane-vars sets a value on a fresh store, a boot reads it and sets
another, brisvane-vars reads that one back, then runs set/clear cycles that
compact the store twice, and a last boot reads the value they left.
UEFIExtract compares every other variable before and after each step.

A firmware whose template holds no store yet (AAVMF's) is first booted once
to format it, after brisvane-vars has refused the blank template.

Then the cut simulator's sample of cut files, made from the file the boots
left (a set's torn header, two records in transition, a compaction torn
while copying the new store into place): each booted, what the firmware
reads compared with what the simulator's independent reader and
brisvane-vars read.
"""

import os
import shutil
import subprocess

import cases
from boots import prepare, run_boot, show
from vmtest import SHELL_GUID, VARIABLE, shell, ucs2
from vmtest.nvram import GLOBAL_GUID, cycle_until_compacted, dump, other_differences, record_problems, run_tool

# What every boot rewrites: MTC, the high word of the monotonic counter,
# gets new data (and on AAVMF a new place); OVMF also writes the console
# variables again, with the same data, at the end of the store, and
# LoongArch's firmware its MemoryTypeInformation, when a boot follows a store
# it had to compact.
CHANGED_BY_EVERY_BOOT = (("MTC", "EB704011-1402-11D3-8E77-00A0C969723B"),)
MOVED_BY_EVERY_BOOT = tuple((name, GLOBAL_GUID) for name in ("ConIn", "ConOut", "ErrOut")) + (
    ("MemoryTypeInformation", "4C19049F-4137-4DD3-9C10-8B97A83FFDFA"),)


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


def run_vars_boots(tool, efi, work, time_limit, checks, firmware, cut_files=None):
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
    if cut_files:
        cut_samples(tool, cut_files, vars_file, fs_dir, work, time_limit, checks, firmware)


def value_read(shown):
    """What brisvane-vars --show read, as cut_samples' index writes values."""
    if shown.returncode != 0:
        return f"refused ({shown.returncode})"
    text = shown.stdout.rstrip("\n")
    return "absent" if text == "Brisvane is not set." else ucs2(text).hex()


def firmware_read(output):
    """What dmpstore showed of brisvane's variable, as cut_samples' index writes values."""
    try:
        stored = shell.parse_dmpstore(output.dump) if output else None
    except ValueError as error:
        return str(error)
    return "absent" if stored is None else stored.data.hex()


def cut_samples(tool, cut_files, vars_file, fs_dir, work, time_limit, checks, firmware):
    """Boots each of the cut simulator's sample of cut files, made from
    vars_file by brisvane-cut-files: the firmware must read what the
    simulator's independent reader reads, the old or the new value, and
    what brisvane-vars reads; and after the boot, every other variable is as
    brisvane-vars left it in a copy."""
    group = "a sample of cut files"
    folder = os.path.join(work, "cuts")
    os.makedirs(folder, exist_ok=True)
    made = subprocess.run([cut_files, vars_file, folder], capture_output=True, text=True, timeout=300)
    if made.returncode != 0:
        checks.record(f"{group}: brisvane-cut-files writes them", [made.stdout + made.stderr])
        return
    with open(os.path.join(folder, "index"), encoding="utf-8") as f:
        samples = [line.rstrip("\n").split("\t") for line in f]
    for name, how, old, new, reader in samples:
        path, copy = (os.path.join(folder, f"{name}{suffix}.fd") for suffix in ("", "-tool"))
        shutil.copyfile(path, copy)
        shown = run_tool(tool, copy, "--show")
        tool_value = value_read(shown)
        # A read leaves the file as it was; a write completes the cut write first, and one that
        # keeps the value (or clears nothing) changes nothing else.
        kept = shown.stdout.rstrip("\n").split() if tool_value != "absent" else []
        run_tool(tool, copy, *(["-s", *kept] if kept else ["-c"]))
        if not firmware.finishes_cut_writes:
            path = os.path.join(folder, f"{name}-completed.fd")
            shutil.copyfile(copy, path)
        outputs, failure = shell.run([((), ("brisvane -g",))], fs_dir, path, os.path.join(work, f"cut-{name}.log"),
                                     time_limit, firmware)
        read = firmware_read(outputs[0])
        problems = [failure] if failure else []
        problems += [] if read == reader else [f"the firmware reads {read}, the independent reader {reader}"]
        problems += [] if read in (old, new) else [f"the firmware reads {read}, neither old nor new"]
        problems += [] if tool_value == read else [f"the firmware reads {read}, brisvane-vars {tool_value}"]
        checks.record(f"{group}: {name} ({how}): the firmware reads as the independent reader and brisvane-vars",
                      problems)
        checks.record(f"{group}: {name}: after the boot every other variable is as brisvane-vars left it",
                      other_differences(copy, path, changing=CHANGED_BY_EVERY_BOOT, moving=MOVED_BY_EVERY_BOOT))

