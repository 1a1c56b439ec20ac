#!/usr/bin/python3
"""How fast the station tests a line: the virtual mipsel line (boards/virtual_line.py, a
simulator as each slot's MCU) tested by the station (python3 -m station), figures read from
each board's JSON record and the station's summary.

    MCU_BOARD_BUILD_DIR=build/mipsel /usr/bin/python3 -m bench.line_bench [slots] [loop]
        [--slots 1,2,4] [--bps 115200,0] [--kmsg 0,2000] [--loop-slots 4] [--boards 10]
        [--loop-bps 115200] [--calm LOAD] [--calm-wait S] [--json FILE] [--csv FILE]
        [--work DIR] [--mcu-sim PATH]

slots: one station run per slot count, console rate (the rates given with --bps; 0 is full
    speed) and kernel on the consoles (--kmsg: the mean interval of the boards' kernel
    messages in ms, 0 for a quiet console), one board a slot. For each: from all shells ready to all verdicts (the station's
    `line:` figure), the station's CPU time, and per board its tested-in time (shell ready to
    last verdict), the tool's own time summed on the board (the floor), the overhead
    (tested-in - floor) and the console bytes read and written while testing. Printed with
    the goals: the ready-to-verdicts time of 4 slots over that of 1 slot at most 1.15, an
    overhead of at most 1 s a board at 115200 bit/s with kernel messages and 0.3 s at full
    speed on a quiet console. --csv writes each board's figures, with the commit measured.
loop: one run of --loop-slots slots, --boards boards each one after another (`--loop`: a QEMU
    restart, a boot, between two boards of a slot). Boards per hour:
      boot included  boards * 3600 / W, W the wall time of the whole run (this script's
                     station command, from its start to its end: boots, power cycles, QEMU
                     and pytest start included);
      boot excluded  boards * 3600 / T, T the testing time of the slowest slot: per slot, the
                     sum of its boards' tested-in times; the slots test side by side, so the
                     slowest one's sum is the line's.
Both (the default) run slots first, then loop. Every figure comes from the run's output; a
record or summary line that is missing or does not read as expected stops the bench with the
file and line at fault. A board that does not pass stops it too: its times are not a test's.
The 1-minute load average is taken before each run and printed with it; --calm waits for a
load below LOAD first (each run's QEMUs raise the load that the next one starts at).
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import asdict, dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
LINE = [sys.executable, "-m", "boards.virtual_line"]
LINE_ENV = ROOT / "boards" / "labgrid" / "line.yaml"
LIMITS = ROOT / "station" / "limits" / "mcu_board.yaml"
DEFAULT_SIM = ROOT / "build" / "default" / "sim" / "mcu_sim"

RATIO_GOAL = 1.15  # ready-to-verdicts time, most slots over one slot
# per board, by console rate (0: full speed) and whether the kernel prints on the console
OVERHEAD_GOAL_S = {(115200, True): 1.0, (0, False): 0.3}

_NUM = r"(-?\d+(?:\.\d+)?)"
RECORD_LINE = re.compile(r"^record: (\S.*)$")
TIMING_LINE = re.compile(
    rf"^timing: shell after (?:{_NUM}|None) s, tested in {_NUM} s, the tool's own {_NUM} s, "
    rf"overhead {_NUM} s(?:; console (\d+) bytes read, (\d+) written)?$")
LINE_LINE = re.compile(rf"^line: (\d+) boards in (\d+) slots; from all shells ready to all "
                       rf"verdicts {_NUM} s; station CPU {_NUM} s$")


class BenchError(Exception):
    pass


@dataclass(frozen=True)
class Timing:
    """A board's `timing:` line, and the record named on the `record:` line before it."""
    record: Path
    tested_s: float
    tool_s: float
    overhead_s: float


@dataclass(frozen=True)
class LineSummary:
    boards: int
    slots: int
    ready_to_verdicts_s: float
    cpu_s: float


