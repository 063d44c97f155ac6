"""A tally of checks, each printed as a line, with its problems under it."""

import sys


class Checks:
    """Counts the checks and prints a line for each to out (standard output
    by default)."""

    def __init__(self, out=None):
        self.passed = 0
        self.failed = 0
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

    def add(self, other):
        """Adds the tally of other to this one."""
        self.passed += other.passed
        self.failed += other.failed

    def summary(self):
        return f"{self.passed} passed, {self.failed} failed"
