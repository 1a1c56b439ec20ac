"""labgrid as the boards use it, in one place: everything below reaches past labgrid's documented
interface, and works with Debian's python3-labgrid 0.4.1 and with current labgrid.

- The pytest plugin's environment (--lg-env): 0.4.1 keeps it in `config._labgrid_env`, current
  labgrid in `config.stash` under the plugin's `LABGRID_ENV_KEY`.
- Everything that the console driver reads, for the report of a board that fails: labgrid keeps
  only what it has not matched yet, so the driver's `_read` is wrapped, and with it `_write`:
  the bytes counted both ways, and a virtual board's console paced like a real UART.
- After a power cycle, what the console's expect buffer (`_expect`) still holds of the board
  before: the shell must find the fresh board's prompt, not an old one.
- QEMU's process (`QEMUDriver._child`): its CPU time, and SIGKILL when it does not quit.
- The socket where QEMUDriver waits for QEMU's console (`QEMUDriver._socket`): labgrid waits
  without a bound, forever when QEMU ends at once (a refused option); here QEMU_CONNECT_S.
"""

from __future__ import annotations

import contextlib
import importlib
import subprocess
import time
from dataclasses import dataclass
from typing import Callable

import pexpect
from labgrid import Environment
from labgrid.driver import ExecutionError, ShellDriver
from labgrid.exceptions import NoDriverFoundError
from labgrid.util.yaml import load as load_yaml

from boards import strategy as _registers_board_strategy  # noqa: F401 -- before any file is read

# A command that did not come back in time (console expect, SSH or ShellDriver run).
TIMEOUTS = (pexpect.TIMEOUT, ExecutionError)
# A console that no longer answers: silent, or gone (QEMU ended, the serial port went away).
LOST = TIMEOUTS + (pexpect.EOF, OSError)
_PLUGIN_MODULES = ("labgrid.pytestplugin.hooks", "labgrid.pytestplugin")
# How long QEMU may take to connect its console to labgrid.
QEMU_CONNECT_S = 30.0


def _env_key():
    for name in _PLUGIN_MODULES:
        with contextlib.suppress(ImportError):
            key = getattr(importlib.import_module(name), "LABGRID_ENV_KEY", None)
            if key is not None:
                return key
    return None


def environment(config) -> Environment | None:
    """The labgrid environment of the pytest run (None without --lg-env)."""
    key = _env_key()
    if key is not None:
        return config.stash.get(key, None)
    return getattr(config, "_labgrid_env", None)


def open_environment(path: str) -> Environment:
    return Environment(config_file=str(path))


def driver_names(path: str) -> list[str]:
    """The driver names of target `main` in an environment file, templates left unfilled."""
    with open(path) as f:
        data = load_yaml(f) or {}
    drivers = ((data.get("targets") or {}).get("main") or {}).get("drivers") or {}
    return list(drivers) if isinstance(drivers, dict) else [k for d in drivers for k in d]


def has_driver(target, name: str) -> bool:
    try:
        target.get_driver(name, activate=False)
        return True
    except NoDriverFoundError:
        return False


def strategy(target):
    """The target's Strategy (boards.strategy's BoardStrategy, or labgrid's own), which brings
    the board up (`shell`) and down (`off`)."""
    if not has_driver(target, "Strategy"):
        where = getattr(getattr(target, "env", None), "config_file", "the environment")
        name = getattr(target, "name", "?")
        raise NoDriverFoundError(
            f"{where}: target {name} has no Strategy; add `BoardStrategy: {{}}` to its drivers "
            "and `imports: [boards.strategy]` to the file")
    return target.get_driver("Strategy")


def power_on(target) -> None:
    """Brings the board up to its shell."""
    _bound_qemu_connect(target)
    strategy(target).transition("shell")


@dataclass
class ConsoleMeter:
    """The bytes that went over a board's console so far."""
    rx: int = 0  # read from the board's console
    tx: int = 0  # written to it


