"""What the tests share: the simulator and the station's runs (stations), a real PostgreSQL
(pgcluster), the end-to-end cases (casefile, targets, board_target), the sigrok decoder's runs
(linkdecode) and a terminal (terminal)."""

from __future__ import annotations

import os
import re
import signal
import subprocess
import time
from pathlib import Path
from typing import Callable

SOURCE = Path(__file__).resolve().parents[2]


def program_env(**extra: str) -> dict[str, str]:
    """The environment of a project program started from a test (python3 -m station, ...):
    its packages found from wherever it starts, no byte-code left in the tree."""
    path = os.pathsep.join(p for p in (str(SOURCE), os.environ.get("PYTHONPATH")) if p)
    return {**os.environ, "PYTHONPATH": path, "PYTHONDONTWRITEBYTECODE": "1", **extra}


def shell_script(path: Path, body: str) -> Path:
    """An executable /bin/sh script at path with that body: a stand-in tool."""
    path.write_text("#!/bin/sh\n" + body)
    path.chmod(0o755)
    return path


class Spawned:
    """A project program started in a session of its own, its output (standard error too) in
    a file that the test polls; `with` kills it and all it started if it outlives the block,
    and prints its output (shown when a test fails)."""

    def __init__(self, argv: list[str], log: Path, env: dict | None = None, **popen):
        self.log = log
        # To a file, not a pipe: a child left behind (a board's QEMU) cannot hold the run open.
        with open(log, "wb") as out:
            self.proc = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT,
                                         env=env or program_env(), start_new_session=True,
                                         **popen)

    def output(self) -> str:
        return self.log.read_text(encoding="utf-8", errors="replace")

    def until(self, done: Callable[[str], bool], timeout: float = 120) -> None:
        """Until done(its output so far) holds; the timeout is against a hang only."""
        deadline = time.monotonic() + timeout
        while not done(text := self.output()):
            assert self.proc.poll() is None and time.monotonic() < deadline, text
            time.sleep(0.05)

    def wait_for(self, pattern: str, count: int = 1) -> None:
        """Until its output has pattern (a line's regex) count times."""
        self.until(lambda text: len(re.findall(pattern, text, re.M)) >= count)

    def key(self, line: bytes = b"") -> None:
        """A line typed on its standard input (started with stdin=subprocess.PIPE)."""
        self.proc.stdin.write(line + b"\n")
        self.proc.stdin.flush()

    def __enter__(self) -> "Spawned":
        return self

    def __exit__(self, *exc) -> None:
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait(10)
        print(self.output())
