"""How the station runs `mcu_test` on the board: a labgrid shell, or a local binary.

Both give the tool's exact output bytes (the tool prints a UTF-8 degree sign, and whatever the
MCU sends is echoed) and its exit status.
"""

from __future__ import annotations

import re
import shlex
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


_STATUS = re.compile(r"mcu-station-status=(\d+)")


class LabgridShell:
    """Runs the tool through a labgrid shell (ShellDriver, SSHDriver: `run(cmd)` returns
    stdout lines, stderr lines and the exit code). The console carries text lines, so the
    output goes to a file on the board and comes back as hexadecimal bytes (POSIX od)."""

    def __init__(self, shell, tool: str = "mcu_test", scratch: str = "/tmp/mcu_station.out"):
        self.shell, self.tool, self.scratch = shell, tool, scratch

    def command(self, args: Sequence[str]) -> str:
        words = " ".join(shlex.quote(w) for w in (self.tool, *args))
        out = shlex.quote(self.scratch)
        return f"{words} >{out} 2>&1; echo mcu-station-status=$?; od -An -v -tx1 {out}; rm -f {out}"

    def run(self, args: Sequence[str], timeout: float) -> ToolRun:
        try:
            lines, _, _ = self.shell.run(self.command(args), timeout=timeout)
        except Exception as e:  # labgrid's timeouts and console errors
            raise TransportError(f"board shell: {type(e).__name__}: {e}") from e
        return decode_shell_output(lines)

    def describe(self) -> str:
        return f"labgrid shell, {self.tool}"


def decode_shell_output(lines: Sequence[str]) -> ToolRun:
    """The status line and the od dump that `LabgridShell.command` prints, as a ToolRun."""
    status = None
    data = bytearray()
    for line in lines:
        m = _STATUS.search(line)
        if m:
            status = int(m.group(1))
            continue
        words = line.split()
        if status is not None and words and all(re.fullmatch(r"[0-9a-f]{2}", w) for w in words):
            data.extend(int(w, 16) for w in words)
        elif status is not None and words:
            raise TransportError(f"board shell: unexpected line {line!r}")
    if status is None:
        raise TransportError("board shell: no exit status of the tool came back")
    return ToolRun(bytes(data), status)
