"""The operator's keys: which slot's next board starts, or which slot comes back into service;
and the board's label, scanned.

A word is a slot's number (1 to 9) or name, which starts that slot; Enter alone on a station of
one slot; anything else is a label scanned (a barcode scanner types the serial number and
Enter), which goes with the next board started: at once on a station of one slot, with the
slot's key after it on a line of several. On a terminal a slot's number acts at once, without
Enter, unless more keys follow faster than a person types (a scanner); nothing the operator
types is echoed into the view, and the terminal is given back as it was. Off a terminal (a
test, a wrapper) each line of the standard input is a word.
"""

from __future__ import annotations

import os
import select
import termios
import threading
import tty
from typing import Callable, Sequence, TextIO

# Keys closer together than this come from a scanner, not a person's finger.
SCANNER_GAP_S = 0.03


class Keys:
    """Reads the operator's words from `stream` on a thread of its own and calls
    go(slot, label) for each start; say tells the operator what became of a word."""

    def __init__(self, slots: Sequence[str], go: Callable[[str, str | None], bool],
                 say: Callable[[str], None], stream: TextIO):
        self.slots, self.go, self.say, self.stream = list(slots), go, say, stream
        self.label: str | None = None  # scanned, waiting for its slot's key
        self._saved = None
        self._buffer = ""
        try:
            self.fd = stream.fileno()
            self.tty = os.isatty(self.fd)
        except (AttributeError, ValueError, OSError):  # no file behind it
            self.fd, self.tty = None, False

    def start(self) -> "Keys":
        if self.fd is None:
            return self
        if self.tty and not self._foreground():
            return self  # started in the background: the terminal's keys are another's
        if self.tty:
            self._saved = termios.tcgetattr(self.fd)
            tty.setcbreak(self.fd)  # a key at a time, not echoed
        threading.Thread(target=self._read, name="keys", daemon=True).start()
        return self

    def _foreground(self) -> bool:
        try:
            return os.tcgetpgrp(self.fd) == os.getpgrp()
        except OSError:  # not this process's controlling terminal
            return True

    def close(self) -> None:
        """The terminal as it was."""
        if self._saved is not None:
            termios.tcsetattr(self.fd, termios.TCSADRAIN, self._saved)
            self._saved = None

    def word(self, text: str) -> None:
        """One word of the operator's (see the module's text)."""
        text = text.strip()
        if not text and len(self.slots) == 1:
            slot = self.slots[0]
        elif text.isdigit() and 1 <= int(text) <= min(len(self.slots), 9):
            slot = self.slots[int(text) - 1]
        elif text in self.slots:
            slot = text
        elif text.isdigit() and len(text) <= 2:  # a key, not a label
            numbered = ", ".join(f"{n} {s}" for n, s in enumerate(self.slots, 1))
            self.say(f"key {text}: no such slot (slots: {numbered})")
            return
        elif text and len(self.slots) == 1:
            self.label, slot = text, self.slots[0]
        elif text:
            self.label = text
            self.say(f"label {text} scanned: press the key of the slot it goes in")
            return
        else:
            return
        label, self.label = self.label, None
        if not self.go(slot, label):
            self.say(f"{slot}: takes no key (it starts its boards itself, or it has ended)")

    def _read(self) -> None:
        while True:
            try:
                data = os.read(self.fd, 1 if self.tty else 4096)
            except OSError:
                return
            if not data:  # the input is closed: no operator here
                return
            text = data.decode(errors="replace")
            if self.tty and text in "\r\n":
                text = "\n"
            elif (self.tty and not self._buffer and text.isdigit() and len(self.slots) > 1
                  and not select.select([self.fd], [], [], SCANNER_GAP_S)[0]):
                self.word(text)  # a person's key: at once
                continue
            self._buffer += text
            *lines, self._buffer = self._buffer.split("\n")
            for line in lines:
                self.word(line)
