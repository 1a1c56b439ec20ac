"""The boards: virtual MIPS boards under qemu-system-mips(el) -M malta, and real ones, reached
through labgrid.

Everything that reaches a board is here:

- the QEMU command of each virtual board: `qemu_command` (the console on a terminal, for a
  person) and `labgrid_environ` (the values of the one labgrid environment template,
  labgrid/virtual.yaml, whose links mipsel.yaml and mips.yaml name the boards);
- `Board`: a labgrid target booted to its shell, which runs a command there and brings back its
  exact output bytes, exit status and wall time on the board's clock (the run report below);
- the board command's simulator: boards/simulator.py's SimKeeper on the MCU socket.

labgrid's internals are used only through labgrid_adapter.py.

Wiring of a virtual board (the kernel's 8250 driver numbers the Malta UARTs in this order):

    ttyS0  first  -serial   the console of a person (stdio); "null" under labgrid
    ttyS1  second -serial   the MCU: a chardev socket server, /dev/ttyS4 on the board (4:65)
    ttyS2  third  -serial   the console under labgrid (QEMUDriver adds its -serial last)

QEMU serves the MCU's socket ("server=on,wait=off"): a fresh `mcu_sim --socket PATH` can connect
for each case while the board keeps running; bytes sent while none is connected are dropped.

The run report: the command runs in /tmp with its standard output and error in files there;
then the shell prints one line `mcu-run rc=RC t0=NS t1=NS term=0|1` and each file gzip'ed in
Base64 (busybox), each closed by a line `mcu-run-end`. gzip's CRC-32 and length check the bytes
that come back. t0 and t1 are the board's monotonic clock around the run (/proc/timer_list, read
by the shell itself: no program started), free of the console's delays.

Command line (python3 -m boards.board):

    qemu-command BOARD --socket PATH [--console mon:stdio] [--artifacts DIR]
    environ BOARD --socket PATH      the LG_* values of labgrid/virtual.yaml (export)
    console BOARD [-- MCU_SIM_OPTION...]   the board on this terminal, mcu_sim on its MCU
    run BOARD [--sim ARG]... -- COMMAND...   boot, run one shell command, print output
    compare BOARD [--tool P] ARGS...   mcu_test ARGS on the board and on the host
    boot-time BOARD [-n 5]             boot-to-shell seconds of n boots and their median

Each takes --hostile OPTIONS: the board as awkward as a real one (hostile.py; LG_HOSTILE).
"""

from __future__ import annotations

import argparse
import base64
import binascii
import contextlib
import gzip
import json
import os
import re
import secrets
import shlex
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import zlib
from dataclasses import dataclass
from pathlib import Path
from typing import Iterator, Sequence

from boards import hostile
from boards import labgrid_adapter as lg
from boards.hostile import Hostile
from boards.simulator import SimKeeper, SimProcess, SimulatorError, Slot, sim_process

HERE = Path(__file__).resolve().parent
SOURCE = HERE.parent
BOARDS = ("mipsel", "mips", "mipsel-nolibc", "mips-nolibc")
TEMPLATE = HERE / "labgrid" / "virtual.yaml"
DEFAULT_SIM = SOURCE / "build" / "default" / "sim" / "mcu_sim"
# Scratch files of a command's output on the board, named after the shell's pid.
SCRATCH = "/tmp/mcu-run.$$"
# What a step's line may take beyond the step's bound: its output over a slow console.
STEP_SLACK_S = 10.0
VT100 = re.compile(r"(\x1b\[|\x9b)[^@-_a-z]*[@-_a-z]|\x1b[@-_a-z]")  # as ShellDriver removes them


class BoardError(Exception):
    """The board does not answer: it did not boot, its shell was lost, or what came back over its
    console is not whole. The message holds the console log when there is one."""



class _Timeout(BoardError):
    """A command did not come back in time; it was interrupted and the shell answers again."""


# -- virtual boards: artifacts and QEMU ------------------------------------------------------

