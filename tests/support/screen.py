"""A program's standard error on a pseudo-terminal, read back as a person
sees it through a terminal emulator (Debian's python3-pyte), so that rows
about the console check the screen rather than escape bytes.

The emulated screen wraps as a Windows console does: as soon as a line fills
the last column (a terminal waits for the next character), so that a line
written into the last column counts as wrapped here too.
"""

import contextlib
import fcntl
import os
import pty
import re
import struct
import subprocess
import sys
import termios
import threading
import time
from dataclasses import dataclass

try:
    import pyte
except ImportError:  # a Python of its own (pyenv, a venv) does not see Debian's packages
    sys.path.append("/usr/lib/python3/dist-packages")
    import pyte

ROWS = 200  # more than any run prints, so that nothing scrolls away

# The progress line's forms, widest first.
PROGRESS_FORMS = {
    "full": re.compile(r"書き出し中: +\d+% \([\d.]+ / [\d.]+ MiB\) [\d.]+ MiB/秒 残り [\d:-]+"),
    "no rate": re.compile(r"書き出し中: +\d+% \([\d.]+ / [\d.]+ MiB\) 残り [\d:-]+"),
    "no amounts": re.compile(r"書き出し中: +\d+% 残り [\d:-]+"),
    "shortest": re.compile(r" *\d+% 残り [\d:-]+"),
}


def form_of(line):
    """Which form of the progress line `line` is; None for none."""
    return next((name for name, form in PROGRESS_FORMS.items() if form.fullmatch(line)), None)


class Console(pyte.Screen):
    """A screen `columns` wide that counts the lines it wrapped and keeps
    each progress line it showed (a row with a percent sign, as it stood
    when the cursor went back to its start)."""

    def __init__(self, columns):
        self.wraps = 0
        self.progress = []
        super().__init__(columns, ROWS)

    def draw(self, data):
        for char in data:
            super().draw(char)
            if self.cursor.x >= self.columns:
                self.wraps += 1
                super().carriage_return()
                self.linefeed()

    def carriage_return(self):
        row = self.display[self.cursor.y].rstrip()
        if "%" in row:
            self.progress.append(row)
        super().carriage_return()

    def shown(self):
        """The screen's lines, without the blank ones after the last."""
        lines = [line.rstrip() for line in self.display]
        while lines and not lines[-1]:
            lines.pop()
        return lines


def piped_screen(parts):
    """The screen showing what a pipe got, as a terminal's line discipline
    passes it on ("\\n" as "\\r\\n"): `parts` are (columns, text), the screen
    resized to each width before its text."""
    console = Console(parts[0][0])
    stream = pyte.Stream(console)
    for columns, text in parts:
        console.resize(ROWS, columns)
        stream.feed(text.replace("\n", "\r\n"))
    return console


def set_size(fd, columns):
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", ROWS, columns, 0, 0))


@dataclass
class TerminalRun:
    status: int
    stdout: bytes
    console: Console


def run_on_console(command, columns, timeout_s=120, **popen):
    """Runs `command` with standard output and error on one terminal
    `columns` wide: (status, the Console that shows them)."""
    leader, follower = pty.openpty()
    set_size(follower, columns)
    try:
        status = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=follower,
                                stderr=follower, timeout=timeout_s, **popen).returncode
    finally:
        os.close(follower)
    console = Console(columns)
    stream = pyte.ByteStream(console)
    with contextlib.suppress(OSError):  # EIO once the terminal's other end has closed
        while block := os.read(leader, 1 << 16):
            stream.feed(block)
    os.close(leader)
    return status, console


def run_on_terminal(command, columns, pace_s=0.02, resize=None, timeout_s=120, **popen):
    """Runs `command` with standard error on a terminal `columns` wide, its
    standard output read 1 MiB at a time, `pace_s` apart: a slow reader, so
    that the run lasts long enough to show its progress. With `resize` =
    (bytes, columns), the terminal takes the new width once that much was
    read, while the writer waits on the full pipe, so that no line is being
    drawn meanwhile. The program is killed if it outlives `timeout_s`."""
    leader, follower = pty.openpty()
    set_size(follower, columns)
    proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=follower, **popen)
    os.close(follower)
    timer = threading.Timer(timeout_s, proc.kill)
    timer.start()
    console = Console(columns)
    stream = pyte.ByteStream(console)
    feeding = threading.Lock()

    def pump():
        with contextlib.suppress(OSError):  # EIO once the terminal's other end has closed
            while block := os.read(leader, 1 << 16):
                with feeding:
                    stream.feed(block)

    reader = threading.Thread(target=pump)
    reader.start()
    taken = bytearray()
    while block := proc.stdout.read(1 << 20):
        taken += block
        if resize and len(taken) >= resize[0]:
            time.sleep(0.5)  # the writer blocks on the pipe, and its last line arrives
            with feeding:
                set_size(leader, resize[1])
                console.resize(ROWS, resize[1])
            resize = None
        time.sleep(pace_s)
    status = proc.wait()
    timer.cancel()
    reader.join()
    os.close(leader)
    return TerminalRun(status, bytes(taken), console)
