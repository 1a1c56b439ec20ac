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

Commands run on a board's shell through boards/shell_plan.py, the one way for a plan of many
steps and for a single command alike: on a console, in short typed lines whose every answer is
checked, so that kernel messages and lost bytes on the console cost a line typed again, never a
value under the wrong step.

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
import contextlib
import json
import os
import shlex
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Iterator, Sequence

from boards import hostile
from boards import labgrid_adapter as lg
from boards.hostile import Hostile
from boards import shell_plan
from boards.shell_plan import Run
from boards.simulator import SimKeeper, SimProcess, SimulatorError, Slot, sim_process
from boards.strategy import FixtureFault

HERE = Path(__file__).resolve().parent
SOURCE = HERE.parent
BOARDS = ("mipsel", "mips", "mipsel-nolibc", "mips-nolibc")
TEMPLATE = HERE / "labgrid" / "virtual.yaml"
DEFAULT_SIM = SOURCE / "build" / "default" / "sim" / "mcu_sim"


class BoardError(Exception):
    """The board does not answer: it did not boot, its shell was lost, or what came back over its
    console is not whole. The message holds the console log when there is one."""


class FixtureError(BoardError):
    """The board's place failed, not the board: its power switch or its console."""


class BoardUnsupported(BoardError):
    """The board's image lacks what a plan needs (an applet, a clock, room in /tmp)."""


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
        self._plan: shell_plan.Session | shell_plan.CommandSession | None = None
        self.teardown: list[Run | shell_plan.Damaged] = []  # the last plan's teardown runs

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
        except FixtureFault as e:
            self.close()
            raise FixtureError(f"board {self.name}: {e}") from None
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
        self._plan = None
        del self.console_log[:]  # the next board's log is its own (cleared in place: watched)
        if self.shell is None and not self._watched:
            return  # never switched on
        self.shell = None
        try:
            self._lg.power_off(self.target)
        except FixtureFault as e:
            raise FixtureError(f"board {self.name}: {e}") from None

    def close(self) -> None:
        """Switches the board off and deactivates the drivers."""
        if self.target is not None:
            if self.shell is not None or self._watched:
                with contextlib.suppress(Exception):  # closing: the rest is done whatever fails
                    self._lg.power_off(self.target)
            self._lg.shut_down(self.target)
            self.shell, self._plan = None, None

    def __enter__(self) -> "Board":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.close()

    def log(self) -> str:
        return self.console_log.decode(errors="replace")

    # -- commands ---------------------------------------------------------------------------
    def _session(self) -> shell_plan.Session | shell_plan.CommandSession:
        """The shell's plan runner, once per boot (its preflight is the boot's)."""
        self.start()
        if self._plan is None:
            if self._lg.is_console_shell(self.shell):
                self._plan = shell_plan.Session(self._lg.ConsoleIO(self.shell.console),
                                                self.shell.prompt)
            else:
                self._plan = shell_plan.CommandSession(
                    lambda text, timeout: self.shell.run(text, timeout=timeout)[0])
        return self._plan

    def run(self, argv: Sequence[str], timeout_ms: int = 30000, kill_after_ms: int | None = None,
            merged: bool = False) -> Run:
        """Runs argv on the board: its exact bytes, status and wall time. At timeout_ms the
        board kills it (SIGKILL, in whole seconds rounded up); at kill_after_ms it gets SIGTERM.
        merged: standard error goes with the output, in the order written."""
        started = time.monotonic()
        runs = list(self._steps([shell_plan.Step(argv, timeout_ms, kill_after_ms, merged)]))
        if isinstance(runs[0], BoardError):
            raise runs[0]
        if not runs[0].killed:
            self.overheads_ms.append((time.monotonic() - started) * 1000 - runs[0].wall_ms)
        return runs[0]

    def run_steps(self, commands: Sequence[Sequence[str]], timeouts_ms: Sequence[int],
                  teardown: Sequence[Sequence[str]] = ()) -> Iterator[Run | BoardError]:
        """Runs the commands one after another on the board, standard error merged, and yields
        each one's Run as soon as it is in (a BoardError for one whose result the console
        damaged; the next ones still come). A command that outlives its bound is killed on the
        board and the next one starts. Closing the iterator early stops between commands: the
        running one ends on the board, no further one starts. The teardown commands run after
        the last command or the stop, whatever happened; their runs are in `teardown`. A board
        that stops answering raises BoardError, now and at every later call; one whose image
        lacks what the plan needs raises BoardUnsupported, and nothing runs."""
        steps = [shell_plan.Step(argv, t) for argv, t in zip(commands, timeouts_ms, strict=True)]
        return self._steps(steps, [shell_plan.Step(argv, 10000) for argv in teardown])

    def _steps(self, steps, teardown=()) -> Iterator[Run | BoardError]:
        if self._failure:
            raise BoardError(self._failure)
        session = self._session()
        self.teardown = []
        runs = session.run(steps, teardown)
        try:
            for run in runs:
                yield BoardError(f"board {self.name}: {run}") if isinstance(
                    run, shell_plan.Damaged) else run
        except shell_plan.Unsupported as e:
            raise BoardUnsupported(f"board {self.name}: {e}") from None
        except shell_plan.Lost as e:
            self._failure = f"board {self.name}: lost, {e}; console log:\n{self.log()}"
            raise BoardError(self._failure) from None
        finally:
            try:
                runs.close()  # stopped early: the plan stops between steps
            except shell_plan.Lost as e:
                self._failure = f"board {self.name}: lost, {e}; console log:\n{self.log()}"
            self.teardown = session.teardown

    def console_counts(self) -> shell_plan.Counts | None:
        """What the console did to this boot's exchanges (None: no console shell yet)."""
        return getattr(self._plan, "counts", None)

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
