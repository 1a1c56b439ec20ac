"""The line as an operator runs it: several boards tested at once, each slot with its own
simulator, verdicts, JSON record, database run and row of the view; Ctrl-C in the middle;
board after board.

Here the slots are local tools (MCU_TOOL, each in a directory of its own where a simulator
publishes its ttyMCU link). When STATION_BOARD names a virtual board (the mipsel build), the
line is boards/labgrid/line.yaml's virtual boards, each with a simulator kept by boards/line.py.
"""

from __future__ import annotations

import io
import multiprocessing
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from contextlib import ExitStack
from pathlib import Path
from types import SimpleNamespace
from typing import Callable

import pytest
import sqlalchemy as sa
import yaml

from station import db
from station.limits import load_limits
from station.line import Line, Settings, SlotSetup, slot_process
from station.measurements import build_plan
from station.owners import LOCK_DIR, Claims
from testkit import Spawned, program_env, shell_script
from testkit.pgcluster import PgCluster
from testkit.stations import (ALL, BOARD, LIMITS, SIM, SOURCE, TOOL, StationRun,
                              assert_verdicts, db_runs, junit_cases, read_run, start_sim,
                              station_command, strict_json, value, vanishing_tool)
from station.view import Phase, PlainView, SlotStatus
from testkit.terminal import no_control_bytes, run_in_tmux, table_rows

from bench.line_bench import parse_summary as bench_parse_summary

def sn(slot: int) -> str:
    return f"0c22054359{slot:02d}"


def assert_board(run: StationRun, slot: str, failing: dict[str, str], serial: str | None):
    """The slot's one board: exactly the named measurements have the given verdicts, every
    other one passed, in its JSON record (named by its serial number) and its JUnit cases."""
    record = run.only(slot)
    assert record["slot"] == slot and record["serial_number"] == serial
    assert_verdicts(record, run.cases[slot], failing)
    [name] = run.record_names[slot]
    assert name.startswith(f"{serial or 'unknown'}_"), name
    assert re.search(rf"^=+ BOARD {serial or re.escape('(serial unknown)')} \({slot}\): "
                     rf"{'FAIL' if failing else 'PASS'}, {18 - len(failing)} of 18 passed in "
                     rf"[\d.]+ s =+$", run.stdout, re.M), slot


# -- a line of local tools ----------------------------------------------------------------------

class LocalLine:
    """Slots local1, local2, ...: a directory each with its simulator's ttyMCU link."""

    def __init__(self, tmp_path: Path, stack: ExitStack, sims: list[list[str]]):
        self.tmp = tmp_path
        self.dirs = [tmp_path / f"local{i}" for i in range(1, len(sims) + 1)]
        for i, (work, options) in enumerate(zip(self.dirs, sims), 1):
            work.mkdir()
            stack.enter_context(start_sim(["--link", "ttyMCU"], work / "ready",
                                          ["--set", f"sn={sn(i)}", *options],
                                          tmp_path / f"sim{i}.out", work))
        self.reports, self.junit = tmp_path / "reports", tmp_path / "junit.xml"

    def command(self, *extra: str, tool: Path | str = TOOL) -> list[str]:
        return station_command(self.tmp, None, tool=tool, dirs=self.dirs) + list(extra)

    def start(self, *extra: str, tool: Path | str = TOOL) -> Spawned:
        return Spawned(self.command(*extra, tool=tool), self.tmp / "station.out")

    def run(self, *extra: str, tool: Path | str = TOOL, act=None) -> StationRun:
        """The line's run to its end. act: called with the station's process once each slot
        has judged three measurements (its board's serial number read, its metering running);
        self.seen: how many each slot had judged then."""
        slots = [work.name for work in self.dirs]
        started = time.monotonic()
        with self.start(*extra, tool=tool) as station:
            if act is not None:
                station.until(lambda text: all(judged_so_far(text, s) >= 3 for s in slots), 60)
                self.seen = {s: judged_so_far(station.output(), s) for s in slots}
                act(station.proc)
            status = station.proc.wait(300 if act is None else 60)
        return self.result(station, status, time.monotonic() - started)

    def result(self, station: Spawned, status: int, seconds: float) -> StationRun:
        stdout = station.output()
        # Off a terminal the station's output is plain text: the view's lines, its summary.
        assert no_control_bytes(stdout.encode()), "control characters in the station's output"
        # While the line runs each line is the view's own, whole.
        lines = stdout.splitlines()
        begin = next(i for i, text in enumerate(lines) if text.startswith("station ci: "))
        end = next(i for i, text in enumerate(lines)  # the summary's first line
                   if i > begin and re.match(r"[=!-]+ ", text))
        for text in lines[begin + 1:end]:
            assert re.match(r"(local\d+[ :]|stopping: |$)", text), text
        return read_run(status, seconds, stdout, self.reports, self.junit)


