"""The operator's keys: which slot's next board starts, or which slot comes back into service.

On a terminal a key acts at once: a slot's number (1 to 9) on a line of several slots, Enter
on a station of one slot; nothing the operator types is echoed into the view, and the terminal
is given back as it was. Off a terminal (a test, a wrapper) each line of the standard input is
one word: a slot's number or name, or an empty line on a station of one slot.
"""

from __future__ import annotations

import os
import termios
import threading
import tty
from typing import Callable, Sequence, TextIO


class Keys:
    """Reads the operator's words from `stream` on a thread of its own and calls go(slot)
    for each; say tells the operator about a key that names no slot."""

    def __init__(self, slots: Sequence[str], go: Callable[[str], bool],
                 say: Callable[[str], None], stream: TextIO):
        self.slots, self.go, self.say, self.stream = list(slots), go, say, stream
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
        if self.tty:
            self._saved = termios.tcgetattr(self.fd)
            tty.setcbreak(self.fd)  # a key at a time, not echoed
        threading.Thread(target=self._read, name="keys", daemon=True).start()
        return self

    def close(self) -> None:
        """The terminal as it was."""
        if self._saved is not None:
            termios.tcsetattr(self.fd, termios.TCSADRAIN, self._saved)
            self._saved = None

    def word(self, text: str) -> None:
        """One word of the operator's: a slot's number or name, or nothing (the one slot)."""
        text = text.strip()
        if not text and len(self.slots) == 1:
            slot = self.slots[0]
        elif text.isdigit() and 1 <= int(text) <= len(self.slots):
            slot = self.slots[int(text) - 1]
        elif text in self.slots:
            slot = text
        else:
            numbered = ", ".join(f"{n} {s}" for n, s in enumerate(self.slots, 1))
            self.say(f"key {text!r}: no such slot (slots: {numbered})")
            return
        if not self.go(slot):
            self.say(f"{slot}: takes no key (it starts its boards itself, or it has ended)")

    def _read(self) -> None:
        while True:
            try:
                data = os.read(self.fd, 1 if self.tty else 4096)
            except OSError:
                return
            if not data:  # the input is closed: no operator here
                return
            if self.tty:
                key = data.decode(errors="replace")
                if key in "\r\n" and len(self.slots) == 1:
                    self.word("")
                elif key.isdigit():
                    self.word(key)
                continue
            self._buffer += data.decode(errors="replace")
            *lines, self._buffer = self._buffer.split("\n")
            for line in lines:
                self.word(line)
