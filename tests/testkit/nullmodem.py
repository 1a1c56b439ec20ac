"""A board's console as the station meets it, on this machine: busybox ash, the board's own
shell, behind a login prompt on one pseudo-terminal, joined to a second pseudo-terminal (the
station's serial port, opened by labgrid's RawSerialPort) as two UARTs are by a null-modem
cable. On the way to the station, kernel messages land at random moments (exponential gaps of
mean `kmsg_s` seconds, seeded), inside the board's output where it is speaking, as printk
writes to a real console."""

from __future__ import annotations

import os
import pty
import random
import select
import signal
import threading
import time
import tty
from typing import Callable

from testkit.shells import board_path

KERNEL_MESSAGES = (b"[   61.402113] random: crng init done\r\n",
                   b"[  104.118020] usb 1-1: new high-speed USB device number 3 using ehci-platform\r\n",
                   b"[  187.902441] EXT4-fs (mmcblk0p2): mounted filesystem with ordered data mode\r\n")

LOGIN = """while :; do printf 'board login: '; read -r user; [ "$user" = "$USER_WANTED" ] && break
done
cd "$WORK"; export PS1='board$ '; exec busybox ash -i
"""


class NullModem:
    """Start with `with NullModem(work, user) as modem:`; `modem.port` is the station's end,
    `modem.messages` how many kernel messages went in."""

    def __init__(self, work, user: str = "factory", kmsg_s: float = 0.0, seed: int = 1,
                 powered: Callable[[], bool] = lambda: True):
        # powered: whether the board is on; while it is off, nothing goes either way.
        self.work, self.user, self.kmsg_s, self.powered = str(work), user, kmsg_s, powered
        self.random = random.Random(seed)
        self.messages = 0
        self._next = self._gap()
        self._stop = threading.Event()

    def __enter__(self) -> "NullModem":
        self.pid, self.board = pty.fork()
        if self.pid == 0:  # the board: its shell's console is this terminal
            os.execvpe("busybox", ["busybox", "sh", "-c", LOGIN],
                       {**os.environ, "USER_WANTED": self.user, "WORK": self.work, "ENV": "",
                        "PATH": board_path(self.work)})
        self.station, self._slave = os.openpty()
        tty.setraw(self._slave)
        self.port = os.ttyname(self._slave)
        self._thread = threading.Thread(target=self._carry, daemon=True)
        self._thread.start()
        return self

    def _gap(self) -> float:
        return time.monotonic() + self.random.expovariate(1 / self.kmsg_s) if self.kmsg_s else 0

    def _kernel(self, data: bytes) -> bytes:
        """data with the kernel's messages that are due by now, each at a random byte."""
        while self.kmsg_s and time.monotonic() >= self._next:
            at = self.random.randint(0, len(data))
            data = data[:at] + self.random.choice(KERNEL_MESSAGES) + data[at:]
            self.messages += 1
            self._next = self._gap()
        return data

    def _carry(self) -> None:
        while not self._stop.is_set():
            ready, _, _ = select.select([self.board, self.station], [], [], 0.05)
            try:
                if not self.powered():
                    for fd in ready:
                        os.read(fd, 4096)
                    continue
                if self.board in ready:
                    os.write(self.station, self._kernel(os.read(self.board, 4096)))
                elif self.kmsg_s and time.monotonic() >= self._next:  # the board is quiet
                    os.write(self.station, self._kernel(b""))
                if self.station in ready:
                    os.write(self.board, os.read(self.station, 4096))
            except OSError:  # the board's shell ended, or the station closed its end
                if self._stop.wait(0.05):
                    return

    def __exit__(self, *exc) -> None:
        self._stop.set()
        self._thread.join()
        try:
            os.killpg(self.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        os.waitpid(self.pid, 0)
        for fd in (self.board, self.station, self._slave):
            os.close(fd)