@pytest.fixture
def local_line(tmp_path):
    with ExitStack() as stack:
        yield lambda *sims: LocalLine(tmp_path, stack, list(sims))


local_only = pytest.mark.skipif(bool(BOARD), reason="the local line (a host build)")


@local_only
def test_each_slots_fault_stays_its_own(local_line, tmp_path):
    # Each slot runs its own copy of the tool (./tool in its directory). local1's answers four
    # times, then is gone, as a board lost half-way; local2's MCU never answers; local3's RS485
    # port fails; local4's mains voltage is out of range (260 V); local5's relay 2 is
    # acknowledged but stays off; local6 is good.
    line = local_line([], ["--silent"], ["--fail", "rs485"], ["--set", "voltage=26000"],
                      ["--fail", "relay:2"], [])
    slots = [work.name for work in line.dirs]
    vanishing_tool(line.dirs[0] / "tool")
    for work in line.dirs[1:]:
        (work / "tool").symlink_to(TOOL)
    run = line.run(tool=shell_script(tmp_path / "own_tool", 'exec ./tool "$@"\n'))
    assert run.status == 1
    assert sorted(run.records) == slots and run.case_count == 6 * 18
    lost = run.only("local1")
    verdicts = [m["verdict"] for m in lost["measurements"]]
    assert verdicts[:6] == ["pass"] * 6 and set(verdicts[6:]) == {"error"}
    assert_board(run, "local2", {name: "no answer" for name in ALL}, None)
    assert_board(run, "local3", {"rs485_loopback": "fail"}, sn(3))
    assert_board(run, "local4", {"mains_voltage": "fail"}, sn(4))
    assert_board(run, "local5", {"relay2_on": "fail"}, sn(5))
    assert_board(run, "local6", {}, sn(6))
    assert value(run.only("local3"), "rs485_loopback") == 0.0
    assert run.cases["local3"]["rs485_loopback"][1]["value"] == "0.0"
    assert value(run.only("local4"), "mains_voltage") == 260.0
    [relay] = [m for m in run.only("local5")["measurements"] if m["name"] == "relay2_on"]
    assert (relay["value"], relay["limits"]) == (0, {"equals": 1})
    assert [m["detail"] for m in run.only("local6")["measurements"]] == [""] * 18
    # The slots' boards were tested at the same time, not one after the other: every one
    # started before any ended (by their records' own times).
    records = [record for slot in slots for record in run.records[slot]]
    assert max(r["start"] for r in records) < min(r["end"] for r in records), records
    assert re.search(r"^line: 6 boards in 6 slots; ", run.stdout, re.M)
    assert re.search(r"^local3 \[16/18\] RS485 loopback .* FAIL$", run.stdout, re.M)
    assert sorted(db_runs(run.report_dir, "slot", "serial_number", "verdict")) == [
        (slot, None if slot == "local2" else sn(i), "pass" if slot == "local6" else "fail")
        for i, slot in enumerate(slots, 1)]


def judged_so_far(text: str, slot: str) -> int:
    return len(re.findall(rf"^{slot} \[\s*\d+/18\] ", text, re.M))


@local_only
@pytest.mark.parametrize("stop_signal", [signal.SIGINT, signal.SIGTERM], ids=["ctrl_c", "sigterm"])
def test_ctrl_c_stops_every_slot_and_records_its_board_as_stopped(local_line, stop_signal):
    line = local_line([], [])
    slots = ["local1", "local2"]
    # As Ctrl-C on the station's terminal, or a service stop: the whole group, the tools
    # under test too.
    run = line.run("--loop", "--start", "now",
                   act=lambda proc: os.killpg(proc.pid, stop_signal))
    assert run.status == 130  # stopped
    # The step that runs ends (metering's 1.4 s here), not the board: the rest is not run.
    assert sorted(run.records) == slots
    for i, slot in enumerate(slots, 1):
        record = run.only(slot)  # one board each: no further board started
        assert record["verdict"] == "stopped" and record["serial_number"] == sn(i)
        verdicts = [m["verdict"] for m in record["measurements"]]
        kept = verdicts.index("not run")
        assert line.seen[slot] <= kept < 18, verdicts
        assert verdicts == ["pass"] * kept + ["not run"] * (18 - kept)
        assert record["measurements"][2]["value"] == sn(i)
        assert all(m["value"] is None for m in record["measurements"][kept:])
        assert re.search(rf"^=+ BOARD {sn(i)} \({slot}\): STOPPED, {kept} of 18 passed",
                         run.stdout, re.M)
        assert run.record_names[slot][0].startswith(sn(i) + "_")
    assert sorted(db_runs(run.report_dir, "slot", "serial_number", "verdict", "measurements")) \
        == sorted(
        (slot, sn(i), "stopped", [m["verdict"] for m in run.only(slot)["measurements"]])
        for i, slot in enumerate(slots, 1))