@dataclass(frozen=True)
class Summary:
    timings: tuple[Timing, ...]
    line: LineSummary


def parse_summary(text: str, source: str) -> Summary:
    """The station's terminal summary: one `timing:` line a board (after its `record:` line)
    and one `line:` line. source names the text in errors."""
    timings, record, line = [], None, None
    for number, raw in enumerate(text.splitlines(), 1):
        where = f"{source}:{number}"
        if m := RECORD_LINE.match(raw):
            record = Path(m.group(1))
        elif raw.startswith("timing: "):
            m = TIMING_LINE.match(raw)
            if m is None:
                raise BenchError(f"{where}: a timing line that does not read as expected: {raw!r}")
            if record is None:
                raise BenchError(f"{where}: a timing line with no record line before it")
            timings.append(Timing(record, float(m.group(2)), float(m.group(3)),
                                  float(m.group(4))))
            record = None
        elif raw.startswith("line: ") and " boards in " in raw:
            m = LINE_LINE.match(raw)
            if m is None:
                raise BenchError(f"{where}: a line summary that does not read as expected: "
                                 f"{raw!r}")
            if line is not None:
                raise BenchError(f"{where}: a second line summary")
            line = LineSummary(int(m.group(1)), int(m.group(2)), float(m.group(3)),
                               float(m.group(4)))
    if line is None:
        raise BenchError(f"{source}: no line summary ('line: N boards in M slots; ...')")
    if len(timings) != line.boards:
        raise BenchError(f"{source}: {len(timings)} timing lines for the line's {line.boards} "
                         "boards")
    return Summary(tuple(timings), line)


@dataclass(frozen=True)
class BoardFigures:
    slot: str
    serial: str
    ready_s: float  # power on to shell
    tested_s: float  # shell ready to last verdict
    tool_s: float  # the tool's own time on the board: the floor
    overhead_s: float
    read: int  # console bytes while testing
    written: int


def _field(record: dict, key: str, path: Path, kind):
    value = record.get(key)
    if not isinstance(value, kind) or isinstance(value, bool):
        wanted = " or ".join(k.__name__ for k in (kind if isinstance(kind, tuple) else (kind,)))
        raise BenchError(f"{path}: key {key}: {value!r} is not {wanted}")
    return value


def board_figures(timing: Timing) -> BoardFigures:
    """A board's figures: its record's, with the tested-in time of its timing line (which
    only the summary has)."""
    path = timing.record
    try:
        record = json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError) as e:
        raise BenchError(f"{path}: {e}") from None
    if record.get("verdict") != "pass":
        raise BenchError(f"{path}: verdict {record.get('verdict')!r}, not pass")
    console = _field(record, "console_bytes", path, dict)
    tool_s = float(_field(record, "tool_s", path, (int, float)))
    if abs(tool_s - timing.tool_s) > 0.005:
        raise BenchError(f"{path}: tool_s {tool_s} but its timing line says {timing.tool_s}")
    return BoardFigures(
        slot=_field(record, "slot", path, str), serial=_field(record, "serial_number", path, str),
        ready_s=float(_field(record, "board_ready_s", path, (int, float))),
        tested_s=timing.tested_s, tool_s=tool_s, overhead_s=round(timing.tested_s - tool_s, 2),
        read=_field(console, "read", path, int), written=_field(console, "written", path, int))


@dataclass(frozen=True)
class Run:
    slots: int
    bps: int
    kmsg_ms: int  # the kernel messages' mean interval, 0 for none
    boards_per_slot: int
    load_1min: float  # before the run
    wall_s: float  # the whole station command
    ready_to_verdicts_s: float
    cpu_s: float
    boards: tuple[BoardFigures, ...]
    log: str


@dataclass(frozen=True)
class Setup:
    work: Path  # logs and records
    mcu_sim: str
    board: str
    calm_load: float  # wait before a run until the 1-minute load is below this (0: never)
    calm_wait_s: float  # for at most this long