class _Line:
    """One direction of a UART at bps bit/s, 10 bits a byte (8N1): when it is free again. The
    clock and the sleep are the system's unless a test gives its own."""

    def __init__(self, bps: int, clock: Callable[[], float], sleep: Callable[[float], None]):
        self.seconds_per_byte = 10 / bps
        self.free = 0.0
        self.clock, self.sleep = clock, sleep

    def carry(self, n: int) -> None:
        """Returns when n more bytes would have gone over the line."""
        now = self.clock()
        self.free = max(self.free, now) + n * self.seconds_per_byte
        if self.free > now:
            self.sleep(self.free - now)


def watch_console(target, log: bytearray, pace_bps: int = 0,
                  clock: Callable[[], float] = time.monotonic,
                  sleep: Callable[[float], None] = time.sleep) -> ConsoleMeter:
    """Appends everything that the target's console driver reads to log and counts the bytes
    both ways. With pace_bps, a read is delivered and a write returns only when a UART at that
    rate would have carried the bytes: a virtual board's console is as slow as a real one's."""
    meter = ConsoleMeter()
    if not has_driver(target, "ConsoleProtocol"):
        return meter  # e.g. SSH: nothing to watch
    console = target.get_driver("ConsoleProtocol", activate=False)
    read, write = console._read, console._write
    rx, tx = ((_Line(pace_bps, clock, sleep), _Line(pace_bps, clock, sleep)) if pace_bps > 0
              else (None, None))

    def watched_read(*args, **kwargs):
        data = read(*args, **kwargs)
        log.extend(data)
        meter.rx += len(data)
        if rx:
            rx.carry(len(data))
        return data

    def watched_write(data, *args, **kwargs):
        sent = write(data, *args, **kwargs)
        n = len(data) if sent is None else sent
        meter.tx += n
        if tx:
            tx.carry(n)
        return sent

    console._read, console._write = watched_read, watched_write
    return meter


def env_option(target, name: str, default: str) -> str:
    """An option of the target's environment file (`options:`), else default."""
    env = getattr(target, "env", None)
    return env.config.get_option(name, default) if env is not None else default


def console_bps(target) -> int:
    """The rate to pace the console at (option console_bps): 0, full speed, unless set; a real
    board's console is paced by its UART."""
    value = env_option(target, "console_bps", "0")
    try:
        bps = int(value)
    except ValueError:
        bps = -1
    if bps < 0:
        where = getattr(getattr(target, "env", None), "config_file", "the environment")
        raise ValueError(f"{where}: option console_bps: '{value}' is not a rate in bit/s "
                         f"(0: full speed)")
    return bps


def _bound_qemu_connect(target) -> None:
    if has_driver(target, "QEMUDriver"):
        listening = getattr(target.get_driver("QEMUDriver"), "_socket", None)
        if listening is not None:
            listening.settimeout(QEMU_CONNECT_S)


def power_off(target) -> None:
    """Switches the board off (QEMU quits), its shell left first; what the console still holds
    of the board is dropped: the next board's shell must be found by its own prompt, not by the
    last one of this board."""
    strategy(target).transition("off")
    if has_driver(target, "ConsoleProtocol"):
        expect = getattr(target.get_driver("ConsoleProtocol", activate=False), "_expect", None)
        if expect is not None:
            expect.buffer = b""


def is_console_shell(shell) -> bool:
    """Whether the shell is typed on a console (ShellDriver, or anything with a console to
    expect on and a prompt) rather than run over SSH."""
    return isinstance(shell, ShellDriver) or (hasattr(shell, "console")
                                              and hasattr(shell, "prompt"))


def qemu_process(target) -> subprocess.Popen | None:
    """QEMU's process of a running virtual board, else None."""
    try:
        qemu = target.get_active_driver("QEMUDriver")
    except NoDriverFoundError:
        return None
    return getattr(qemu, "_child", None)


def shut_down(target) -> None:
    """Deactivates the drivers (QEMU's quit), then kills a QEMU that did not end."""
    child = qemu_process(target)
    with contextlib.suppress(Exception):
        target.cleanup()
    if child is not None and child.poll() is None:
        child.kill()
        child.wait()


def target_names(env: Environment) -> list[str]:
    """The targets of an environment, in the file's order: the slots of a line."""
    return list(env.config.get_targets())