def slot_processes(station: int) -> list[int]:
    """The station's slot processes: its children that run the station's own program."""
    children = Path(f"/proc/{station}/task/{station}/children").read_text().split()
    return [int(c) for c in children
            if b"station" in Path(f"/proc/{c}/cmdline").read_bytes().split(b"\0")]


@local_only
def test_a_slot_whose_process_dies_is_recorded_and_the_others_go_on(local_line):
    line = local_line([], [])
    run = line.run(act=lambda proc: os.kill(slot_processes(proc.pid)[0], signal.SIGKILL))
    assert run.status == 3  # a slot's process failed
    lost = [slot for slot in ("local1", "local2") if run.only(slot)["verdict"] != "pass"]
    assert len(lost) == 1, run.records
    record = run.only(lost[0])
    assert {m["verdict"] for m in record["measurements"]} == {"error"}
    assert "the slot's process ended with exit code -9" in record["measurements"][0]["detail"]
    assert re.search(rf"^slot {lost[0]}: its process failed: .*exit code -9", run.stdout, re.M)
    other = "local2" if lost[0] == "local1" else "local1"
    assert_board(run, other, {}, sn(int(other[-1])))


@pytest.fixture
def settings(tmp_path) -> Settings:
    """A station's settings with the product's limits, its records in tmp_path."""
    return Settings(station="ci", limits=load_limits(LIMITS), limits_file=str(LIMITS),
                    limits_sha256="0", report_dir=tmp_path, db_url=None)


def test_a_slot_that_raises_records_its_board_with_the_traceback(tmp_path, settings):
    def connect():
        raise RuntimeError("the fixture broke")
    # A slot whose fixture breaks: its connect raises.
    boom = SimpleNamespace(name="boom", connect=connect, boot_bound_s=lambda: 0.0,
                           close=lambda: None)
    boom.open = lambda: boom
    events = []
    signals = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
    previous = [signal.getsignal(n) for n in signals]
    try:
        with pytest.raises(SystemExit) as ended:
            slot_process(boom, build_plan(settings.limits), settings, {},
                         SimpleNamespace(put=events.append), threading.Event())
    finally:
        for n, handler in zip(signals, previous):
            signal.signal(n, handler)
    assert ended.value.code == 3
    kinds = [kind for kind, _ in events]
    assert kinds[0] == "status" and "crashed" in kinds and kinds[-1] == "ended"
    [why] = [item for kind, item in events if kind == "crashed"]
    assert why.startswith("Traceback") and "RuntimeError: the fixture broke" in why
    [done] = [item for kind, item in events if kind == "done"]
    first, *rest = done.finished.results
    assert first.detail == why  # the whole traceback once, in the board's record
    assert {r.detail for r in rest} == {"RuntimeError: the fixture broke"}
    [record] = [strict_json(p.read_text()) for p in tmp_path.glob("*.json")]
    assert record["verdict"] == "fixture error" and record["slot"] == "boom"


def test_a_hung_slot_is_cut_at_its_bound_and_its_board_recorded(settings):
    # A slot's process that hangs (in labgrid, on a console that never answers): past its
    # board's bound the station ends it, records the board as a fixture error and goes on.
    line = Line([SlotSetup("hung", local_tool="true")], build_plan(settings.limits), settings)
    hung = line.slots["hung"]
    hung.process = multiprocessing.get_context("fork").Process(target=time.sleep, args=(600,))
    hung.process.start()
    # Its board was switched on 6 s ago, and may take 5 s to its verdict.
    hung.last = SlotStatus("hung", Phase.TESTING, bound_s=5.0, run_uid="4f7c-hung")
    hung.board_since = time.monotonic() - 6
    out = io.StringIO()
    line.show(PlainView(["hung"], out))
    assert line.wait(timeout=60)
    assert hung.process.exitcode == -signal.SIGKILL
    [done] = line.done
    assert done.finished.verdict == "fixture error" and done.finished.run_uid == "4f7c-hung"
    assert "the slot hung: no verdict 5 s after its board's power-on" in \
        done.finished.results[0].detail
    assert "hung" in line.crashes


# -- the line's database away ------------------------------------------------------------------

RETRY_S = 5.0  # the stations' retry window here (their own: 120 s)


