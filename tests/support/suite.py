"""The rows of a suite: which run (-k TEXT), and their verdicts, counted."""


class Suite:
    def __init__(self, keyword=None):
        self.passed = 0
        self.failed = 0
        self.keyword = keyword

    def wants(self, *names):
        """Whether any of the rows `names` is to run: every row, or with -k
        those whose name holds its text. Rows ask before they do any work, and
        work shared by several rows is done when one of them runs."""
        return self.keyword is None or any(self.keyword in name for name in names)

    def check(self, name, problems):
        if not self.wants(name):
            return  # a row that did not ask first: not counted
        if problems:
            self.failed += 1
            print(f"FAIL {name}")
            for problem in problems:
                print(f"     {problem}")
        else:
            self.passed += 1
            print(f"ok   {name}")

    def finish(self):
        """Prints the count; the exit status: 1 when a row failed, or when
        -k chose none."""
        print(f"{self.passed} passed, {self.failed} failed")
        if self.passed + self.failed == 0:
            print(f"no row's name holds {self.keyword!r}")
            return 1
        return 1 if self.failed else 0
