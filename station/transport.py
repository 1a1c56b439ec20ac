"""How the station runs `mcu_test` on the board: a labgrid shell, or a local binary.

Both give the tool's exact output bytes (the tool prints a UTF-8 degree sign, and whatever the
MCU sends is echoed) and its exit status.
"""

from __future__ import annotations

import subprocess
from dataclasses import dataclass
from typing import Protocol, Sequence


class TransportError(Exception):
    """The tool could not be run, or its output could not be brought back."""


@dataclass(frozen=True)
class ToolRun:
    stdout: bytes  # standard output and standard error, in the order written
    status: int


class Transport(Protocol):
    def run(self, args: Sequence[str], timeout: float) -> ToolRun: ...

    def describe(self) -> str: ...


class LocalTool:
    """Runs a tool binary on this machine, in a given directory (for a build with the device
    `ttyMCU`, the directory where the simulator publishes its link)."""

    def __init__(self, tool: str, cwd: str | None = None):
        self.tool, self.cwd = tool, cwd

    def run(self, args: Sequence[str], timeout: float) -> ToolRun:
        try:
            done = subprocess.run([self.tool, *args], cwd=self.cwd, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  timeout=timeout, check=False)
        except subprocess.TimeoutExpired:
            raise TransportError(f"{self.tool} {' '.join(args)} did not end in {timeout:.0f} s")
        except OSError as e:
            raise TransportError(f"cannot run {self.tool}: {e}")
        return ToolRun(done.stdout, done.returncode)

    def describe(self) -> str:
        return f"local {self.tool}" + (f" in {self.cwd}" if self.cwd else "")


class LabgridShell:
    """Runs the tool on a board reached through labgrid (boards/board.py's Board), which brings
    the exact bytes, with the standard error in the order written, back over the console."""

    def __init__(self, board, tool: str = "mcu_test"):
        self.board, self.tool = board, tool

    def run(self, args: Sequence[str], timeout: float) -> ToolRun:
        from board import BoardError

        try:
            run = self.board.run([self.tool, *args], timeout_ms=int(timeout * 1000), merged=True)
        except BoardError as e:
            raise TransportError(f"board {self.board.name}: {e}") from e
        if run.killed:
            raise TransportError(f"{self.tool} {' '.join(args)} did not end in {timeout:.0f} s "
                                 "on the board")
        return ToolRun(run.out, run.status)

    def describe(self) -> str:
        return f"labgrid shell, {self.tool}"