@pytest.fixture
def line_server():
    """The line's PostgreSQL, written by a station login."""
    with PgCluster() as cluster:
        db.migrate(db.connect(cluster.create_database()))
        cluster.create_user("line_station", "mcu_station")
        yield cluster


def assert_every_run_in_once(server: PgCluster, run: StationRun) -> None:
    """The server holds each record's run once, with its verdict and its 18 measurements."""
    engine = db.connect(server.url())
    with engine.connect() as conn:
        held = conn.execute(sa.select(db.runs.c.run_uid, db.runs.c.verdict,
                                      sa.func.count(db.measurements.c.id))
                            .join(db.measurements).group_by(db.runs.c.id)).all()
    engine.dispose()
    records = [r for rs in run.records.values() for r in rs]
    assert sorted(held) == sorted((r["run_uid"], r["verdict"], 18) for r in records)


def import_records(folder: Path, url: str) -> tuple[int, int]:
    """records.py import of the folder: how many records it read, how many runs were new."""
    done = subprocess.run([sys.executable, "-m", "station.records", "import", str(folder),
                           "--db", url], capture_output=True, text=True, env=program_env(),
                          timeout=60)
    said = re.fullmatch(r"(\d+) records read, (\d+) new, (\d+) in already\n", done.stdout)
    assert said and int(said[2]) + int(said[3]) == int(said[1]), done
    return int(said[1]), int(said[2])


def put_in(stdout: str) -> int:
    return sum(int(n) for n in re.findall(r"(\d+) spooled runs put in", stdout))


@local_only
def test_a_loop_with_the_database_away_half_way_ends_by_itself_and_loses_nothing(
        local_line, line_server, tmp_path):
    line = local_line([], [])
    url = line_server.url("line_station")
    # One simulated board per slot, tested five times: five tests of its serial number.
    station = line.start("--loop", "5", "--start", "now", "--retests", "5", "--db", url,
                         "--db-retry", str(RETRY_S))
    spool, kept = line.reports / "spool", tmp_path / "spooled"

    def reach(folder: Path, n: int) -> None:
        station.until(lambda _: len(list(folder.glob("*.json"))) >= n, timeout=300)
    with station:
        reach(line.reports, 1)  # one slot's first board done, the other's under test
        line_server.halt()
        halted = time.monotonic()
        # Both slots went on: the boards that ended after the halt (the 3rd to 6th at least)
        # are in the spool. Each slot's 5th board begins with the server back, a whole board
        # later (the slots keep pace within the retry window).
        reach(line.reports, 6)
        reach(spool, 4)
        shutil.copytree(spool, kept)
        line_server.resume()
        away_s = time.monotonic() - halted
        read, live = import_records(line.reports, line_server.url())  # the station goes on
        assert read >= 6
        for _ in range(2):  # the spool's runs are in the folder: in already
            assert import_records(kept, line_server.url()) == (len(list(kept.glob("*.json"))), 0)
        status = station.proc.wait(300)
    run = line.result(station, status, 0.0)
    assert run.status == 0  # the loop ended by itself
    assert sorted(run.records) == ["local1", "local2"] and run.case_count == 10 * 18
    assert re.search(r"^line: 10 boards in 2 slots; ", run.stdout, re.M)
    for i, slot in enumerate(("local1", "local2"), 1):
        records = run.records[slot]
        assert [(r["verdict"], r["serial_number"]) for r in records] == [("pass", sn(i))] * 5
        assert all([m["verdict"] for m in r["measurements"]] == ["pass"] * 18 for r in records)
        assert all(a["end"] <= b["start"] for a, b in zip(records, records[1:]))  # in turn
    # Each board's cases by slot and serial number (tested again: -b2, -b3, ...), each with
    # its board's run id.
    heads = {(props["run_uid"], re.sub(r"-\d\d-\w+\]$", "", name))
             for name, _, props in junit_cases(line.junit)}
    assert heads == {(record["run_uid"], f"test_measurement[{slot}-{sn(i)}{again}")
                     for i, slot in enumerate(("local1", "local2"), 1)
                     for record, again in zip(run.records[slot], ("", "-b2", "-b3", "-b4", "-b5"))}
    # The summary as bench/line_bench.py reads it: new wording there must not break the bench.
    summary = bench_parse_summary(run.stdout, "the station's output")
    assert summary.line.boards == 10 and summary.line.slots == 2
    assert sorted(t.record.name for t in summary.timings) == \
        sorted(name for names in run.record_names.values() for name in names)
    [spooled] = re.findall(r"^(\d+) runs went to the spool", run.stdout, re.M)
    print(f"the server away {away_s:.1f} s; {spooled} runs spooled, {put_in(run.stdout)} "
          f"put in by the station, {live} by the import while it ran")
    assert away_s > RETRY_S and int(spooled) >= 4
    assert list(spool.iterdir()) == []
    assert_every_run_in_once(line_server, run)
    # Each spooled run put in once, by a slot, the station or the import that came first.
    assert put_in(run.stdout) + live == int(spooled)
    said = [text for text in run.stdout.splitlines() if "not answering" in text]
    assert {text.split(":")[0] for text in said} <= {"local1", "local2"}
    assert re.search(r"^local\d: results database .*: answers again; \d+ spooled runs put in$",
                     run.stdout, re.M)
    assert import_records(line.reports, line_server.url()) == (10, 0)
    assert_every_run_in_once(line_server, run)