def wait_for_calm(setup: Setup) -> float:
    """The 1-minute load average, once below setup.calm_load or after setup.calm_wait_s."""
    end = time.monotonic() + setup.calm_wait_s
    while (load := os.getloadavg()[0]) >= setup.calm_load > 0 and time.monotonic() < end:
        time.sleep(10)
    return load


def run_station(slots: int, bps: int, loop: int | None, setup: Setup, kmsg_ms: int = 0) -> Run:
    """One station run on a fresh virtual line of `slots` slots; its output in setup.work."""
    work, mcu_sim, board = setup.work, setup.mcu_sim, setup.board
    name = f"s{slots}-b{bps}-k{kmsg_ms}" + (f"-loop{loop}" if loop else "")
    reports, log = work / name / "reports", work / f"{name}.log"
    reports.mkdir(parents=True)
    kernel = [f"--hostile={n}=kmsg:{kmsg_ms},seed:{n}" for n in range(1, slots + 1) if kmsg_ms]
    command = [*LINE, "run", board, "--slots", str(slots), "--bps", str(bps), *kernel,
               "--mcu-sim", mcu_sim, "--", "/usr/bin/python3", "-m", "station",
               "--lg-env", str(LINE_ENV),
               *[f"--slot=slot{n}" for n in range(1, slots + 1)], "--limits", str(LIMITS),
               "--report-dir", str(reports), *([f"--loop={loop}", "--start=now"] if loop
                                              else [])]
    load = wait_for_calm(setup)
    print(f"-- {slots} slot(s), console {bps or 'full speed'}, "
          f"{f'kernel messages every {kmsg_ms} ms' if kmsg_ms else 'quiet'}"
          + (f", {loop} boards a slot" if loop else "") + f", load {load:.2f}: {log}",
          flush=True)
    started = time.monotonic()
    with open(log, "wb") as out:
        out.write(f"$ {' '.join(command)}\n".encode())
        out.flush()
        status = subprocess.run(command, cwd=ROOT, stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.STDOUT).returncode
    wall = time.monotonic() - started
    text = log.read_text(encoding="utf-8", errors="replace")
    if status != 0:
        tail = "\n".join(text.splitlines()[-15:])
        raise BenchError(f"{log}: the station ended with status {status}:\n{tail}")
    summary = parse_summary(text, str(log))
    expected = slots * (loop or 1)
    if summary.line.boards != expected or summary.line.slots != slots:
        raise BenchError(f"{log}: {summary.line.boards} boards in {summary.line.slots} slots, "
                         f"not {expected} in {slots}")
    boards = tuple(board_figures(t) for t in summary.timings)
    return Run(slots, bps, kmsg_ms, loop or 1, round(load, 2), round(wall, 2),
               summary.line.ready_to_verdicts_s, summary.line.cpu_s, boards, str(log))


# -- figures -----------------------------------------------------------------------------------

def rate(bps: int) -> str:
    return str(bps) if bps else "full"


def slots_table(runs: list[Run]) -> list[str]:
    out = [f"{'slots':>5} {'console':>7} {'kmsg':>5} {'load':>5} {'ready->verdicts':>15} "
           f"{'CPU':>6}   {'slot':<6} {'tested':>7} {'floor':>7} {'overhead':>8} {'read':>6} "
           f"{'written':>7}"]
    for r in runs:
        for i, b in enumerate(r.boards):
            head = (f"{r.slots:>5} {rate(r.bps):>7} {r.kmsg_ms or '-':>5} {r.load_1min:>5.2f} "
                    f"{r.ready_to_verdicts_s:>13.2f} s {r.cpu_s:>4.2f} s" if i == 0
                    else " " * 49)
            out.append(f"{head}   {b.slot:<6} {b.tested_s:>7.2f} {b.tool_s:>7.2f} "
                       f"{b.overhead_s:>8.2f} {b.read:>6} {b.written:>7}")
    return out


