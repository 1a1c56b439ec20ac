"""labgrid as the boards use it, in one place: everything below reaches past labgrid's documented
interface, and works with Debian's python3-labgrid 0.4.1 and with current labgrid.

- The pytest plugin's environment (--lg-env): 0.4.1 keeps it in `config._labgrid_env`, current
  labgrid in `config.stash` under the plugin's `LABGRID_ENV_KEY`.
- Everything that the console driver reads, for the report of a board that fails: labgrid keeps
  only what it has not matched yet, so the driver's `_read` is wrapped, and with it `_write`:
  the bytes counted both ways, and a virtual board's console paced like a real UART (and, when
  asked, losing bytes like a bad one).
- After a power cycle, what the console's expect buffer (`_expect`) still holds of the board
  before: the shell must find the fresh board's prompt, not an old one.
- QEMU's process (`QEMUDriver._child`): its CPU time, and SIGKILL when it does not quit.
- The socket where QEMUDriver waits for QEMU's console (`QEMUDriver._socket`): labgrid waits
  without a bound, forever when QEMU ends at once (a refused option); here QEMU_CONNECT_S.
"""

from __future__ import annotations

import contextlib
import importlib
import math
import random
import subprocess
import time
from dataclasses import dataclass
from typing import Callable

import attr
import pexpect
from labgrid import Environment
from labgrid.driver import ExecutionError, ShellDriver
from labgrid.exceptions import NoDriverFoundError
from labgrid.util.yaml import load as load_yaml

from boards.shell_plan import Lost
from boards import strategy as _registers_board_strategy  # noqa: F401 -- before any file is read

# A command that did not come back in time (console expect, SSH or ShellDriver run).
TIMEOUTS = (pexpect.TIMEOUT, ExecutionError)
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


def file_target_names(path: str) -> list[str]:
    """The target names of an environment file, in its order, templates left unfilled."""
    with open(path) as f:
        data = load_yaml(f) or {}
    return list(data.get("targets") or {})


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
    """The bytes that went over a board's console so far, and those that its line damaged."""
    rx: int = 0  # read from the board's console
    tx: int = 0  # written to it
    rx_dropped: int = 0
    rx_corrupted: int = 0
    tx_dropped: int = 0
    tx_corrupted: int = 0
    # Whether the line damages bytes now (LineDamage): the boards switch it on once the shell is
    # up, since labgrid's login gives up on a damaged prompt.
    damaging: bool = False

    @property
    def damaged(self) -> int:
        return self.rx_dropped + self.rx_corrupted + self.tx_dropped + self.tx_corrupted


@dataclass(frozen=True)
class LineDamage:
    """A console line that loses bytes: the share of the bytes from the board (rx) and to it (tx)
    that are damaged, each one dropped or changed with even odds, by a generator seeded with
    seed (each direction its own), so that a run can be repeated. Option text:
    "rx=0.001,tx=0.001,seed=7"; empty: none."""
    rx: float = 0.0
    tx: float = 0.0
    seed: int = 0

    @classmethod
    def parse(cls, text: str, where: str = "console_damage") -> "LineDamage":
        values: dict = {}
        for item in filter(None, (t.strip() for t in text.split(","))):
            key, _, value = item.partition("=")
            try:
                if key in ("rx", "tx") and key not in values:
                    values[key] = float(value)
                    if not 0.0 <= values[key] <= 1.0:
                        raise ValueError
                elif key == "seed" and key not in values:
                    values[key] = int(value)
                else:
                    raise ValueError
            except ValueError:
                raise ValueError(f"{where}: '{item}' in '{text}' is not rx=SHARE, tx=SHARE "
                                 f"(0 to 1) or seed=N") from None
        return cls(**values)

    def text(self) -> str:
        return f"rx={self.rx!r},tx={self.tx!r},seed={self.seed}" if self else ""

    def __bool__(self) -> bool:
        return self.rx > 0 or self.tx > 0