@dataclass(frozen=True)
class BoardInfo:
    """A built virtual board: boards/build.sh's board.json and the directory that holds it."""
    board: str
    arch: str
    libc: str
    qemu: str
    machine: str
    cpu: str
    memory: str
    kernel: str
    initrd: str
    dir: str

    @classmethod
    def load(cls, directory: str) -> "BoardInfo":
        path = os.path.join(directory, "board.json")
        try:
            with open(path) as f:
                return cls(dir=directory, **json.load(f))
        except (OSError, ValueError, TypeError) as e:
            raise BoardError(f"{path}: not a board description ({e})") from None


def artifacts(board: str) -> BoardInfo:
    """Builds the board with boards/build.sh (or takes it from the cache)."""
    built = subprocess.run([str(HERE / "build.sh"), board], stdout=subprocess.PIPE, text=True)
    if built.returncode != 0:
        raise BoardError(f"boards/build.sh {board} failed ({built.returncode})")
    return BoardInfo.load(built.stdout.strip().splitlines()[-1])


def qemu_args(info: BoardInfo, socket: str, first_serial: str) -> list[str]:
    """No network card or VGA (their ROMs are not installed), the initramfs, the first UART on
    the character device first_serial, the MCU's UART (the second) served on socket."""
    return ["-nic", "none", "-vga", "none", "-initrd", info.initrd, "-serial", first_serial,
            "-chardev", f"socket,id=mcu,path={socket},server=on,wait=off",
            "-serial", "chardev:mcu"]


def qemu_command(info: BoardInfo, socket: str, console: str = "mon:stdio",
                 options: Hostile | None = None) -> list[str]:
    """The whole QEMU command with the console (ttyS0) on the character device `console`; the
    board's options (hostile.py; default: LG_HOSTILE's) on its kernel command line."""
    options = hostile.from_environ() if options is None else options
    if options.damage:
        raise BoardError("lossy: only a console that labgrid reaches damages bytes "
                         "(board.py environ, run)")
    return ([info.qemu, "-M", info.machine, "-cpu", info.cpu, "-m", info.memory, "-nographic",
             "-monitor", "none"] + qemu_args(info, socket, console) +
            ["-kernel", info.kernel, "-append", " ".join(["console=ttyS0",
                                                          *options.kernel_args()])])


def labgrid_environ(info: BoardInfo, socket: str,
                    options: Hostile | None = None) -> dict[str, str]:
    """The values of labgrid/virtual.yaml's templates. QEMUDriver puts its own console -serial
    after extra_args (so the console is ttyS2) and has no initrd attribute (so it is in
    extra_args); its QEMU is this directory's wrapper, which ends QEMU with its caller. The
    board's options (hostile.py; default: LG_HOSTILE's) go to its kernel command line, its
    shell's login and its console line."""
    options = hostile.from_environ() if options is None else options
    return {"LG_BOARD": info.board, "LG_BOARD_DIR": info.dir, "LG_MCU_SOCKET": socket,
            "LG_QEMU": str(HERE / "labgrid" / info.qemu), "LG_QEMU_MACHINE": info.machine,
            "LG_QEMU_CPU": info.cpu, "LG_QEMU_MEMORY": info.memory,
            "LG_QEMU_KERNEL": info.kernel,
            "LG_QEMU_EXTRA_ARGS": shlex.join(qemu_args(info, socket, "null")),
            "LG_CONSOLE_BPS": os.environ.get("LG_CONSOLE_BPS", "0"),
            **options.environ(info.board)}


def virtual_environ(name: str, socket: str) -> dict[str, str]:
    """labgrid_environ of a virtual board: the one in LG_BOARD_DIR when set, else
    boards/build.sh's (MCU_BOARD_BUILD_DIR: the cross build whose board package it carries)."""
    directory = os.environ.get("LG_BOARD_DIR")
    return labgrid_environ(BoardInfo.load(directory) if directory else artifacts(name), socket)


