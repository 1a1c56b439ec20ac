"""The board under test, as labgrid reaches it: one per pytest session, shared by the board tests
(tests/board/test_*.py) and the end-to-end cases (board_target.py).

The labgrid environment file (--lg-env) says how the shell is reached: a virtual board's
QEMUDriver and ShellDriver (boards/labgrid/*.yaml), a real board's serial console (SerialDriver +
ShellDriver) or SSH (SSHDriver). The board is booted once, at first use; it keeps running until
the session ends. On a virtual board the MCU's UART is a Unix socket served by QEMU, and a fresh
`mcu_sim --socket` serves it for each test or case; on a real board the MCU is real and nothing
can stand in for it.

The tool's exact bytes cross the console as text lines: it runs with its standard output and
error in files on the board, which come back gzip-compressed in Base64 (busybox). Its wall time
is taken on the board around the run, on its monotonic clock in nanoseconds (/proc/timer_list's
"now at N nsecs", kept in whole milliseconds), free of the console's delays.
"""

import base64
import contextlib
import gzip
import os
import re
import shlex
import signal
import statistics
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path

import pexpect
from labgrid.driver import ExecutionError, ShellDriver
from labgrid.exceptions import NoDriverFoundError
from labgrid.util import gen_marker

import targets  # tests/e2e: die_with_parent

VT100 = re.compile(r"(\x1b\[|\x9b)[^@-_a-z]*[@-_a-z]|\x1b[@-_a-z]")  # as ShellDriver removes them
SOURCE = Path(__file__).resolve().parents[2]
# Scratch files of the tool's output on the board.
SCRATCH = "/tmp/mcu-run"
# How long a fresh simulator may take to connect to the board's MCU socket.
SIM_READY_S = 5.0


class BoardError(Exception):
    """The board could not be booted or its shell was lost; the message holds the console log."""


class CommandTimeout(BoardError):
    """A command did not come back in time; it was interrupted and the shell is usable."""


@dataclass
class ToolRun:
    out: bytes
    err: bytes
    status: int  # exit status, or -N when ended by signal N
    wall_ms: int  # on the board's clock, from before the start to after the end
    killed: bool  # the SIGKILL bound ended it
    term_sent: bool  # SIGTERM was sent at kill_after_ms (the tool was still running)


def tool_command(tool, args, timeout_ms=None, kill_after_ms=None):
    """The board's shell command that runs `tool ARGS` in /tmp and reports on it (tool_report).
    With timeout_ms, busybox `timeout` kills the tool with SIGKILL after that time (in whole
    seconds, rounded up: a bound for a hung tool, not a measure); without, the caller bounds
    the run. With kill_after_ms the tool runs in the background of a subshell (no job control
    messages) and gets SIGTERM at that moment if it is still running (not a zombie) then."""
    words = shlex.join([tool, *args])
    if timeout_ms is not None:
        words = f"timeout -s KILL {max(1, -(-timeout_ms // 1000))} {words}"
    run = f"{words} </dev/null >{SCRATCH}.out 2>{SCRATCH}.err"
    if kill_after_ms is None:
        body = f"{_now('t0')}; {run}; rc=$?; {_now('t1')}; term=0"
    else:
        body = (f"eval $({_now('t0')}; {run} & p=$!; sleep {kill_after_ms / 1000:.3f}; term=0; "
                f"{{ read x; read x; read x s x; }} </proc/$p/status; "
                f"case $s in R|S|D) kill -TERM $p && term=1;; esac; wait $p; rc=$?; "
                f"{_now('t1')}; echo t0=$t0 t1=$t1 rc=$rc term=$term)")
    return f"cd /tmp; {body}; {tool_report()}"


def tool_report(rc="$rc", t0="$t0", t1="$t1", term="$term"):
    """Shell code that prints a line `mcu-run rc=RC t0=NS t1=NS term=0|1`, then the tool's
    standard output and error, each gzip'ed in Base64 and closed by a line `mcu-run-end`."""
    return (f'echo "mcu-run rc={rc} t0={t0} t1={t1} term={term}"; '
            f"for f in out err; do [ ! -s {SCRATCH}.$f ] || gzip -c {SCRATCH}.$f | base64; "
            f"echo mcu-run-end; done; rm -f {SCRATCH}.out {SCRATCH}.err")


def _now(var):
    """Shell code that sets var to the board's monotonic clock in nanoseconds, without starting
    a program: the third line of /proc/timer_list is "now at N nsecs"."""
    return f"{{ read x; read x; read x x {var} x; }} </proc/timer_list"


_REPORT = re.compile(r"mcu-run rc=(\d+) t0=(\d+) t1=(\d+) term=([01])$")