class _Noise:
    """Damages the bytes of one direction: the gaps between damaged bytes are geometric, so any
    chunking of the same bytes damages the same ones."""

    def __init__(self, share: float, rng: random.Random):
        self.share, self.rng = share, rng
        self.left = self._gap()

    def _gap(self) -> int:
        """Undamaged bytes before the next damaged one."""
        if not 0.0 < self.share < 1.0:
            return 0  # every byte, or none (apply() does nothing then)
        return int(math.log(1.0 - self.rng.random()) / math.log1p(-self.share))

    def apply(self, data: bytes) -> tuple[bytes, int, int]:
        """data as the line delivers it, and how many bytes it dropped and changed."""
        if self.share <= 0.0:
            return data, 0, 0
        out, i, dropped, corrupted = bytearray(), 0, 0, 0
        while self.left < len(data) - i:
            hit = i + self.left
            out += data[i:hit]
            if self.rng.random() < 0.5:
                dropped += 1
            else:
                out.append(data[hit] ^ self.rng.randrange(1, 256))
                corrupted += 1
            i, self.left = hit + 1, self._gap()
        self.left -= len(data) - i
        out += data[i:]
        return bytes(out), dropped, corrupted


# How long a console that takes nothing may hold a write before the board counts as gone.
WRITE_STALL_S = 30.0


def _write_all(write: Callable[[bytes], int | None], data: bytes,
               sleep: Callable[[float], None]) -> None:
    """write() until all of data is written: a socket may take part of it, or nothing for a
    while (QEMU's socket to a board whose UART is full; a paced line's one-byte writes fill its
    buffer quickly), as a UART makes the writer wait."""
    stalled = 0.0
    while data:
        try:
            n = write(data)
        except BlockingIOError:
            if stalled >= WRITE_STALL_S:
                raise
            sleep(0.002)
            stalled += 0.002
            continue
        stalled = 0.0
        data = data[len(data) if n is None else n:]