def csv_rows(runs: list[Run], commit: str) -> list[str]:
    """Each board's raw figures, one line a board."""
    rows = ["commit,slots,console_bps,kmsg_ms,load_1min,slot,serial,tested_s,floor_s,"
            "overhead_s,console_read,console_written"]
    rows += [f"{commit},{r.slots},{r.bps},{r.kmsg_ms},{r.load_1min},{b.slot},{b.serial},"
             f"{b.tested_s},{b.tool_s},{b.overhead_s},{b.read},{b.written}"
             for r in runs for b in r.boards]
    return rows


def goals(runs: list[Run]) -> tuple[list[str], dict]:
    lines, figures = [], {}
    for bps, kmsg in sorted({(r.bps, r.kmsg_ms) for r in runs}, reverse=True):
        at = {r.slots: r for r in runs if (r.bps, r.kmsg_ms) == (bps, kmsg)}
        key = rate(bps) + (f"+kmsg{kmsg}" if kmsg else "")
        worst = max(b.overhead_s for r in at.values() for b in r.boards)
        goal = OVERHEAD_GOAL_S.get((bps, kmsg > 0))
        figures[key] = {"worst_overhead_s": worst, "overhead_goal_s": goal}
        lines.append(f"console {key}: worst overhead {worst:.2f} s a board"
                     + (f" (goal <= {goal} s: {'met' if worst <= goal else 'MISSED'})"
                        if goal is not None else ""))
        if 1 in at and len(at) > 1:
            most = max(at)
            ratio = at[most].ready_to_verdicts_s / at[1].ready_to_verdicts_s
            figures[key][f"ratio_{most}_to_1"] = round(ratio, 3)
            lines.append(f"console {key}: {most}/1 slots ready-to-verdicts {ratio:.3f}"
                         + (f" (goal <= {RATIO_GOAL}: "
                            f"{'met' if ratio <= RATIO_GOAL else 'MISSED'})" if most == 4
                            else ""))
    return lines, figures


def loop_figures(r: Run) -> dict:
    n = len(r.boards)
    per_slot: dict[str, float] = {}
    for b in r.boards:
        per_slot[b.slot] = per_slot.get(b.slot, 0.0) + b.tested_s
    testing = max(per_slot.values())
    return {"boards": n, "wall_s": r.wall_s,
            "boards_per_hour_with_boot": round(n * 3600 / r.wall_s, 1),
            "slowest_slot_testing_s": round(testing, 2),
            "boards_per_hour_without_boot": round(n * 3600 / testing, 1),
            "mean_shell_ready_s": round(sum(b.ready_s for b in r.boards) / n, 2),
            "mean_tested_s": round(sum(b.tested_s for b in r.boards) / n, 2),
            "worst_overhead_s": max(b.overhead_s for b in r.boards)}


def loop_table(r: Run, f: dict) -> list[str]:
    return [f"loop: {r.slots} slots x {r.boards_per_slot} boards, console {rate(r.bps)}, "
            f"load {r.load_1min:.2f}",
            f"  {f['boards']} boards in {f['wall_s']:.1f} s: {f['boards_per_hour_with_boot']:.0f} "
            f"boards/h, boot included",
            f"  slowest slot tested for {f['slowest_slot_testing_s']:.1f} s: "
            f"{f['boards_per_hour_without_boot']:.0f} boards/h, boot excluded",
            f"  a board: shell after {f['mean_shell_ready_s']:.1f} s, tested in "
            f"{f['mean_tested_s']:.2f} s (means); worst overhead {f['worst_overhead_s']:.2f} s"]