@local_only
def test_a_station_started_with_its_database_away_spools_until_its_next_start(local_line,
                                                                              line_server):
    line = local_line([], [])
    url = line_server.url("line_station")
    line_server.halt()
    first = line.run("--db", url, "--db-retry", str(RETRY_S))
    assert first.status == 0
    [said] = [text for text in first.stdout.splitlines()
              if text.startswith("station: results database")]
    assert said.startswith(f"station: results database {db.shown(url)}: not answering "
                           "(OperationalError: ") and \
        said.endswith(f"the runs are kept in {line.reports / 'spool'} until it answers")
    spool = line.reports / "spool"
    assert sorted(p.stem for p in spool.glob("*.json")) == \
        sorted(r["run_uid"] for rs in first.records.values() for r in rs)
    assert re.search(rf"^results database .*: still not answering \(.*\); 2 runs wait in "
                     rf"{re.escape(str(spool))} ", first.stdout, re.M)
    line_server.resume()
    second = line.run("--db", url)
    assert second.status == 0
    assert "station: 2 spooled runs put in the results database" in second.stdout
    assert list(spool.iterdir()) == []
    assert_every_run_in_once(line_server, second)


def screen_rows(screen: str, slots: list[str]) -> dict[str, str]:
    lines = screen.splitlines()
    return {slot: "\n".join(lines[r.start:r.stop]) for slot, r in table_rows(lines, slots)}


@local_only
def test_live_view_in_a_terminal_with_the_real_station(local_line):
    slots = ["local1", "local2"]
    line = local_line([], ["--fail", "rs485"])
    run = run_in_tmux(line.command(), line.tmp, (150, 70))
    last = run.screens[-1]
    print(f"{len(run.screens)} screens; the last:\n{last}")
    assert run.status == 1, last
    tables = [rows for s in run.screens if len(rows := screen_rows(s, slots)) == 2]
    running = [rows for rows in tables if "s left" in rows["local1"]]
    # The rows change in place while the boards run: the steps and the seconds left move on.
    steps = {m.group() for rows in running
             for m in [re.search(r"\d+/19 mcu_test", rows["local1"])] if m}
    lefts = {m.group() for rows in running
             for m in [re.search(r"\d+\.\d s left", rows["local1"])] if m}
    assert len(steps) >= 5 and len(lefts) >= 5, (steps, lefts)
    assert any(sn(2) in rows["local2"] and "testing" in rows["local2"] for rows in running)
    # In the end each board's verdict in its own row.
    end = screen_rows(last, slots)
    assert "PASS" in end["local1"] and "18/18 passed" in end["local1"], last
    assert "FAIL" in end["local2"] and "17/18 passed" in end["local2"], last
    assert "testing" not in last
    assert last.count("┏") == 1, "a piece of an earlier table is left on the screen"
    assert "BOARD 0c2205435902 (local2): FAIL, 17 of 18 passed" in last
    assert len(list(line.reports.glob("*.json"))) == 2