def parse_tool_report(lines, timeout_ms):
    """The ToolRun of the lines that tool_command's command printed."""
    head = next((n for n, line in enumerate(lines) if _REPORT.search(line)), None)
    if head is None:
        raise BoardError("the board's shell gave no report of the tool's run:\n" + "\n".join(lines))
    rc, t0, t1, term = (int(g) for g in _REPORT.search(lines[head]).groups())
    blocks, block = [], []
    for line in lines[head + 1:]:
        if line.strip() == "mcu-run-end":
            blocks.append(gzip.decompress(base64.b64decode("".join(block))) if block else b"")
            block = []
        else:
            block.append(line.strip())
    if len(blocks) != 2:
        raise BoardError("the tool's output did not come back whole:\n" + "\n".join(lines))
    wall_ms = (t1 - t0) // 1_000_000
    # The shell reports a program ended by signal N as 128 + N; the tool's own statuses are small.
    status = -(rc - 128) if rc > 128 else rc
    killed = status == -signal.SIGKILL and wall_ms >= timeout_ms - 1000
    return ToolRun(blocks[0], blocks[1], status, wall_ms, killed, bool(term))


def board_of(config):
    """The session's LabgridBoard (not started yet), made at first use from labgrid's
    environment (--lg-env) and the simulator option (--mcu-sim, else the end-to-end plugin's
    --sim, else build/default/sim/mcu_sim)."""
    if getattr(config, "mcu_board", None) is None:
        env = getattr(config, "_labgrid_env", None)
        if env is None:
            raise BoardError("no labgrid environment: give --lg-env FILE "
                             "(and -p labgrid.pytestplugin when plugins are not autoloaded)")
        sim = (config.getoption("mcu_sim", default=None) or config.getoption("sim", default=None)
               or str(SOURCE / "build" / "default" / "sim" / "mcu_sim"))
        config.mcu_board = LabgridBoard(env.get_target("main"), sim=str(Path(sim).absolute()))
    return config.mcu_board