def virtual_board_name(env_file: str) -> str | None:
    """The virtual board that an environment file describes: a link to the template names its
    board (mipsel.yaml), LG_BOARD overrides; None for a real board (no QEMUDriver)."""
    if "QEMUDriver" not in lg.driver_names(env_file):
        return None
    name = os.environ.get("LG_BOARD") or Path(env_file).stem
    if name not in BOARDS:
        raise BoardError(f"{env_file}: a virtual board's environment is named after its board "
                         f"({', '.join(BOARDS)}) or LG_BOARD names it; not '{name}'")
    return name


# -- the run report --------------------------------------------------------------------------

@dataclass(frozen=True)
class Run:
    """One command's run on the board."""
    out: bytes
    err: bytes  # empty when standard error went with the output (merged)
    status: int  # exit status, or -N when ended by signal N
    wall_ms: int  # on the board's clock, from before the start to after the end
    killed: bool  # the bound (timeout_ms) ended it
    term_sent: bool  # SIGTERM was sent at kill_after_ms (it was still running)


def _now(var: str) -> str:
    """Shell code that sets var to the board's monotonic clock in nanoseconds: the third line of
    /proc/timer_list is "now at N nsecs"."""
    return f"{{ read x; read x; read x x {var} x; }} </proc/timer_list"


def run_command(argv: Sequence[str], timeout_ms: int | None = None,
                kill_after_ms: int | None = None, merged: bool = False) -> str:
    """The board's shell command that runs argv in /tmp and reports on it (report()). With
    timeout_ms, busybox `timeout` kills it with SIGKILL after that time (in whole seconds,
    rounded up: a bound for a hung program, not a measure). With kill_after_ms it runs in the
    background of a subshell (no job control messages) and gets SIGTERM at that moment if it is
    still running (not a zombie)."""
    words = shlex.join(argv)
    if timeout_ms is not None:
        words = f"timeout -s KILL {max(1, -(-timeout_ms // 1000))} {words}"
    err = "&1" if merged else f"{SCRATCH}.err"
    run = f"{words} </dev/null >{SCRATCH}.out 2>{err}"
    if kill_after_ms is None:
        body = f"{_now('t0')}; {run}; rc=$?; {_now('t1')}; term=0"
    else:
        body = (f"eval $({_now('t0')}; {run} & p=$!; sleep {kill_after_ms / 1000:.3f}; term=0; "
                f"{{ read x; read x; read x s x; }} </proc/$p/status; "
                f"case $s in R|S|D) kill -TERM $p && term=1;; esac; wait $p; rc=$?; "
                f"{_now('t1')}; echo t0=$t0 t1=$t1 rc=$rc term=$term)")
    return f"cd /tmp; {body}; {report()}"


def report(rc="$rc", t0="$t0", t1="$t1", term="$term") -> str:
    """Shell code that prints the run report of the scratch files, and removes them."""
    return (f'echo "mcu-run rc={rc} t0={t0} t1={t1} term={term}"; '
            f"for f in out err; do [ ! -s {SCRATCH}.$f ] || gzip -c {SCRATCH}.$f | base64; "
            f"echo mcu-run-end; done; rm -f {SCRATCH}.out {SCRATCH}.err")


_REPORT = re.compile(r"mcu-run rc=(\d+) t0=(\d+) t1=(\d+) term=([01])$")


def parse_report(lines: Sequence[str], timeout_ms: int | None) -> Run:
    """The Run of the lines that run_command's command printed."""
    head = next((n for n, line in enumerate(lines) if _REPORT.search(line)), None)
    if head is None:
        raise BoardError("the board's shell gave no run report:\n" + "\n".join(lines))
    rc, t0, t1, term = (int(g) for g in _REPORT.search(lines[head]).groups())
    blocks, block = [], []
    for line in lines[head + 1:]:
        if line.strip() != "mcu-run-end":
            block.append(line.strip())
            continue
        try:
            blocks.append(gzip.decompress(base64.b64decode("".join(block), validate=True))
                          if block else b"")
        except (binascii.Error, OSError, EOFError, zlib.error) as e:
            raise BoardError(f"the output came back damaged ({e}):\n" + "\n".join(lines)) from None
        block = []
    if len(blocks) != 2 or block:
        raise BoardError("the output did not come back whole:\n" + "\n".join(lines))
    wall_ms = (t1 - t0) // 1_000_000
    # The shell reports a program ended by signal N as 128 + N; the tool's own statuses are small.
    status = -(rc - 128) if rc > 128 else rc
    killed = (timeout_ms is not None and status == -signal.SIGKILL
              and wall_ms >= timeout_ms - 1000)
    return Run(blocks[0], blocks[1], status, wall_ms, killed, bool(term))


