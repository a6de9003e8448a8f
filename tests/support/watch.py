"""What a running program shows, for rows that hold a run in place and let
it go once it has done something: its output read as it arrives, so that a
row waits for a message instead of guessing how long the program takes, and
its signal dispositions, as Linux reports them for the process."""

import os
import signal
import threading
from pathlib import Path


class Watched:
    """A pipe from a running program, read on a thread of its own until it
    ends, so that the program never waits on it."""

    def __init__(self, stream):
        self.data = b""
        self._ended = False
        self._changed = threading.Condition()
        self._thread = threading.Thread(target=self._read, args=(stream.fileno(),), daemon=True)
        self._thread.start()

    def _read(self, fd):
        while block := os.read(fd, 1 << 16):
            with self._changed:
                self.data += block
                self._changed.notify_all()
        with self._changed:
            self._ended = True
            self._changed.notify_all()

    def wait_for(self, text, timeout_s):
        """Whether `text` arrived within `timeout_s` seconds; False as soon
        as the pipe ends without it."""
        with self._changed:
            self._changed.wait_for(lambda: text in self.data or self._ended, timeout_s)
            return text in self.data

    def all(self, timeout_s):
        """Everything the pipe carried, once it ended (the program's end
        closes it)."""
        self._thread.join(timeout_s)
        return self.data


def signals(pid, kind):
    """The signals of process `pid` in one of /proc's masks: "SigIgn"
    (ignored), "SigCgt" (caught), "ShdPnd" (pending for the process)."""
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        name, _, mask = line.partition(":")
        if name == kind:
            bits = int(mask, 16)
            return {number for number in signal.Signals if bits >> (number - 1) & 1}
    return set()


def hear_ctrl_c():
    """Lets the programs a suite starts hear Ctrl+C. A shell starts the
    background jobs of a script with SIGINT ignored; the programs would
    inherit that and stay deaf to the rows that press it. The suite takes
    SIGINT back as a terminal gives it (Python's handler, reset to the
    default in every program it starts)."""
    signal.signal(signal.SIGINT, signal.default_int_handler)
