"""How the station runs `mcu_test` on the board: a labgrid shell, or a local binary.

Both give the tool's exact output bytes (the tool prints a UTF-8 degree sign, and whatever the
MCU sends is echoed) and its exit status.
"""

from __future__ import annotations

import re
import shlex
import subprocess
import time
from dataclasses import dataclass
from typing import Iterator, Protocol, Sequence

from boards.board import BoardError


class TransportError(Exception):
    """The tool could not be run, or its output could not be brought back."""


@dataclass(frozen=True)
class ToolRun:
    stdout: bytes  # standard output and standard error, in the order written
    status: int
    seconds: float | None = None  # the run's own time where it ran (the board's clock)


# The tool's build, found by a shell where the tool runs (a board's busybox, or here): the
# package that owns the binary and its version when a package does (dpkg is asked only about
# the system's folders), or else the binary's SHA-256.
_BUILD_SCRIPT = r"""
p=$(command -v TOOL) || exit 1
case $p in /usr/*|/bin/*|/sbin/*|/opt/*)
    owner=$(dpkg -S "$p" 2>/dev/null | head -n 1); pkg=${owner%%: *}; pkg=${pkg%%,*}
    if [ -n "$owner" ] && v=$(dpkg-query -W -f '${Version}' "$pkg" 2>/dev/null) &&
            [ -n "$v" ]; then echo "$pkg $v"; exit 0; fi;;
esac
set -- $(sha256sum "$p") && echo "sha256:$1"
"""
_BUILD = re.compile(r"^(sha256:[0-9a-f]{64}|[a-z0-9][a-z0-9+.:-]* [0-9A-Za-z.+~:-]+)$")


def build_script(tool: str) -> str:
    return _BUILD_SCRIPT.replace("TOOL", shlex.quote(tool))


def parse_build(text: str, status: int) -> str | None:
    lines = text.strip().splitlines()
    return lines[-1] if status == 0 and lines and _BUILD.match(lines[-1]) else None


# One tool run of a plan: its arguments and how long it may take before it counts as stuck.
Call = tuple[Sequence[str], float]


class Transport(Protocol):
    # The teardown's outcomes, once run_all has ended.
    teardown: list[ToolRun | TransportError]

    def run_all(self, calls: Sequence[Call], teardown: Sequence[Call] = ()
                ) -> Iterator[ToolRun | TransportError]:
        """Runs the calls in order and yields each one's outcome as soon as it is in. A
        TransportError yielded concerns that call only; one raised means that nothing more
        will come (the board is lost). Closing it early stops between calls. The teardown
        calls run after the last call or the stop, whatever happened (not on a lost board)."""
        ...

    def describe(self) -> str: ...

    def tool_build(self) -> str | None:
        """The tool's build where it runs: 'package version', or 'sha256:...' of a binary
        that no package owns; None when it cannot be told."""
        ...

    def console_bytes(self) -> tuple[int, int] | None:
        """Bytes read from and written to the board's console so far (None: no console)."""
        ...


class LocalTool:
    """Runs a tool binary on this machine, in a given directory (for a build with the device
    `ttyMCU`, the directory where the simulator publishes its link)."""

    def __init__(self, tool: str, cwd: str | None = None):
        self.tool, self.cwd = tool, cwd
        self.teardown: list[ToolRun | TransportError] = []

    def run_all(self, calls: Sequence[Call], teardown: Sequence[Call] = ()
                ) -> Iterator[ToolRun | TransportError]:
        self.teardown = []
        try:
            for args, timeout in calls:
                yield self._outcome(args, timeout)
        finally:
            self.teardown = [self._outcome(args, timeout) for args, timeout in teardown]

    def _outcome(self, args: Sequence[str], timeout: float) -> ToolRun | TransportError:
        try:
            return self.run(args, timeout)
        except TransportError as e:
            return e

    def run(self, args: Sequence[str], timeout: float) -> ToolRun:
        started = time.monotonic()
        try:
            # In a process group of its own: the operator's Ctrl-C stops the station, which
            # lets the running step end as on a board, instead of killing the tool mid-step.
            done = subprocess.run([self.tool, *args], cwd=self.cwd, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  timeout=timeout, check=False, process_group=0)
        except subprocess.TimeoutExpired:
            raise TransportError(f"{self.tool} {' '.join(args)} did not end in {timeout:.0f} s")
        except OSError as e:
            raise TransportError(f"cannot run {self.tool}: {e}")
        return ToolRun(done.stdout, done.returncode, time.monotonic() - started)

    def console_bytes(self) -> None:
        return None

    def tool_build(self) -> str | None:
        try:
            done = subprocess.run(["sh", "-c", build_script(self.tool)], cwd=self.cwd,
                                  stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                  timeout=30, check=False)
        except (OSError, subprocess.TimeoutExpired):
            return None
        return parse_build(done.stdout, done.returncode)

    def describe(self) -> str:
        return f"local {self.tool}" + (f" in {self.cwd}" if self.cwd else "")


class LabgridShell:
    """Runs the tool on a board reached through labgrid (boards/board.py's Board): the whole
    plan as one script on the board's shell, each run's exact bytes (standard error in the
    order written) coming back over the console as soon as it ends, on its own step."""

    def __init__(self, board, tool: str = "mcu_test"):
        self.board, self.tool = board, tool
        self.teardown: list[ToolRun | TransportError] = []

    def run_all(self, calls: Sequence[Call], teardown: Sequence[Call] = ()
                ) -> Iterator[ToolRun | TransportError]:
        self.teardown = []
        runs = self.board.run_steps([[self.tool, *args] for args, _ in calls],
                                    [int(timeout * 1000) for _, timeout in calls],
                                    [[self.tool, *args] for args, _ in teardown])
        try:
            for (args, timeout), run in zip(calls, runs):
                yield self._outcome(args, timeout, run)
            for _ in runs:  # the plan's own end: its teardown, and what is asked for again
                pass
        except BoardError as e:
            raise TransportError(str(e)) from e
        finally:
            runs.close()  # stopped early: the running step ends on the board, no other starts
            self.teardown = [self._outcome(args, timeout, run)
                             for (args, timeout), run in zip(teardown, self.board.teardown)]

    def _outcome(self, args, timeout: float, run) -> ToolRun | TransportError:
        if isinstance(run, Exception):
            return TransportError(f"board {self.board.name}: {run}")
        if run.killed:
            return TransportError(f"{self.tool} {' '.join(args)} did not end in "
                                  f"{timeout:.0f} s on the board")
        return ToolRun(run.out, run.status, run.wall_ms / 1000)

    def tool_build(self) -> str | None:
        try:
            return parse_build(*self.board.sh(build_script(self.tool), timeout_ms=30000))
        except BoardError:  # the run that follows meets the board's trouble and records it
            return None

    def console_bytes(self) -> tuple[int, int] | None:
        meter = self.board.console
        return None if meter is None else (meter.rx, meter.tx)

    def describe(self) -> str:
        return f"labgrid shell, {self.tool}"