# -- many commands in one round trip ---------------------------------------------------------

# One line per command as it ends: status, the board's clock around it, and its output gzip'ed
# in Base64 on that line (the typed script's echo holds `$rc`, never digits, so cannot match).
_STEP = re.compile(rb"mcu-step rc=(\d+) t0=(\d+) t1=(\d+) ([A-Za-z0-9+/=]*)\r?\n")
_STEPS_END = "mcu-steps-end"


def steps_script(commands: Sequence[Sequence[str]], timeouts_ms: Sequence[int]) -> str:
    """One shell line that runs the commands in turn in /tmp, each bounded by busybox `timeout`
    (SIGKILL after its bound in whole seconds, rounded up), standard error merged, and prints a
    step line after each (parse_step). A command's output is encoded in the background while
    the next one runs (one encoder at a time, so the lines keep their order): the programs that
    encode it cost the board more than the console does. All in a subshell: no job control
    messages. The shell function keeps the typed line short: a console carries every byte
    twice, typed and echoed."""
    out = f"{SCRATCH}.$n"
    body = (f"s(){{ n=$((n+1)); {_now('t0')}; timeout -s KILL \"$@\" </dev/null >{out} 2>&1; "
            f"rc=$?; {_now('t1')}; wait; {{ echo \"mcu-step rc=$rc t0=$t0 t1=$t1 "
            f"$(gzip -c {out} | base64 -w 0)\"; rm -f {out}; }} & }}")
    calls = "; ".join(f"s {max(1, -(-t // 1000))} {shlex.join(argv)}"
                      for argv, t in zip(commands, timeouts_ms, strict=True))
    end = f"{_STEPS_END[:4]}'{_STEPS_END[4:]}'"  # its echo must not read as the end
    return f"cd /tmp; ({body}; {calls}; wait); echo {end}"


def parse_step(match: re.Match, timeout_ms: int) -> Run:
    """The Run of one step line; BoardError when its output came back damaged."""
    rc, t0, t1 = (int(g) for g in match.groups()[:3])
    try:
        out = gzip.decompress(base64.b64decode(match.group(4), validate=True))
    except (binascii.Error, OSError, EOFError, zlib.error) as e:
        raise BoardError(f"the output came back damaged ({e}): {match.group(0)!r}") from None
    wall_ms = (t1 - t0) // 1_000_000
    status = -(rc - 128) if rc > 128 else rc
    killed = status == -signal.SIGKILL and wall_ms >= timeout_ms - 1000
    return Run(out, b"", status, wall_ms, killed, False)


# -- a board through labgrid -----------------------------------------------------------------