@local_only
def test_live_view_of_eight_slots_in_80_by_24_while_they_log(local_line, tmp_path):
    # Eight boards whose tool says something the station does not recognise in every step (a
    # kernel message, on a board's console): the slots log a warning through Python logging.
    # Each slot's row stays on the 80 x 24 screen (one line a slot once the full rows do not
    # fit), no log line tears the table, and the log goes to the station's log file, the
    # warning to the slot's row.
    slots = [f"local{i}" for i in range(1, 9)]
    line = local_line(*[[] for _ in slots])
    noisy = shell_script(tmp_path / "noisy_tool", f"echo '[   12.345678] random: crng init "
                                                  f"done' >&2\nexec {TOOL} \"$@\"\n")
    limits = yaml.safe_load(LIMITS.read_text(encoding="utf-8"))  # three measurements: short
    short = tmp_path / "short.yaml"
    short.write_text(yaml.safe_dump({k: limits[k] for k in ("product", "firmware",
                                                             "serial_number")}))
    run = run_in_tmux(line.command("--limits", str(short), tool=noisy), line.tmp, (80, 24))
    print(f"{len(run.screens)} screens; the last:\n{run.screens[-1]}")
    assert run.status == 0, run.screens[-1]
    whole, noted = 0, set()
    for screen in run.screens:
        lines = screen.splitlines()
        top = next((i for i, text in enumerate(lines) if text.startswith("┏")), None)
        assert "WARNING" not in screen and "crng init done" not in "\n".join(lines[:top]), \
            screen
        if top is None:
            continue
        bottom = next((i for i in range(top, len(lines)) if lines[i].startswith("└")), None)
        table = lines[top:bottom]
        # Only the table's own lines (below them, while it is redrawn, blank ones): nothing
        # written across it, and no row cut off at the screen's bottom.
        assert all(text[:1] in "┏┃┡│└" for text in table if text.strip()), screen
        if bottom is not None:
            whole += 1
            rows = dict(table_rows(lines, slots))
            assert list(rows) == slots, screen
            noted |= {slot for slot, r in rows.items()
                      if any("warning: the tool" in lines[i] for i in r)}
    assert whole >= 3 and noted == set(slots)
    log = (line.reports / "station.log").read_text(encoding="utf-8")
    for slot in slots:
        assert re.search(rf"^\S+ \S+ slot {slot} WARNING station.measurements: the tool's "
                         rf"output not recognised: mcu_test 6: \[ +12.345678\] random: crng "
                         rf"init done$", log, re.M), log
    records = [strict_json(p.read_text()) for p in line.reports.glob("*.json")]
    assert sorted(r["slot"] for r in records) == slots
    assert {r["verdict"] for r in records} == {"pass"}


# -- the virtual line ---------------------------------------------------------------------------

def virtual_line(tmp_path: Path, slots: int, sims: dict[int, str], *extra: str,
                 hostile: dict[int, str] | None = None, line_dir: Path | None = None,
                 stop_when: Callable[[str], bool] | None = None,
                 operator: Callable[[str], None] | None = None) -> StationRun:
    """boards/line.py runs the station on slots 1..N of the virtual line, each with its own
    simulator (options per slot; its output in line_dir/slotN), the consoles paced as a real
    board's UART; hostile: the slots' boards made awkward (boards/hostile.py); stop_when:
    Ctrl-C to the station once its output so far says so; operator: called with the output so
    far, every 0.1 s."""
    reports, junit = tmp_path / "reports", tmp_path / "junit.xml"
    argv = [sys.executable, "-m", "boards.virtual_line", "run", BOARD, "--slots", str(slots),
            "--bps", "115200", "--mcu-sim", SIM, *(["--dir", str(line_dir)] if line_dir else [])]
    for slot, options in sims.items():
        argv += ["--sim", f"{slot}={options}"]
    for slot, options in (hostile or {}).items():
        argv += ["--hostile", f"{slot}={options}"]
    argv += ["--", sys.executable, "-m", "station",
             "--lg-env", str(SOURCE / "boards" / "labgrid" / "line.yaml"),
             "--limits", str(LIMITS), "--report-dir", str(reports), "--junitxml", str(junit),
             "--station-name", "ci"]
    if slots < 4:
        argv += [arg for n in range(1, slots + 1) for arg in ("--slot", f"slot{n}")]
    started = time.monotonic()
    with Spawned([*argv, *extra], tmp_path / "station.out") as line:
        while (stop_when or operator) is not None and line.proc.poll() is None:
            text = line.output()
            if operator is not None:
                operator(text)
            if stop_when is not None and stop_when(text):
                [station] = slot_processes(line.proc.pid)  # the station, not the boards' QEMUs
                os.kill(station, signal.SIGINT)
                break
            assert time.monotonic() - started < 600, "never came to the moment to stop"
            time.sleep(0.1)
        status = line.proc.wait(900)
    return read_run(status, time.monotonic() - started, line.output(), reports, junit)


def assert_console_metered(record: dict) -> None:
    # The board was tested over its console (paced as a UART by line.py's --bps), both ways.
    assert record["transport"].startswith("labgrid shell")
    assert record["console_bytes"]["read"] > 0 and record["console_bytes"]["written"] > 0


virtual_only = pytest.mark.skipif(not BOARD, reason="STATION_BOARD names no virtual board")


LONG_TOOL = "/usr/local/lib/factory-test/board-tools/current/bin/mcu_test"  # 60 characters


