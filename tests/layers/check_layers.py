#!/usr/bin/env python3
"""The program's rooms lean only downward: no file of a room includes a
header of a room above it. From the top: the command line and the entry
routines (cli/), the input file and its stream (input/), the transfer and
the WAVE sink (wave/), the reporting base (report/), and the platform
(platform/). Tests beside the code may also include the test support
(tests/support/); nothing else of the tree is a room.

    python3 tests/layers/check_layers.py
"""

import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests/support"))
from suite import Suite  # noqa: E402

ROOMS = ["cli", "input", "wave", "report", "platform"]  # from the top down
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def problems_of(path, room):
    """The includes of `path`, a file of `room`, that reach above it."""
    allowed = set(ROOMS[ROOMS.index(room):])
    problems = []
    for header in INCLUDE.findall(path.read_text(encoding="utf-8")):
        top = header.split("/")[0]
        if top in allowed:
            continue
        if path.stem.endswith("_test") and header.startswith("tests/support/"):
            continue
        above = top in ROOMS
        problems.append(f'{path.relative_to(ROOT)} includes "{header}"' +
                        (f", of {top}/, above {room}/" if above else ", of no room below"))
    return problems


def main():
    suite = Suite()
    for room in ROOMS:
        files = sorted(p for p in (ROOT / room).iterdir()
                       if p.suffix in (".cc", ".h", ".def", ".in"))
        suite.check(f"{room}/ ({len(files)} files)",
                    [problem for path in files for problem in problems_of(path, room)])
    return suite.finish()


if __name__ == "__main__":
    sys.exit(main())
