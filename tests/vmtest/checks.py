"""A tally of checks, each printed as a line, with its problems under it."""

import sys


class Checks:
    """Counts the checks and prints a line for each to out (standard output
    by default)."""

    def __init__(self, out=None):
        self.passed = 0
        self.failed = 0
        self.skipped = 0
        self.out = out

    def record(self, name, problems):
        """Records one check; problems is a list of texts, or one, or none."""
        problems = [problems] if isinstance(problems, str) else problems
        out = self.out or sys.stdout
        print(f"FAIL {name}" if problems else f"ok   {name}", file=out)
        for problem in problems:
            print(f"     {problem}", file=out)
        out.flush()
        self.passed += not problems
        self.failed += bool(problems)

    def skip(self, name, reason):
        """Records checks that could not run here, and why."""
        print(f"skip {name}: {reason}", file=self.out or sys.stdout, flush=True)
        self.skipped += 1

    def add(self, other):
        """Adds the tally of other to this one."""
        self.passed += other.passed
        self.failed += other.failed
        self.skipped += other.skipped

    def summary(self):
        skipped = f", {self.skipped} skipped" if self.skipped else ""
        return f"{self.passed} passed, {self.failed} failed{skipped}"
