"""The virtual line: several virtual boards, the slots of labgrid/line.yaml, tested at once.

- `line_environ`: the LG_* values of labgrid/line.yaml (those of board.labgrid_environ, with
  slot N's MCU socket at LINE_DIR/slotN.sock);
- `run`: the line with boards.simulator's SimKeeper on every slot's MCU socket, and a command
  (the station) on it.

Command line (python3 -m boards.virtual_line):

    run BOARD --slots N [--dir DIR] [--sim SLOT=OPTIONS]... [--hostile SLOT=OPTIONS]...
        [--bps RATE] -- COMMAND...
    environ BOARD --dir DIR [--hostile SLOT=OPTIONS]...   the LG_* values of labgrid/line.yaml

--hostile SLOT=OPTIONS makes that slot's board as awkward as a real one (boards/hostile.py):
kernel messages on its console, a lossy console line, a login that is not root, applets left
out, the tool at a long path; e.g. --hostile 2=kmsg:500,lossy:0.001,seed:7 --hostile
3=login:factory,without:gzip,tool-path:/usr/local/lib/factory-test/bin/mcu_test. Slots without
it take LG_HOSTILE's options (none when unset).
"""

from __future__ import annotations

import argparse
import contextlib
import os
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
from typing import Sequence

from boards import board, hostile
from boards import labgrid_adapter as lg
from boards.hostile import Hostile
from boards.simulator import (SERIAL_BASE, SLOT_STRIDE, SOCKET_PATH_MAX, SimKeeper,
                              SimulatorError, Slot)

LINE = board.HERE / "labgrid" / "line.yaml"
def line_environ(info: board.BoardInfo, line_dir: str,
                 options: dict[int, Hostile] | None = None) -> dict[str, str]:
    """The values of labgrid/line.yaml's templates: board.labgrid_environ's, whose QEMU
    arguments are split at the MCU socket's path so that each slot puts its own between, and
    each slot's own (LG_SLOTn_*) of its options (hostile.py; by default LG_HOSTILE's)."""
    mark = "@MCU_SOCKET@"
    env = board.labgrid_environ(info, mark)
    every = hostile.from_environ()
    for n in range(1, len(lg.file_target_names(LINE)) + 1):
        env.update((options or {}).get(n, every).environ(info.board, f"LG_SLOT{n}_"))
    before, found, after = env.pop("LG_QEMU_EXTRA_ARGS").partition(mark)
    if not found or mark in after:
        raise board.BoardError("board.qemu_args: the MCU socket's path is not in one place")
    del env["LG_MCU_SOCKET"]
    env.update(LG_LINE_DIR=line_dir, LG_QEMU_ARGS_TO_SOCKET=before,
               LG_QEMU_ARGS_AFTER_SOCKET=after)
    return env


def slot_socket(line_dir: str, slot: int) -> str:
    return os.path.join(line_dir, f"slot{slot}.sock")


def board_in_every_slot(line_dir: str) -> None:
    """Each slot's presence input (LINE_DIR/slotN.present) says a board is in: the tests
    write it to take a board out or put one in."""
    os.makedirs(line_dir, exist_ok=True)
    for n in range(1, len(lg.file_target_names(LINE)) + 1):
        with open(os.path.join(line_dir, f"slot{n}.present"), "w") as f:
            f.write("1\n")


def parse_hostile_options(texts: Sequence[str], slots: int) -> dict[int, Hostile]:
    """--hostile SLOT=OPTIONS values: each slot's options (repeated ones add up)."""
    words: dict[int, str] = {}
    for text in texts:
        number, sep, given = text.partition("=")
        if not sep or not number.strip().isdigit() or not 1 <= int(number) <= slots:
            raise ValueError(f"--hostile {text}: give SLOT=OPTIONS with SLOT in 1..{slots}")
        words[int(number)] = ",".join(filter(None, (words.get(int(number)), given)))
    return {n: Hostile.parse(w, f"--hostile {n}={w}") for n, w in words.items()}


def parse_sim_options(texts: Sequence[str], slots: int) -> dict[int, tuple[str, ...]]:
    """--sim SLOT=OPTIONS values: the options of each slot (repeated ones add up)."""
    options: dict[int, tuple[str, ...]] = {}
    for text in texts:
        number, sep, words = text.partition("=")
        if not sep or not number.strip().isdigit() or not 1 <= int(number) <= slots:
            raise ValueError(f"--sim {text}: give SLOT=OPTIONS with SLOT in 1..{slots}")
        options[int(number)] = options.get(int(number), ()) + tuple(shlex.split(words))
    return options


def run_command(command: Sequence[str], env: dict[str, str]) -> int:
    """Runs command and returns its exit status (128 + N when signal N ended it). Ctrl-C on a
    terminal reaches it directly (its process group is this one); a SIGINT sent to this
    process alone, and SIGTERM or SIGHUP, are passed on to it."""
    child = subprocess.Popen(command, env=env)

    def pass_on(signum, frame):
        if signum == signal.SIGINT and _from_terminal():
            return
        with contextlib.suppress(ProcessLookupError):
            child.send_signal(signal.SIGINT if signum == signal.SIGINT else signal.SIGTERM)

    previous = {s: signal.signal(s, pass_on) for s in (signal.SIGINT, signal.SIGTERM,
                                                       signal.SIGHUP)}
    try:
        status = child.wait()
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
    return 128 - status if status < 0 else status