def relays_left_on(sim_out: Path) -> dict[int, int]:
    """The relays that the simulator (--decode) was last told to switch on."""
    last = dict(re.findall(r"mcu_relay_control relay=(\d+) value=(\d+)", sim_out.read_text()))
    return {int(r): int(v) for r, v in last.items() if v != "0"}


@virtual_only
def test_virtual_line_of_four_hostile_boards_each_with_its_own_fault(tmp_path):
    # Each board's console as awkward as a real one in its own way, the tool at a long path on
    # every board (busybox's line editor keeps 1,023 characters of a line), and each MCU but
    # slot 3's with a fault of its own: kernel messages every 0.5 s on average and the RS485
    # port failing; 0.1 % of the bytes lost each way and the mains voltage out of range; a
    # quiet console and a good board; a login that is not root and relay 2 stuck. Every value
    # comes through as on the quiet console, and each fault stays its own slot's.
    run = virtual_line(tmp_path, 4, {1: "--fail rs485", 2: "--set voltage=26000",
                                     4: "--fail relay:2"}, "--board-tool", LONG_TOOL, hostile={
        1: f"kmsg:500,seed:1,tool-path:{LONG_TOOL}",
        2: f"lossy:0.001,seed:2,tool-path:{LONG_TOOL}",
        3: f"tool-path:{LONG_TOOL}",
        4: f"login:factory:s3cret,tool-path:{LONG_TOOL}"})
    assert run.status == 1
    assert run.case_count == 4 * 18
    failing = {"slot1": {"rs485_loopback": "fail"}, "slot2": {"mains_voltage": "fail"},
               "slot3": {}, "slot4": {"relay2_on": "fail"}}
    quiet = {m["name"]: m["value"] for m in run.only("slot3")["measurements"]}
    serials = {slot: run.only(slot)["serial_number"] for slot in failing}
    assert len(set(serials.values())) == 4 and None not in serials.values()
    for slot, fails in failing.items():
        record = run.only(slot)
        assert_board(run, slot, fails, serials[slot])
        assert_console_metered(record)
        values = {m["name"]: m["value"] for m in record["measurements"]}
        differ = {k for k in quiet if values[k] != quiet[k]}
        assert differ == ({"serial_number", *fails} if slot != "slot3" else set()), \
            (slot, values, quiet)
    assert value(run.only("slot1"), "rs485_loopback") == 0.0
    assert value(run.only("slot2"), "mains_voltage") == 260.0
    assert value(run.only("slot3"), "mains_voltage") == 230.0
    assert value(run.only("slot4"), "relay2_on") == 0
    assert "s3cret" not in run.stdout


@pytest.fixture
def line_dir():
    """A folder for the virtual line's sockets: short enough for a socket's path."""
    made = Path(tempfile.mkdtemp(prefix="vline.", dir="/tmp"))
    yield made
    shutil.rmtree(made, ignore_errors=True)


@virtual_only
def test_virtual_line_a_stop_mid_step_and_a_board_without_gzip(tmp_path, line_dir):
    # Slot 1's board has no gzip: the preflight says so, no step reaches its MCU, and the
    # run is a fixture error. Slot 2 is stopped while its relay steps run: the running step
    # ends, no further one starts, the teardown switches off every relay the plan switched
    # (the simulator's last word on each is off), and the record says stopped.
    def relay_on(text: str) -> bool:
        return bool(re.search(r"^slot2 \[\s*\d+/18\] relay 1 on ", text, re.M))

    run = virtual_line(tmp_path, 2, {1: "--decode", 2: "--decode"}, hostile={1: "without:gzip"},
                       line_dir=line_dir, stop_when=relay_on)
    assert run.status == 130
    unsupported = run.only("slot1")
    assert unsupported["verdict"] == "fixture error"  # the board's image, not the board
    assert all(m["verdict"] == "error" for m in unsupported["measurements"])
    assert "board image unsupported: no gzip" in unsupported["measurements"][0]["detail"]
    assert "board image unsupported: no gzip" in run.stdout
    [sim1] = (line_dir / "slot1").glob("sim-*.out")
    assert not re.search(r"^\d+ mcu_", sim1.read_text(), re.M)  # no command reached the MCU
    stopped = run.only("slot2")
    assert stopped["verdict"] == "stopped"
    verdicts = [m["verdict"] for m in stopped["measurements"]]
    kept = verdicts.index("not run")
    assert verdicts == ["pass"] * kept + ["not run"] * (18 - kept)
    names = [m["name"] for m in stopped["measurements"]]
    assert names.index("relay1_on") < kept  # judged before the stop
    assert stopped["teardown"] and all(t["status"] == 0 for t in stopped["teardown"])
    [sim2] = (line_dir / "slot2").glob("sim-*.out")
    assert "mcu_relay_control relay=1 value=1" in sim2.read_text()
    assert relays_left_on(sim2) == {}