class _Line:
    """One direction of a UART at bps bit/s, 10 bits a byte (8N1): when it is free again. The
    clock and the sleep are the system's unless a test gives its own."""

    def __init__(self, bps: int, clock: Callable[[], float], sleep: Callable[[float], None]):
        self.bps = bps
        self.seconds_per_byte = 10 / bps
        self.free = 0.0
        self.clock, self.sleep = clock, sleep

    def carry(self, n: int) -> None:
        """Returns when n more bytes would have gone over the line."""
        now = self.clock()
        self.free = max(self.free, now) + n * self.seconds_per_byte
        if self.free > now:
            self.sleep(self.free - now)

    def _offset(self, k: int) -> float:
        """When byte k of a transmission is due, from its start: whole nanoseconds, rounded
        up, counted from the start (no drift)."""
        return -(-k * 10 * 1_000_000_000 // self.bps) / 1e9

    def send(self, data: bytes, write: Callable[[bytes], int | None]) -> None:
        """Puts data on the line as a UART does: byte k at the transmission's start (when the
        line is free, not before now) + k byte times, each write() with the bytes due by then;
        returns when the last one has gone over the line."""
        start = now = max(self.free, self.clock())
        self._until(start)
        sent = 0
        while sent < len(data):
            elapsed_ns = round((now - start) * 1e9)
            due = max(sent + 1, min(len(data), elapsed_ns * self.bps // 10_000_000_000 + 1))
            _write_all(write, data[sent:due], self.sleep)
            sent = due
            if sent < len(data):
                now = self._until(start + self._offset(sent))
        self.free = start + self._offset(len(data))
        self._until(self.free)

    def _until(self, moment: float) -> float:
        """Sleeps until moment; returns the time then, never before moment."""
        now = self.clock()
        if moment > now:
            self.sleep(moment - now)
        return max(self.clock(), moment)


def watch_console(target, log: bytearray, pace_bps: int = 0,
                  clock: Callable[[], float] = time.monotonic,
                  sleep: Callable[[float], None] = time.sleep,
                  damage: LineDamage = LineDamage()) -> ConsoleMeter:
    """Appends everything that the target's console driver reads to log and counts the bytes
    both ways. With pace_bps, each direction is paced like a UART at that rate: a read is
    delivered when the line would have carried its bytes, and the bytes of a write reach the
    board one byte time apart. With damage, while the meter's `damaging` is on, the line drops
    and changes bytes each way (counted in the meter; the log holds what was read)."""
    meter = ConsoleMeter()
    if not has_driver(target, "ConsoleProtocol"):
        return meter  # e.g. SSH: nothing to watch
    console = target.get_driver("ConsoleProtocol", activate=False)
    read, write = console._read, console._write
    rx, tx = ((_Line(pace_bps, clock, sleep), _Line(pace_bps, clock, sleep)) if pace_bps > 0
              else (None, None))
    rx_noise = _Noise(damage.rx, random.Random(f"{damage.seed}:rx"))
    tx_noise = _Noise(damage.tx, random.Random(f"{damage.seed}:tx"))
    damaging = lambda: meter.damaging and bool(damage)  # noqa: E731

    def watched_read(*args, **kwargs):
        data = read(*args, **kwargs)
        meter.rx += len(data)
        if rx:
            rx.carry(len(data))
        if damaging():
            data, dropped, corrupted = rx_noise.apply(data)
            meter.rx_dropped += dropped
            meter.rx_corrupted += corrupted
        log.extend(data)
        return data

    def watched_write(data, *args, **kwargs):
        delivered = bytes(data)
        if damaging():
            delivered, dropped, corrupted = tx_noise.apply(delivered)
            meter.tx_dropped += dropped
            meter.tx_corrupted += corrupted
        meter.tx += len(data)
        if tx:
            tx.send(delivered, lambda chunk: write(chunk, *args, **kwargs))
        else:
            _write_all(lambda chunk: write(chunk, *args, **kwargs), delivered, sleep)
        return len(data)  # dropped bytes went over the line, as far as the caller can tell

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


def boot_bound_s(target) -> float:
    """How long a power-on may take to reach the shell: each login try within the
    ShellDriver's login_timeout, and QEMU's start or a power switch's answer beside."""
    from boards.strategy import SHELL_TRIES

    login_s = 60.0  # the ShellDriver's own default
    if has_driver(target, "ShellDriver"):
        login_s = float(target.get_driver("ShellDriver", activate=False).login_timeout)
    return SHELL_TRIES * login_s + QEMU_CONNECT_S


def console_damage(target) -> LineDamage:
    """The damage of the target's console line (the target's option console_damage, as
    LineDamage.parse reads it): none unless set."""
    env = getattr(target, "env", None)
    if env is None:
        return LineDamage()
    value = env.config.get_target_option(target.name, "console_damage", "")
    return LineDamage.parse(value, f"{env.config_file}: target {target.name}: option "
                                   f"console_damage")


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


def presence(target) -> bool | None:
    """Whether the fixture says a board is in its place: the target's digital input named
    "presence" (any DigitalOutputProtocol driver: labgrid reads inputs through get()); None
    when the target has none."""
    if not has_presence(target):
        return None
    return bool(target.get_driver("DigitalOutputProtocol", name="presence").get())


def has_presence(target) -> bool:
    try:
        target.get_driver("DigitalOutputProtocol", name="presence", activate=False)
        return True
    except NoDriverFoundError:
        return False


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


# A resource's fields that say how it is used, not which thing it is.
_SETTINGS = {"target", "name", "state", "avail", "speed", "timeout", "extra"}


def resource_identities(env: Environment, name: str) -> list[str]:
    """Which things the target's resources are, on this host or its network: the class and
    the address of each ("RawSerialPort port=/dev/ttyUSB0"). Two targets that share one drive
    the same console or power switch."""
    found = []
    for r in env.get_target(name).resources:
        fields = [f.name for f in attr.fields(type(r)) if f.name not in _SETTINGS]
        found.append(" ".join([type(r).__name__, *(f"{f}={getattr(r, f)}" for f in fields)]))
    return found



class ConsoleIO:
    """A console driver as boards.shell_plan reads it: whatever has come (b"" after timeout),
    and writes. The console gone (EOF, an OS error) is shell_plan.Lost."""

    def __init__(self, console):
        self.console = console

    def read(self, timeout: float) -> bytes:
        try:
            return self.console.read(size=1, timeout=timeout)
        except TIMEOUTS:
            return b""
        except (pexpect.EOF, OSError) as e:
            raise Lost(f"the console is gone ({type(e).__name__})") from None

    def write(self, data: bytes) -> None:
        try:
            self.console.write(data)
        except (pexpect.EOF, OSError) as e:
            raise Lost(f"the console is gone ({type(e).__name__})") from None