class Board:
    """The labgrid target `main` of an environment, booted to its shell on first use. `shell`
    gives one whose shell is already up (an object with labgrid's CommandProtocol.run)."""

    def __init__(self, target=None, name: str | None = None, sim: str | None = None,
                 socket: str | None = None, shell=None):
        self.target, self.shell = target, shell
        self._lg = lg
        self.virtual = target is not None and lg.has_driver(target, "QEMUDriver")
        env = getattr(target, "env", None)
        self.name = name or (env.config.get_option("mcu_board", "board") if env else "board")
        self.socket = socket or (os.environ.get("LG_MCU_SOCKET") if self.virtual else None)
        self.sim_program = str(Path(sim or DEFAULT_SIM).absolute())
        self.console_log = bytearray()
        self.console = lg.ConsoleMeter()  # bytes over the console both ways (start() counts)
        self.boot_seconds: float | None = None
        self.boot_cpu_seconds: float | None = None
        self.overheads_ms: list[float] = []  # per run: its round trip beyond its own wall time
        self._failure: str | None = None
        self._watched = False

    # -- lifetime ---------------------------------------------------------------------------
    def start(self) -> "Board":
        """Boots the board and waits for its shell, once. A board that does not reach its shell
        (within the ShellDriver's login_timeout) raises BoardError with the console log, now
        and at every later call."""
        if self._failure:
            raise BoardError(self._failure)
        if self.shell:
            return self
        started = time.monotonic()
        try:
            if not self._watched:  # once: the console driver outlives a power cycle
                self.console = self._lg.watch_console(
                    self.target, self.console_log, self._lg.console_bps(self.target),
                    damage=self._lg.console_damage(self.target))
                self._watched = True
            self.console.damaging = False  # labgrid's login gives up on a damaged prompt
            self._lg.power_on(self.target)
            self.shell = self.target.get_driver("CommandProtocol")
            self.console.damaging = True
        except Exception as e:  # labgrid raises pexpect's TIMEOUT, ExecutionError, OSError...
            self._failure = (f"board {self.name}: no shell after {time.monotonic() - started:.1f}"
                             f" s ({type(e).__name__}: {e}); console log:\n{self.log()}")
            self.close()
            raise BoardError(self._failure) from None
        self.boot_seconds = time.monotonic() - started
        qemu = self._lg.qemu_process(self.target)
        if qemu is not None:
            self.boot_cpu_seconds = cpu_seconds(qemu.pid)
        return self

    def next_board(self) -> None:
        """Makes room for the next board in this place: the shell left, the power off (a
        virtual board's QEMU quits). start() powers the next one on and waits for its shell."""
        self._failure = None
        if self.shell is not None or self._watched:
            self._lg.power_off(self.target)
        self.shell = None

    def close(self) -> None:
        """Powers a virtual board off and deactivates the drivers."""
        if self.target is not None:
            self._lg.shut_down(self.target)
            self.shell = None

    def __enter__(self) -> "Board":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.close()

    def log(self) -> str:
        return self.console_log.decode(errors="replace")

    # -- commands ---------------------------------------------------------------------------
    def _round_trip(self, command: str, timeout: float) -> list[str]:
        """The lines that command prints. On a console: one round trip, the command framed by
        a marker that its echo cannot match, typed at the prompt."""
        if not self._lg.is_console_shell(self.shell):
            out, _, _ = self.shell.run(command, timeout=timeout)
            return out
        marker = secrets.token_hex(6)
        typed = f"'{marker[:6]}''{marker[6:]}'"
        console, prompt = self.shell.console, self.shell.prompt
        console.sendline(f"echo {typed}; {command}; echo {typed}")
        _, _, match, _ = console.expect(rf"{marker}(.*){marker}\s+{prompt}", timeout=timeout)
        text = VT100.sub("", match.group(1).decode("utf-8", "replace"))
        return text.split("\r\n")[1:-1]

    def _lines(self, command: str, timeout: float) -> list[str]:
        """_round_trip bounded: a command that does not come back in time is interrupted
        (Ctrl-C) and raises _Timeout; when the shell does not answer after that, the board
        counts as lost (BoardError, now and later)."""
        self.start()
        try:
            return self._round_trip(command, timeout)
        except self._lg.TIMEOUTS as e:
            if self._interrupt():
                raise _Timeout(f"board {self.name}: '{command}' did not come back within "
                               f"{timeout:.0f} s") from None
            self._failure = (f"board {self.name}: the shell was lost during '{command}' "
                             f"({type(e).__name__}); console log:\n{self.log()}")
            raise BoardError(self._failure) from None

    def _interrupt(self) -> bool:
        """Ctrl-C on the console; whether the shell answers again."""
        try:
            self.shell.console.write(b"\x03")  # labgrid's sendcontrol needs a pty
            self._round_trip("true", 10)
            return True
        except Exception:  # no console (SSH), or no answer: the board is lost
            return False

    def run(self, argv: Sequence[str], timeout_ms: int = 30000, kill_after_ms: int | None = None,
            merged: bool = False) -> Run:
        """Runs argv on the board: its exact bytes, status and wall time. At timeout_ms it is
        killed: on a console from here (Ctrl-C), elsewhere by busybox `timeout` on the board.
        merged: standard error goes with the output, in the order written."""
        if self._failure:
            raise BoardError(self._failure)
        started = time.monotonic()
        self.start()
        on_console = self._lg.is_console_shell(self.shell) and kill_after_ms is None
        command = run_command(argv, None if on_console else timeout_ms, kill_after_ms, merged)
        try:
            lines = self._lines(command, timeout_ms / 1000 + (1 if on_console else 30))
        except _Timeout:
            lines = self._lines(report(rc=128 + signal.SIGKILL, t0=0, t1=timeout_ms * 1_000_000,
                                       term=0), 30)
        run = parse_report(lines, timeout_ms)
        if not run.killed:
            self.overheads_ms.append((time.monotonic() - started) * 1000 - run.wall_ms)
        return run

    def run_steps(self, commands: Sequence[Sequence[str]],
                  timeouts_ms: Sequence[int]) -> Iterator[Run | BoardError]:
        """Runs the commands one after another on the board in one round trip (steps_script),
        standard error merged, and yields each one's Run as soon as it ends (or a BoardError
        when its output came back damaged; the next ones still come). A command that outlives
        its bound is killed on the board and the next one starts. A board that stops answering
        raises BoardError, now and at every later call. Over SSH, one run() per command."""
        if self._failure:
            raise BoardError(self._failure)
        self.start()
        if not self._lg.is_console_shell(self.shell):
            for argv, timeout_ms in zip(commands, timeouts_ms, strict=True):
                yield self.run(argv, timeout_ms, merged=True)
            return
        console, prompt = self.shell.console, self.shell.prompt
        console.sendline(steps_script(commands, timeouts_ms))
        done = False
        try:
            for n, timeout_ms in enumerate(timeouts_ms, 1):
                # The board kills the command at its bound; then its line needs the console.
                match = self._expect_or_lose(_STEP, timeout_ms / 1000 + STEP_SLACK_S,
                                             f"step {n} of {len(timeouts_ms)}")
                try:
                    yield parse_step(match, timeout_ms)
                except BoardError as e:
                    yield e
            self._expect_or_lose(rf"{_STEPS_END}\s+{prompt}".encode(), STEP_SLACK_S,
                                 "the end of the steps")
            done = True
        finally:
            if not done and not self._failure and not self._interrupt():  # stopped early
                self._failure = f"board {self.name}: the shell did not answer after Ctrl-C"

    def _expect_or_lose(self, pattern, timeout: float, what: str) -> re.Match:
        try:
            _, _, match, _ = self.shell.console.expect(pattern, timeout=timeout)
            return match
        except self._lg.LOST as e:
            self._failure = (f"board {self.name}: lost, no answer for {timeout:.0f} s waiting "
                             f"for {what} ({type(e).__name__}); console log:\n{self.log()}")
            raise BoardError(self._failure) from None

    def sh(self, command: str, timeout_ms: int = 30000) -> tuple[str, int]:
        """A shell command's text (standard output and error) and exit status."""
        run = self.run(["sh", "-c", command], timeout_ms, merged=True)
        return run.out.decode(errors="replace"), run.status

    def summary(self) -> str:
        """A line about the session: boot-to-shell time, runs and their overhead."""
        if self.boot_seconds is None:
            return f"board {self.name}: not booted" + (" (failed)" if self._failure else "")
        text = f"board {self.name}: shell {self.boot_seconds:.1f} s after power-on"
        if self.overheads_ms:
            o = sorted(self.overheads_ms)
            text += (f"; {len(o)} runs, overhead beyond their own time: median "
                     f"{statistics.median(o):.0f} ms, max {o[-1]:.0f} ms")
        return text

    # -- the MCU ----------------------------------------------------------------------------
    def simulator(self, work, *options: str) -> "SimProcess":
        """A fresh mcu_sim on the board's MCU UART, in work (its log: sim.log, its output:
        sim.out), until stopped (or the with block ends)."""
        if not self.virtual:
            raise BoardError(f"board {self.name}: its MCU is real; no simulator can serve it")
        self.start()
        return sim_process(self.sim_program, ["--socket", self.socket, "--log", "sim.log",
                                              *options], cwd=work)