class LabgridBoard:
    """The labgrid target `main` of the environment, booted on first use."""

    def __init__(self, target, sim=None):
        self.target = target
        self.virtual = self._has("QEMUDriver")
        env = target.env
        self.socket = os.environ.get("LG_MCU_SOCKET") if self.virtual else None
        self.sim_program = sim
        self.shell = None
        self.console = None
        self.console_log = bytearray()
        self.boot_seconds = None
        self._failure = None
        self.overheads_ms = []  # per tool run: its round trip beyond the tool's own wall time
        self.name = env.config.get_option("mcu_board", "board") if env else "board"

    def _has(self, driver):
        try:
            self.target.get_driver(driver, activate=False)
            return True
        except NoDriverFoundError:
            return False

    # -- lifetime -------------------------------------------------------------------------
    def start(self):
        """Boots the board (a virtual one: starts QEMU) and waits for its shell, once. A board
        that does not reach its shell within the ShellDriver's login_timeout raises BoardError
        with the console log, now and at every later call."""
        if self._failure:
            raise BoardError(self._failure)
        if self.shell:
            return self
        started = time.monotonic()
        try:
            if self._has("ConsoleProtocol"):
                self.console = self.target.get_driver("ConsoleProtocol")
                self._log_console(self.console)
            if self.virtual:
                self.target.get_driver("QEMUDriver").on()
            self.shell = self.target.get_driver("CommandProtocol")
        except Exception as e:  # labgrid raises pexpect's TIMEOUT, ExecutionError, OSError...
            self._failure = (f"board {self.name}: no shell after {time.monotonic() - started:.1f} s "
                             f"({type(e).__name__}: {e}); console log:\n{self.log()}")
            self.close()
            raise BoardError(self._failure) from None
        self.boot_seconds = time.monotonic() - started
        return self

    def _log_console(self, console):
        """Keeps everything that the console driver reads (labgrid keeps only what it has not
        matched yet), for the report of a board that fails."""
        read = console._read

        def logged(*args, **kwargs):
            data = read(*args, **kwargs)
            self.console_log.extend(data)
            return data

        console._read = logged

    def log(self):
        return self.console_log.decode(errors="replace")

    def close(self):
        """Powers a virtual board off (QEMU's quit, or SIGKILL when it does not answer) and
        deactivates the drivers."""
        qemu = None
        if self.virtual:
            with contextlib.suppress(NoDriverFoundError):
                qemu = self.target.get_active_driver("QEMUDriver")
        child = getattr(qemu, "_child", None)
        with contextlib.suppress(Exception):
            self.target.cleanup()
        if child is not None and child.poll() is None:
            child.kill()
            child.wait()
        self.shell = None

    # -- commands -------------------------------------------------------------------------
    def run(self, command, timeout=30.0):
        """Runs a shell command on the board: (standard output lines, exit status). A command
        that does not come back in time is interrupted (Ctrl-C) and raises CommandTimeout; when
        the shell does not answer after that either, the board counts as lost (BoardError)."""
        self.start()
        if self._failure:
            raise BoardError(self._failure)
        try:
            if isinstance(self.shell, ShellDriver):
                return self._console_run(command, timeout)
            out, _, status = self.shell.run(command, timeout=timeout)
            return out, status
        except (pexpect.TIMEOUT, ExecutionError) as e:
            self._recover(command, e)
            raise CommandTimeout(f"board {self.name}: '{command}' did not come back within "
                                 f"{timeout:.0f} s") from None

    def _console_run(self, command, timeout):
        """One round trip on a ShellDriver's console: the command, framed by markers, typed at
        the shell's prompt (ShellDriver.run makes two round trips and starts a shell more)."""
        marker = gen_marker()
        typed = f"'{marker[:4]}''{marker[4:]}'"  # the echoed command line does not match
        console, prompt = self.shell.console, self.shell.prompt
        console.sendline(f"echo {typed}; {command}; echo {typed} $?")
        _, _, match, _ = console.expect(rf"{marker}(.*){marker} (\d+)\s+{prompt}",
                                        timeout=timeout)
        text = VT100.sub("", match.group(1).decode("utf-8", "replace"))
        return text.split("\r\n")[1:-1], int(match.group(2))

    def _recover(self, command, error):
        with contextlib.suppress(Exception):
            self.shell.console.write(b"\x03")  # Ctrl-C (labgrid's sendcontrol needs a pty)
            self.run("true", timeout=10)
            return
        self._failure = (f"board {self.name}: the shell was lost during '{command}' "
                         f"({type(error).__name__}); console log:\n{self.log()}")

    def run_tool(self, args, timeout_ms=30000, kill_after_ms=None, tool="mcu_test"):
        """Runs the tool on the board with exact output bytes and its wall time (ToolRun). On a
        console shell the tool is bounded from here: at timeout_ms it is interrupted (Ctrl-C);
        elsewhere by busybox `timeout` on the board."""
        started = time.monotonic()
        on_console = isinstance(self.shell, ShellDriver) and kill_after_ms is None
        command = tool_command(tool, args, None if on_console else timeout_ms, kill_after_ms)
        try:
            lines, _ = self.run(command, timeout=timeout_ms / 1000 + (1 if on_console else 30))
        except CommandTimeout:
            lines, _ = self.run(tool_report(rc=128 + signal.SIGKILL, t0=0,
                                            t1=timeout_ms * 1_000_000, term=0))
        run = parse_tool_report(lines, timeout_ms)
        if not run.killed:
            self.overheads_ms.append((time.monotonic() - started) * 1000 - run.wall_ms)
        return run

    def summary(self):
        """A line about the session: boot-to-shell time, tool runs and their overhead."""
        if self.boot_seconds is None:
            return f"board {self.name}: not booted" + (" (failed)" if self._failure else "")
        text = f"board {self.name}: shell {self.boot_seconds:.1f} s after power-on"
        if self.overheads_ms:
            o = sorted(self.overheads_ms)
            text += (f"; {len(o)} tool runs, overhead beyond the tool's own time: median "
                     f"{statistics.median(o):.0f} ms, max {o[-1]:.0f} ms")
        return text

    # -- the MCU --------------------------------------------------------------------------
    def sim_argv(self, ready, *options):
        return [self.sim_program, "--socket", self.socket, "--ready", str(ready), *options]

    @contextlib.contextmanager
    def simulator(self, work, *options):
        """A fresh mcu_sim on the board's MCU UART (its log: work/sim.log, its output:
        work/sim.out) until the block ends; then SIGTERM. Yields the process."""
        if not self.virtual:
            raise BoardError("the board's MCU is real: no simulator can serve it")
        self.start()
        ready = os.path.join(work, "sim.ready")
        with open(os.path.join(work, "sim.out"), "wb") as out:
            proc = subprocess.Popen(self.sim_argv(ready, "--log", "sim.log", *options), cwd=work,
                                    stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT, preexec_fn=targets.die_with_parent)
        try:
            deadline = time.monotonic() + SIM_READY_S
            while not os.path.exists(ready):
                if proc.poll() is not None or time.monotonic() > deadline:
                    raise BoardError(f"the simulator did not connect to {self.socket}:\n"
                                     + read_text(os.path.join(work, "sim.out")))
                time.sleep(0.002)
            yield proc
        finally:
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(5)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()


def read_text(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError:
        return ""