def counts(text: str, option: str) -> list[int]:
    try:
        values = [int(v) for v in text.split(",")]
    except ValueError:
        values = [-1]
    if not values or min(values) < 0:
        raise argparse.ArgumentTypeError(f"{option} {text}: give whole numbers, comma-separated")
    return values


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("what", nargs="*", choices=("slots", "loop"), default=[],
                        help="which runs (default both)")
    parser.add_argument("--slots", default="1,2,4", type=lambda t: counts(t, "--slots"),
                        help="slot counts of the slots runs (default 1,2,4)")
    parser.add_argument("--bps", default="115200,0", type=lambda t: counts(t, "--bps"),
                        help="console rates of the slots runs, 0 full speed (default 115200,0)")
    parser.add_argument("--kmsg", default="0,2000", type=lambda t: counts(t, "--kmsg"),
                        help="the boards' kernel messages' mean interval in ms of the slots "
                             "runs, 0 none (default 0,2000)")
    parser.add_argument("--loop-slots", type=int, default=4, help="slots of the loop run (4)")
    parser.add_argument("--boards", type=int, default=10, help="boards a slot in the loop (10)")
    parser.add_argument("--loop-bps", type=int, default=115200, help="its console (115200)")
    parser.add_argument("--board", default="mipsel", help="the virtual board (mipsel)")
    parser.add_argument("--mcu-sim", default=str(DEFAULT_SIM), help="the simulator")
    parser.add_argument("--calm", type=float, default=0.0, metavar="LOAD",
                        help="before each run, wait until the 1-minute load is below LOAD "
                             "(a run's own QEMUs raise the next run's)")
    parser.add_argument("--calm-wait", type=float, default=300.0, metavar="S",
                        help="wait at most S seconds for it (300)")
    parser.add_argument("--work", help="keep logs and records here (default: a temporary "
                                       "folder, removed)")
    parser.add_argument("--json", metavar="FILE", help="write the figures here")
    parser.add_argument("--csv", metavar="FILE", help="write each board's raw figures here")
    args = parser.parse_args()
    what = set(args.what or ("slots", "loop"))
    if args.boards < 1 or args.loop_slots < 1:
        parser.error("--boards and --loop-slots: at least 1")
    work = Path(args.work or tempfile.mkdtemp(prefix="line-bench.", dir="/tmp")).absolute()
    work.mkdir(parents=True, exist_ok=True)
    setup = Setup(work, args.mcu_sim, args.board, args.calm, args.calm_wait)
    result: dict = {"started": time.strftime("%Y-%m-%d %H:%M:%S %z"), "work": str(work)}
    try:
        out: list[str] = []
        if "slots" in what:
            runs = [run_station(n, bps, None, setup, kmsg)
                    for bps in args.bps for kmsg in args.kmsg for n in args.slots]
            lines, figures = goals(runs)
            out += slots_table(runs) + lines
            result["slots"] = {"runs": [asdict(r) for r in runs], "goals": figures}
            if args.csv:
                commit = subprocess.run(["git", "describe", "--always", "--dirty"], cwd=ROOT,
                                        capture_output=True, text=True).stdout.strip()
                Path(args.csv).write_text("\n".join(csv_rows(runs, commit)) + "\n",
                                          encoding="utf-8")
        if "loop" in what:
            r = run_station(args.loop_slots, args.loop_bps, args.boards, setup)
            f = loop_figures(r)
            out += loop_table(r, f)
            result["loop"] = {"run": asdict(r), "figures": f}
    except BenchError as e:
        print(f"line_bench.py: {e}\n(logs and records kept in {work})", file=sys.stderr)
        return 1
    result["load_after"] = round(os.getloadavg()[0], 2)
    print("\n".join(out))
    print(f"load average (1 min) at the end: {result['load_after']:.2f}")
    if args.work is None:  # the logs go with it
        shutil.rmtree(work, ignore_errors=True)
        result["work"] = None
    if args.json:
        Path(args.json).write_text(json.dumps(result, indent=1, default=str) + "\n",
                                   encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
