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