def _from_terminal() -> bool:
    """Whether this process is in its terminal's foreground group: then a Ctrl-C there went to
    the whole group, the command as well."""
    try:
        with open("/dev/tty") as tty:
            return os.tcgetpgrp(tty.fileno()) == os.getpgrp()
    except OSError:
        return False


@contextlib.contextmanager
def line_directory(given: str | None, slots: int):
    """The line's directory: given (made if missing, kept), else a fresh one under /tmp
    (removed at the end). Unix socket paths are short."""
    made = given is None
    directory = tempfile.mkdtemp(prefix="mcu-line.", dir="/tmp") if made else os.path.abspath(given)
    try:
        longest = slot_socket(directory, slots)
        if len(os.fsencode(longest)) > SOCKET_PATH_MAX:
            raise ValueError(f"--dir {given}: {longest} is longer than a socket's path may be "
                             f"({SOCKET_PATH_MAX} bytes)")
        os.makedirs(directory, exist_ok=True)
        yield directory
    finally:
        if made:
            shutil.rmtree(directory, ignore_errors=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="action", required=True)
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("board", choices=board.BOARDS)
    common.add_argument("--artifacts", help="directory from build.sh (default: run build.sh)")
    common.add_argument("--hostile", action="append", default=[], metavar="SLOT=OPTIONS",
                        help="that slot's board as awkward as a real one (boards/hostile.py): "
                             "kmsg:MS, lossy:SHARE[/SHARE], seed:N, login:USER[:PASSWORD], "
                             "without:APPLET[+...], tool-path:PATH, joined by commas")
    p = sub.add_parser("environ", parents=[common],
                       help="the LG_* values of labgrid/line.yaml, as exports")
    p.add_argument("--dir", required=True, help="the line's directory (the MCU sockets)")
    p = sub.add_parser("run", parents=[common],
                       help="the line's boards with a simulator each, and a command on them")
    p.add_argument("--slots", type=int, required=True, help="slots 1..N are used")
    p.add_argument("--dir", help="the line's directory (default: a fresh one under /tmp)")
    p.add_argument("--sim", action="append", default=[], metavar="SLOT=OPTIONS",
                   help="options of that slot's mcu_sim (one shell-quoted string)")
    p.add_argument("--bps", type=int, help="pace each board's console at RATE bit/s "
                                            "(LG_CONSOLE_BPS; default: full speed)")
    p.add_argument("--mcu-sim", default=str(board.DEFAULT_SIM), help="the simulator, mcu_sim")
    p.add_argument("--serial-base", type=lambda t: int(t, 16), default=SERIAL_BASE,
                   help=f"hex; slot N's board k gets BASE + N*{SLOT_STRIDE:#x} + k "
                        f"(default {SERIAL_BASE:012x})")
    p.add_argument("command", nargs="+", help="the command (after --)")
    args = parser.parse_args()
    try:
        sys.exit(command_line(args))
    except (board.BoardError, SimulatorError, ValueError) as e:
        sys.exit(f"line.py: {e}")


def command_line(args) -> int:
    slots = len(lg.file_target_names(LINE))
    awkward = parse_hostile_options(args.hostile, args.slots if args.action == "run" else slots)
    if args.action == "run":
        if args.slots < 1:
            raise ValueError(f"--slots {args.slots}: at least one")
        options = parse_sim_options(args.sim, args.slots)
        if args.bps is not None:
            if args.bps < 0:
                raise ValueError(f"--bps {args.bps}: a rate in bit/s, 0 for full speed")
            os.environ["LG_CONSOLE_BPS"] = str(args.bps)
    info = board.BoardInfo.load(args.artifacts) if args.artifacts else board.artifacts(args.board)
    if args.action == "environ":
        board_in_every_slot(os.path.abspath(args.dir))
        for key, value in line_environ(info, os.path.abspath(args.dir), awkward).items():
            print(f"export {key}={shlex.quote(value)}")
        return 0
    with line_directory(args.dir, args.slots) as d:
        board_in_every_slot(d)
        os.environ.update(line_environ(info, d, awkward))
        if lg.open_environment(LINE).get_target(f"slot{args.slots}") is None:
            raise ValueError(f"--slots {args.slots}: {LINE} has no target slot{args.slots}")
        slots = [Slot(n, slot_socket(d, n), options.get(n, ())) for n in range(1, args.slots + 1)]
        note = lambda text: print(f"line: {text}", file=sys.stderr, flush=True)  # noqa: E731
        with SimKeeper(slots, os.path.abspath(args.mcu_sim), d, args.serial_base, note=note):
            return run_command(args.command, dict(os.environ))


if __name__ == "__main__":
    main()
