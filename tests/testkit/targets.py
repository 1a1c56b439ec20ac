"""Where the end-to-end cases run the tool: one Target class per kind of machine.

The plugin (conftest.py) builds one target for the session, `--target NAME`: a name in TARGETS
("host"), or MODULE:CLASS for a target kept elsewhere (testkit.board_target:BoardTarget). The class
is built with the pytest config and reads its own options from it; what the plugin asks of it
is the Target protocol below.
"""

import importlib
import os
import select
import signal
import subprocess
import threading
import time
from pathlib import Path
from typing import Protocol

from boards.simulator import die_with_parent
from testkit.casefile import Run


class Target(Protocol):
    """For every case the plugin makes a fresh work directory, then asks the target:"""

    # The name that a case's `skip KIND REASON` line refers to.
    kind: str
    # Whether the simulator sees the tool open and close its port. A pty does; a UART does not:
    # then `connects yes` and the `event` lines are left out of the comparison, and so are the
    # gaps next to an event.
    sees_connects: bool
    # Added to every case's longest wall time and gaps (slow targets).
    allowance_ms: int

    def __init__(self, config) -> None: ...

    def sim_port(self, work: Path) -> list[str]:
        """The simulator's port options (the host: --link ttyMCU, in work); the plugin adds
        --ready and waits for it."""

    def port_ready(self, work: Path) -> bool:
        """Whether that port is up; it must be down again once the simulator has ended."""

    def prepare(self, work: Path, device: str) -> None:
        """For a case without simulator: device "none" (no port at all) or "file" (a regular
        file where the port should be)."""

    def run(self, args: list[str], work: Path, timeout_ms: int, kill_after_ms: int | None) -> Run:
        """Runs the tool with the case's arguments in work: SIGTERM at kill_after_ms (when not
        None), SIGKILL at timeout_ms; fills out, err, status (-N: ended by signal N), wall_ms,
        timed_out, ended_before_kill. tool.err in work holds the standard error."""

    def close(self) -> None:
        """At the end of the session."""


def waited_ms(pid: int) -> int:
    """How long the process's main thread was ready to run but waited for a core (the
    scheduler's run delay; 0 where the kernel does not keep it)."""
    try:
        with open(f"/proc/{pid}/schedstat") as stat:
            return int(stat.read().split()[1]) // 1_000_000
    except (OSError, IndexError, ValueError):
        return 0


def run_process(argv, work, timeout_ms, kill_after_ms):
    """Runs argv in work with standard output on a pipe, standard error to tool.err."""
    run, chunks, start = Run(), [], time.monotonic()
    with open(work / "tool.err", "wb") as err:
        proc = subprocess.Popen(argv, cwd=work, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=err, preexec_fn=die_with_parent)

    def read():
        while chunk := os.read(proc.stdout.fileno(), 65536):
            chunks.append(chunk)

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    pidfd = os.pidfd_open(proc.pid)  # readable when the tool has ended
    pending = sorted((ms, sig) for ms, sig in [(kill_after_ms, signal.SIGTERM),
                                               (timeout_ms, signal.SIGKILL)] if ms is not None)
    while pending and not select.select(
            [pidfd], [], [], max(pending[0][0] / 1000 - (time.monotonic() - start), 0))[0]:
        sig = pending.pop(0)[1]
        proc.send_signal(sig)
        run.timed_out = run.timed_out or sig == signal.SIGKILL
    select.select([pidfd], [], [])  # it has ended, or ends now (SIGKILL)
    run.waited_ms = waited_ms(proc.pid)  # read before the zombie is reaped
    run.status = proc.wait()
    run.wall_ms = int((time.monotonic() - start) * 1000)
    run.ended_before_kill = (kill_after_ms, signal.SIGTERM) in pending
    os.close(pidfd)
    reader.join(2)  # only something else can hold the pipe open now: give it two seconds
    if not reader.is_alive():
        proc.stdout.close()
    run.out, run.err = b"".join(chunks), (work / "tool.err").read_bytes()
    return run


class HostTarget:
    """The tool runs on this machine, natively or under qemu-user (--emulator), against the
    simulator's pseudo-terminal link ttyMCU in the work directory."""

    kind = "host"
    sees_connects = True
    link = "ttyMCU"

    def __init__(self, config):
        tool = config.getoption("tool")
        if not tool:
            raise ValueError("the host target needs --tool PATH (mcu_test_sim)")
        self.command = config.getoption("emulator") + [str(Path(tool).absolute())]
        self.allowance_ms = config.getoption("start_allowance")

    def sim_port(self, work):
        return ["--link", self.link]

    def port_ready(self, work):
        return os.path.lexists(work / self.link)

    def prepare(self, work, device):
        if device == "file":
            (work / self.link).write_bytes(b"")

    def run(self, args, work, timeout_ms, kill_after_ms):
        return run_process(self.command + args, work, timeout_ms, kill_after_ms)

    def close(self):
        pass


TARGETS: dict[str, type[Target]] = {"host": HostTarget}


def load(name: str) -> type[Target]:
    """The target class for --target NAME: a registered name or MODULE:CLASS."""
    if name in TARGETS:
        return TARGETS[name]
    where, _, cls = name.rpartition(":")
    if not where:
        raise ValueError(f"unknown target '{name}' (known: {', '.join(TARGETS)}; or MODULE:CLASS)")
    return getattr(importlib.import_module(where), cls)
