"""One owner per slot: each console and power switch of the line is driven by one slot of one
station. Before anything is powered, the station refuses a line whose slots share one of them,
and takes an exclusive lock on each for as long as it runs; a second station (or a second
line on this host) that names one of them is refused with who holds it.

The locks are files in LOCK_DIR, one per thing (named by a hash of what it is), each holding
its owner's description; the kernel lets go of them when the owning process ends, however it
ends.
"""

from __future__ import annotations

import fcntl
import hashlib
import os
import socket
import tempfile
import time
from pathlib import Path
from typing import Mapping

# Shared by every user's stations on this host (a sticky, world-writable folder on Debian;
# /tmp where a container has no /run/lock).
LOCK_DIR = Path("/run/lock") if os.path.isdir("/run/lock") else Path(tempfile.gettempdir())


class Taken(Exception):
    """A console or power switch that another slot or station drives; the text says which and
    who."""


def refuse_shared(things: Mapping[str, list[str]]) -> None:
    """things: each slot's consoles and power switches. Taken when two slots name one."""
    seen: dict[str, str] = {}
    for slot, names in things.items():
        for thing in names:
            if thing in seen and seen[thing] != slot:
                raise Taken(f"slots {seen[thing]} and {slot} both name {thing}: one board "
                            f"would be driven by two testers")
            seen[thing] = slot


class Claims:
    """The locks that this station holds (kept open: closing a file lets go of its lock)."""

    def __init__(self, station: str, lock_dir: Path = LOCK_DIR):
        self.station, self.lock_dir = station, lock_dir
        self.files: list = []

    def take(self, things: Mapping[str, list[str]]) -> "Claims":
        """Locks every slot's things; Taken (and none kept) when another holds one."""
        refuse_shared(things)
        try:
            for slot, names in things.items():
                for thing in names:
                    self._lock(slot, thing)
        except Taken:
            self.release()
            raise
        return self

    def _lock(self, slot: str, thing: str) -> None:
        name = hashlib.sha256(thing.encode()).hexdigest()[:16]
        path = self.lock_dir / f"mcu-station-{name}.lock"
        try:
            fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o666)
        except PermissionError:  # another user's lock file: it locks all the same
            fd = os.open(path, os.O_RDONLY)
        f = os.fdopen(fd, "r+" if os.access(path, os.W_OK) else "r", encoding="utf-8")
        try:
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            holder = f.read().strip() or "another process"
            f.close()
            raise Taken(f"slot {slot}: {thing} is held by {holder} (lock {path})") from None
        if f.writable():
            f.truncate()
            f.write(f"station {self.station}, slot {slot} (pid {os.getpid()} on "
                    f"{socket.gethostname()}, since {time.strftime('%Y-%m-%d %H:%M:%S %z')})\n")
            f.flush()
        self.files.append(f)

    def release(self) -> None:
        for f in self.files:
            f.close()
        self.files = []