class PresenceOperator:
    """Takes each tested board out of its slot and puts the next one in, through the virtual
    line's presence inputs; each board goes in only once its slot's board is off."""

    def __init__(self, line_dir: Path, slots: int):
        self.line_dir, self.slots = line_dir, range(1, slots + 1)
        self.out = dict.fromkeys(self.slots, 0)
        self.put_in = dict.fromkeys(self.slots, 0)
        self.powered_when_put_in: list[int] = []

    def __call__(self, text: str) -> None:
        for n in self.slots:
            present = self.line_dir / f"slot{n}.present"
            if len(re.findall(rf"^slot{n} waiting for a board \(\d+ done\)", text, re.M)) > \
                    self.out[n]:
                present.write_text("0\n")
                self.out[n] += 1
            if text.count(f"slot{n}: the board was taken out") > self.put_in[n]:
                if subprocess.run(["pgrep", "-f", f"{self.line_dir}/slot{n}.sock"],
                                  capture_output=True).returncode == 0:
                    self.powered_when_put_in.append(n)  # its QEMU still runs
                present.write_text("1\n")
                self.put_in[n] += 1


@virtual_only
def test_virtual_line_board_after_board(tmp_path, line_dir):
    # Each slot starts its next board once the last one was taken out and the next put in
    # (the fixture's presence input): switched off in between, a fresh QEMU whose simulator
    # has the next serial number.
    operator = PresenceOperator(line_dir, 2)
    run = virtual_line(tmp_path, 2, {}, "--loop", "3", "--start", "presence",
                       line_dir=line_dir, operator=operator)
    assert run.status == 0
    assert operator.put_in == {1: 2, 2: 2} and operator.powered_when_put_in == []
    assert {slot: len(records) for slot, records in run.records.items()} == {"slot1": 3,
                                                                             "slot2": 3}
    serials = [r["serial_number"] for records in run.records.values() for r in records]
    assert len(set(serials)) == 6 and None not in serials
    for slot, records in run.records.items():
        for record, name in zip(records, run.record_names[slot]):
            assert record["verdict"] == "pass" and record["slot"] == slot
            assert name.startswith(record["serial_number"] + "_")
            assert_console_metered(record)
        assert [r["serial_number"] for r in records] == sorted(r["serial_number"]
                                                                for r in records)
    assert sorted(db_runs(run.report_dir, "slot", "verdict")) == \
        [("slot1", "pass")] * 3 + [("slot2", "pass")] * 3


@local_only
def test_one_owner_for_each_console_and_power_switch(tmp_path):
    # Two slots of one environment on one console: refused before anything is powered. A
    # console that another station holds: refused, saying who holds it; free again once that
    # station ends.
    port = tmp_path / "ttyFIXTURE"
    env = tmp_path / "line.yaml"
    env.write_text("targets:\n" + "".join(
        f"  {slot}:\n    resources:\n      RawSerialPort: {{port: {port}, speed: 115200}}\n"
        f"      NetworkPowerPort: {{model: gude, host: 192.0.2.{n}, index: 1}}\n"
        for n, slot in enumerate(["left", "right"], 1)))
    argv = [sys.executable, "-m", "station", "--lg-env", str(env), "--limits", str(LIMITS),
            "--report-dir", str(tmp_path / "reports")]

    def station(*extra: str) -> subprocess.CompletedProcess:
        return subprocess.run([*argv, *extra], capture_output=True, text=True, timeout=60,
                              env=program_env())

    shared = station()
    assert shared.returncode == 2, shared
    assert shared.stderr == (f"station: slots left and right both name RawSerialPort "
                             f"port={port}: one board would be driven by two testers\n")
    assert not list((tmp_path / "reports").glob("*.json"))  # no slot started
    other = Claims("bench-7").take({"east": [f"RawSerialPort port={port}"]})
    try:
        held = station("--slot", "right")
        assert held.returncode == 2, held
        assert re.fullmatch(
            rf"station: slot right: RawSerialPort port={re.escape(str(port))} is held by "
            rf"station bench-7, slot east \(pid {os.getpid()} on \S+, since [-\d: +]+\) "
            rf"\(lock {LOCK_DIR}/mcu-station-[0-9a-f]{{16}}\.lock\)\n", held.stderr), held.stderr
    finally:
        other.release()
    mine = Claims("ci").take({"right": [f"RawSerialPort port={port}",
                                        "NetworkPowerPort model=gude host=192.0.2.2 index=1"]})
    mine.release()