def cpu_seconds(pid: int) -> float:
    """CPU time (user + system) of a process so far: a boot's cost, unlike its wall time,
    hardly depends on what else the host is running."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


@contextlib.contextmanager
def virtual_board(name: str, info: BoardInfo | None = None, sim: str | None = None):
    """A virtual board booted through labgrid with the template, until the block ends."""
    info = info or artifacts(name)
    with tempfile.TemporaryDirectory(prefix="mcu-board.", dir="/tmp") as d:  # short: a socket
        socket = os.path.join(d, "mcu.sock")
        os.environ.update(labgrid_environ(info, socket))
        board = Board(lg.open_environment(TEMPLATE).get_target("main"), name, sim, socket)
        try:
            yield board.start()
        finally:
            board.close()


# -- command line ----------------------------------------------------------------------------

def host_output(host_build: str, sim_args: Sequence[str], tool_args: Sequence[str]) -> bytes:
    """Output of mcu_test_sim from a host build against mcu_sim on a pseudo-terminal."""
    host_build = os.path.abspath(host_build)
    with tempfile.TemporaryDirectory(prefix="mcu-host.") as d:
        with sim_process(os.path.join(host_build, "sim", "mcu_sim"), ["--link", "ttyMCU",
                                                                      *sim_args], cwd=d):
            return subprocess.run([os.path.join(host_build, "mcu_test_sim"), *tool_args],
                                  cwd=d, stdout=subprocess.PIPE, check=True).stdout


def console(info: BoardInfo, sim: str, options: Sequence[str]) -> int:
    """The board with its console on this terminal and mcu_sim on its MCU UART, until QEMU ends
    (Ctrl-A X)."""
    with tempfile.TemporaryDirectory(prefix="mcu-board.", dir="/tmp") as d:
        socket = os.path.join(d, "mcu.sock")
        qemu = subprocess.Popen(["setpriv", "--pdeathsig", "TERM",
                                 *qemu_command(info, socket, "mon:stdio")])
        try:
            with served(socket, sim, options, d):
                return qemu.wait()
        finally:
            if qemu.poll() is None:
                qemu.terminate()
                qemu.wait()


@contextlib.contextmanager
def served(socket: str, sim: str, options: Sequence[str], work: str, timeout_s: float = 60):
    """The simulator kept on a virtual board's MCU socket (with its own serial number) while the
    block runs; the block starts once it is up."""
    with SimKeeper([Slot(1, socket, tuple(options))], sim, work, base=None) as keeper:
        keeper.wait(1, timeout_s)
        yield keeper


def exit_on_signals() -> None:
    """SIGTERM and SIGHUP end the program through SystemExit, so that the with blocks stop
    QEMU and the simulators as on Ctrl-C (KeyboardInterrupt)."""
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, lambda number, frame: sys.exit(128 + number))


def main() -> None:
    exit_on_signals()
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="action", required=True)
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("board", choices=BOARDS)
    common.add_argument("--artifacts", help="directory from build.sh (default: run build.sh)")
    common.add_argument("--mcu-sim", default=str(DEFAULT_SIM), help="the simulator, mcu_sim")
    common.add_argument("--hostile", metavar="OPTIONS",
                        help="the board as awkward as a real one: kmsg:MS, lossy:SHARE[/SHARE], "
                             "seed:N, login:USER[:PASSWORD], without:APPLET[+...], "
                             "tool-path:PATH, joined by commas (boards/hostile.py; LG_HOSTILE)")
    p = sub.add_parser("qemu-command", parents=[common],
                       help="the QEMU command line, one word a line")
    p.add_argument("--socket", required=True, help="path of the MCU UART's socket")
    p.add_argument("--console", default="mon:stdio", help="chardev of the console (ttyS0)")
    p = sub.add_parser("environ", parents=[common],
                       help="the LG_* values of labgrid/virtual.yaml, as exports")
    p.add_argument("--socket", required=True, help="path of the MCU UART's socket")
    p = sub.add_parser("console", parents=[common],
                       help="the board on this terminal, mcu_sim on its MCU UART")
    p.add_argument("options", nargs="*", help="options of mcu_sim (after --)")
    p = sub.add_parser("run", parents=[common],
                       help="boot, run one shell command (with mcu_sim), print output")
    p.add_argument("--sim", action="append", default=[], help="option for mcu_sim")
    p.add_argument("--no-sim", action="store_true", help="leave the MCU UART unconnected")
    p.add_argument("command", nargs="+")
    p = sub.add_parser("compare", parents=[common],
                       help="mcu_test ARGS on the board and on the host: the same?")
    p.add_argument("--host-build", default=str(SOURCE / "build" / "default"))
    p.add_argument("--tool", default="mcu_test", help="program on the board")
    p.add_argument("--sim", action="append", default=[], help="option for mcu_sim")
    p.add_argument("args", nargs="+", help="arguments of mcu_test")
    p = sub.add_parser("boot-time", parents=[common],
                       help="boot-to-shell seconds, n boots and their median")
    p.add_argument("-n", type=int, default=5)
    args = parser.parse_args()

    try:
        if args.hostile is not None:
            Hostile.parse(args.hostile)
            os.environ["LG_HOSTILE"] = args.hostile
        info = BoardInfo.load(args.artifacts) if args.artifacts else artifacts(args.board)
        sys.exit(command_line(args, info))
    except (BoardError, SimulatorError, ValueError) as e:
        sys.exit(f"board.py: {e}")


def command_line(args, info: BoardInfo) -> int:
    if args.action == "qemu-command":
        print("\n".join(qemu_command(info, args.socket, console=args.console)))
    elif args.action == "environ":
        for key, value in labgrid_environ(info, args.socket).items():
            print(f"export {key}={shlex.quote(value)}")
    elif args.action == "console":
        return console(info, args.mcu_sim, args.options)
    elif args.action == "run":
        with virtual_board(args.board, info, args.mcu_sim) as b, tempfile.TemporaryDirectory(
                prefix="mcu-sim.") as work:
            with contextlib.nullcontext() if args.no_sim else served(b.socket, args.mcu_sim,
                                                                     args.sim, work):
                run = b.run(["sh", "-c", " ".join(args.command)], merged=True)
        sys.stdout.buffer.write(run.out)
        return run.status
    elif args.action == "compare":
        sim = os.path.join(args.host_build, "sim", "mcu_sim")
        with virtual_board(args.board, info, sim) as b, tempfile.TemporaryDirectory(
                prefix="mcu-sim.") as work:
            with served(b.socket, sim, args.sim, work):
                board_out = b.run([args.tool, *args.args]).out
        host_out = host_output(args.host_build, args.sim, args.args)
        same = board_out == host_out
        print(f"{args.board}: {args.tool} {' '.join(args.args)}: "
              f"{'same output as on the host' if same else 'OUTPUT DIFFERS from the host'}")
        if not same:
            sys.stdout.write(f"--- board\n{board_out.decode(errors='replace')}--- host\n"
                             f"{host_out.decode(errors='replace')}")
        return 0 if same else 1
    elif args.action == "boot-time":
        times, cpu = [], []
        for _ in range(args.n):
            with virtual_board(args.board, info) as b:
                times.append(b.boot_seconds)
                cpu.append(b.boot_cpu_seconds)
            print(f"boot to shell {times[-1]:.2f} s, QEMU CPU {cpu[-1]:.2f} s, "
                  f"load {os.getloadavg()[0]:.1f}", flush=True)
        print(f"median {statistics.median(times):.2f} s (QEMU CPU {statistics.median(cpu):.2f} s) "
              f"of {args.n} boots")
    return 0


if __name__ == "__main__":
    main()
