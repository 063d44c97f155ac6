#!/usr/bin/env python3
"""Kills brisvane-vars at each write and each flush of an edit and checks
the file it leaves: the next run reads the old value or the new one and
completes a compaction cut short, UEFIExtract, an NVRAM reader written
elsewhere, reads every other variable unchanged, and the store takes the
next write.

    crash.py --tool build/check/brisvane-vars --shim libvars_crash_shim.so TEMPLATE...

On a copy of each OVMF template, seeded with neighbours: a set that replaces
a value, and a set that compacts the full store, each killed by the shim
(preloaded) before its Nth write or flush, and in the middle of its Nth
write, for every N. Prints one line per check; exits 1 on any failure.
Needs tests/ on PYTHONPATH.
"""

import argparse
import os
import shutil
import sys
import tempfile

from interop import seed, unfinished_writes
from vmtest import SHELL_GUID, VARIABLE, ucs2
from vmtest.checks import Checks
from vmtest.nvram import LONG_VALUE, dump, free_offset, run_tool, store_bounds

COMPLETED = "completed a fault-tolerant write that was cut short"


def added(path):
    """The variables in force in the file a cut left, as dump() gives them,
    or None unless UEFIExtract finds one store."""
    try:
        return dump(path, cut=True).live
    except RuntimeError:
        return None


def brisvane(variables):
    """The values of brisvane's variable among variables."""
    return [v.data for v in variables if v.key() == (VARIABLE, SHELL_GUID)]


def fill(tool, path):
    """Sets long values until the next one does not fit the free space;
    gives the words of that next one."""
    value = LONG_VALUE
    while True:
        with open(path, "rb") as f:
            image = f.read()
        if store_bounds(image)[1] - free_offset(image) < 0x2000:
            return value.split(" ")
        run_tool(tool, path, "-s", *value.split(" "))
        value = LONG_VALUE if value != LONG_VALUE else "-nostartup " + LONG_VALUE


def cut(tool, shim, base, path, words, step, torn):
    """Runs the edit on a copy of base at path, killed at its step'th write
    or flush; False when it ran to the end."""
    shutil.copyfile(base, path)
    env = dict(os.environ, LD_PRELOAD=shim, BRISVANE_CRASH_AT=str(step))
    if torn:
        env["BRISVANE_CRASH_TORN"] = "1"
    return run_tool(tool, path, *words, env=env).returncode == -9


def after_cut(tool, path, old, new, kept):
    """Problems with the file a cut left, and the value the next run read."""
    shown = run_tool(tool, path, "--show")
    value = shown.stdout.rstrip("\n")
    problems = [] if value in (old, new) else [f"--show printed {shown.stdout!r}, {shown.stderr!r}"]
    problems += unfinished_writes(path)
    variables = added(path)
    if variables is None:
        return problems + ["UEFIExtract finds other than one store"], value, False
    # Until the new record is added, the old one may be in transition: the firmware reads it,
    # UEFIExtract skips it.
    values = brisvane(variables)
    if values != [ucs2(value)] and not (values == [] and value == old):
        problems.append(f"UEFIExtract reads {len(values)} values, not {value[:24]!r}")
    if [v for v in variables if v.key() != (VARIABLE, SHELL_GUID)] != kept:
        problems.append("UEFIExtract reads other variables changed")
    result = run_tool(tool, path, "-s", "-exit")
    problems += [] if result.returncode == 0 else [f"the next set failed: {result.stderr}"]
    problems += [] if brisvane(added(path) or []) == [ucs2("-exit")] else ["UEFIExtract misses the next value"]
    return problems, value, COMPLETED in shown.stderr


def check_edit(tool, shim, label, base, words, work, checks):
    """Cuts the edit of base at each step in both ways."""
    path = os.path.join(work, "cut.fd")
    old = run_tool(tool, base, "--show").stdout.rstrip("\n")
    new = " ".join(words[1:]).lower()
    kept = [v for v in dump(base).live if v.key() != (VARIABLE, SHELL_GUID)]
    completions = 0
    for torn in (False, True):
        problems, step, arrived = [], 0, False
        while step < 100 and cut(tool, shim, base, path, words, step + 1, torn):
            step += 1
            found, value, completed = after_cut(tool, path, old, new, kept)
            problems += [f"cut at {step}: {problem}" for problem in found]
            if arrived and value != new:
                problems.append(f"cut at {step}: the old value again")
            arrived = arrived or value == new
            completions += completed and value == new
        how = "in the middle of" if torn else "before"
        checks.record(f"{label}: killed {how} each of its {step} writes and flushes, read as before or after",
                      problems + ([] if arrived else ["never read as after"]))
    return completions


def check_template(tool, shim, template, checks):
    label = os.path.basename(template)
    with tempfile.TemporaryDirectory() as work:
        base = os.path.join(work, "base.fd")
        shutil.copyfile(template, base)
        seed(base)
        run_tool(tool, base, "-s", "-nomap")
        check_edit(tool, shim, f"{label}: a set", base, ["-s", "-exit", "-nonest"], work, checks)
        words = fill(tool, base)
        completions = check_edit(tool, shim, f"{label}: a set that compacts", base, ["-s", *words], work, checks)
        checks.record(f"{label}: the next run completes a compaction cut short after its spare area was written",
                      [] if completions > 0 else "never")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", required=True, help="brisvane-vars to kill")
    parser.add_argument("--shim", required=True, help="the crash library to preload into it")
    parser.add_argument("templates", nargs="+", help="OVMF variable store templates")
    options = parser.parse_args()
    checks = Checks()
    for template in options.templates:
        check_template(os.path.abspath(options.tool), os.path.abspath(options.shim), template, checks)
    print(f"{checks.failed} checks failed" if checks.failed else "all checks passed")
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
