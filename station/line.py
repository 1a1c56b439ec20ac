"""The line: every slot tested at once, each in a process of its own, board after board.

A slot is a place for one board with its own way to the board's shell: a labgrid target of the
line's environment file (its console or SSH, its power), or for development a tool binary run
here in a directory of its own. Each slot's process tests its boards and writes each one's
JSON record and database run itself (the database kept measurement by measurement, or, while
it is away, the run kept in the spool beside the records until it answers again); the
station's process starts the slots, shows what they report in the operator's view and collects
each finished run for the JUnit XML and the summary. What happens in one slot never reaches
another: a slot whose process dies is reported, with its traceback, and the others go on.
What a slot's process logs or writes on its standard error goes to the station's log file
(station/logfile.py), a warning also to its row of the view.
"""

from __future__ import annotations

import multiprocessing
import queue
import resource
import signal
import sys
import time
import traceback
import uuid
from dataclasses import dataclass, field
from datetime import datetime, timezone
from pathlib import Path
from typing import Callable, Protocol

from station import db, logfile
from station.limits import Limits
from station.measurements import Measurement, Result, Station, Step, unjudged
from station.records import (DbRecords, FinishedRun, JsonRecords, LeaseKeeper, Recorder,
                             RunStart, Spool)
from station.transport import LabgridShell, LocalTool, Transport
from station.verdicts import RunVerdict, Verdict
from station.view import Phase, SlotStatus, View


class NoBoard(Exception):
    """The slot's board did not answer: no shell after power-on, or nothing to run."""


@dataclass(frozen=True)
class Settings:
    """What every board of the line is judged and recorded with (sent to each slot's
    process)."""
    station: str
    limits: Limits
    limits_file: str
    limits_sha256: str
    report_dir: Path
    db_url: str | None  # an SQLAlchemy URL of a migrated database, or None for no database
    station_version: str | None = None
    db_retry_s: float = db.RETRY_FOR_S  # how long a write is retried, then the spool
    db_away: bool = False  # the database did not answer when the station started


class Slot(Protocol):
    """One place of the line: connect() gives the transport to a board whose shell answers
    (NoBoard when none does), next_board() readies the slot for the next one (its power off:
    connect() powers it on again), close() leaves it."""

    name: str

    def connect(self) -> Transport: ...

    def next_board(self) -> None: ...

    def close(self) -> None: ...


class LabgridSlot:
    """A labgrid target: a board powered through labgrid, its shell on a console or SSH."""

    def __init__(self, name: str, target, tool: str):
        self.name, self.target, self.tool = name, target, tool
        self.board = None

    def connect(self) -> Transport:
        from boards.board import Board, BoardError

        if self.board is None:
            self.board = Board(self.target, name=self.name)
        try:
            self.board.start()
        except BoardError as e:
            raise NoBoard(str(e)) from None
        return LabgridShell(self.board, self.tool)

    def next_board(self) -> None:
        if self.board is not None:
            self.board.next_board()

    def close(self) -> None:
        if self.board is not None:
            self.board.close()


class LocalSlot:
    """A tool binary run on this machine in a directory of its own (its MCU: a simulator's
    link there)."""

    def __init__(self, name: str, tool: str, cwd: str | None):
        self.name, self.tool, self.cwd = name, tool, cwd

    def connect(self) -> Transport:
        return LocalTool(self.tool, self.cwd)

    def next_board(self) -> None:
        pass

    def close(self) -> None:
        pass


@dataclass(frozen=True)
class SlotSetup:
    """How a slot's process reaches its board: a target of a labgrid environment file, or a
    local tool in a directory."""
    name: str
    lg_env: str | None = None
    board_tool: str = "mcu_test"
    local_tool: str | None = None
    local_dir: str | None = None

    def open(self) -> Slot:
        if self.local_tool is not None:
            return LocalSlot(self.name, self.local_tool, self.local_dir)
        from boards import labgrid_adapter as lg

        env = lg.open_environment(self.lg_env)
        return LabgridSlot(self.name, env.get_target(self.name), self.board_tool)


@dataclass(frozen=True)
class BoardDone:
    """A board's finished run as its slot's process reports it to the station."""
    finished: FinishedRun
    record_path: Path | None
    ready_at: float | None   # monotonic (the system's clock, the same in every process)
    judged_at: float | None
    spooled: bool = False    # the database did not take it: it waits in the spool


@dataclass
class BoardRun:
    """One board in one slot, from its power-on to its record."""
    slot: str
    plan: list[Measurement]
    start: datetime = field(default_factory=lambda: datetime.now(timezone.utc))
    started: float = field(default_factory=time.monotonic)
    ready_s: float | None = None
    ready_at: float | None = None  # monotonic: when the shell answered
    judged_at: float | None = None  # monotonic: when the last measurement was judged
    console_bytes: tuple[int, int] | None = None
    station: Station | None = None
    transport: str | None = None
    results: dict[str, Result] = field(default_factory=dict)
    records: DbRecords | None = None  # None before the run begins and while the db is away
    recorded: bool = False  # the run began where the database (or else the spool) keeps it
    lease: LeaseKeeper | None = None
    run_uid: str = field(default_factory=lambda: str(uuid.uuid4()))
    tool_version: str | None = None

    @property
    def serial(self) -> str | None:
        r = self.results.get("serial_number")
        return r.value if r is not None and isinstance(r.value, str) else None

    @property
    def passed(self) -> int:
        return sum(r.verdict == Verdict.PASS for r in self.results.values())


def finish(run: BoardRun, settings: Settings, stopped: bool) -> FinishedRun:
    """The board's one finished run, built from what was judged."""
    station = run.station
    return FinishedRun(
        product=settings.limits.product, limits_file=settings.limits_file,
        station=settings.station, transport=run.transport, start=run.start,
        end=datetime.now(timezone.utc), duration_s=round(time.monotonic() - run.started, 1),
        board_ready_s=run.ready_s,
        steps_s=round(station.step_seconds, 1) if station else None,
        results=tuple(run.results.get(m.name) or unjudged(m, Verdict.NOT_RUN) for m in run.plan),
        unrecognised=tuple(station.unrecognised) if station else (),
        slot=run.slot, stopped=stopped and len(run.results) < len(run.plan),
        tool_s=round(station.tool_seconds, 2) if station else None,
        console_bytes=run.console_bytes, run_uid=run.run_uid,
        limits_sha256=settings.limits_sha256, tool_version=run.tool_version,
        station_version=settings.station_version,
        teardown=tuple(station.teardown) if station else ())


# -- a slot's process -----------------------------------------------------------------------------

class _Reporter:
    """The slot's side of the view: every status and line goes to the station's process."""

    def __init__(self, events):
        self.events = events

    def update(self, status: SlotStatus) -> None:
        self.events.put(("status", status))

    def say(self, text: str) -> None:
        self.events.put(("say", text))

    def warn(self, slot: str, text: str) -> None:
        self.events.put(("warning", text))

    def close(self) -> None:
        pass


class SlotRunner:
    """Tests one slot's boards, one after the other. boards: how many (None: until stopped).
    Between two boards the slot is switched off, and on again after pause_s."""

    def __init__(self, slot: Slot, plan: list[Measurement], settings: Settings, view: View,
                 stopping, boards: int | None = 1, unreachable_is_a_board: bool = True,
                 pause_s: float = 0.0, line_of_several: bool = False,
                 on_done: Callable[[BoardDone], None] = lambda done: None):
        self.slot, self.plan, self.settings, self.view = slot, plan, settings, view
        self.stopping, self.boards, self.pause_s = stopping, boards, pause_s
        # One pass: a slot whose board never answers is a board that failed. Board after
        # board: it is a slot still waiting for its board.
        self.unreachable_is_a_board = unreachable_is_a_board
        self.line_of_several = line_of_several
        self.on_done = on_done
        self.recorder = None
        if settings.db_url:
            self.recorder = Recorder(db.connect(settings.db_url), Spool.of(settings.report_dir),
                                     lambda text: view.say(f"{slot.name}: {text}"),
                                     settings.db_retry_s, away=settings.db_away)
        self.done = 0
        self.current: BoardRun | None = None

    def _status(self, run: BoardRun | None, phase: Phase, **kw) -> None:
        if run is not None:
            kw.setdefault("serial", run.serial)
            kw.setdefault("passed", run.passed)
            kw.setdefault("judged", len(run.results))
            kw.setdefault("run_uid", run.run_uid)
        self.view.update(SlotStatus(slot=self.slot.name, phase=phase, total=len(self.plan),
                                    boards=self.done, **kw))

    def run(self) -> None:
        tries = 0
        try:
            while not self.stopping.is_set() and (self.boards is None
                                                  or self.done < self.boards):
                if tries > 0:  # the board before (or no board): off, and the next one on
                    self._status(None, Phase.WAITING,
                                 note=f"{self.done} done" if self.done else "")
                    try:
                        self.slot.next_board()
                    except Exception as e:  # a power switch that fails: the slot is out
                        self._status(None, Phase.LOST, note=f"power: {e}")
                        return
                    if self.stopping.wait(self.pause_s):
                        break
                tries += 1
                if self._one_board():
                    self.done += 1
        finally:
            self.slot.close()

    def crashed(self, why: str) -> None:
        """The slot's process failed: the board under test (or, before any, a board in the
        slot) is recorded with why, and the slot is shown lost."""
        run = self.current or BoardRun(self.slot.name, self.plan)
        first = why
        for m in self.plan:
            if m.name not in run.results:
                run.results[m.name] = unjudged(m, Verdict.ERROR, first)
                first = why.splitlines()[-1]
        self._finish(run, stopped=False, phase=Phase.LOST,
                     note=f"the slot failed: {why.splitlines()[-1]}")

    def _one_board(self) -> bool:
        """Tests the slot's next board; False when no board answered (and none was recorded)."""
        run = BoardRun(self.slot.name, self.plan)
        self._status(run, Phase.BOOTING)
        try:
            transport = self.slot.connect()
        except NoBoard as e:
            if not self.unreachable_is_a_board:
                self._status(None, Phase.WAITING, note=str(e).splitlines()[0])
                self.stopping.wait(1.0)  # a console that fails at once is not asked in a spin
                return False
            why = f"the board's shell is not reachable: {e}"
            for m in self.plan:  # its console log once, with the first measurement
                run.results[m.name] = unjudged(m, Verdict.ERROR, why)
                why = why.splitlines()[0]
            self._finish(run, stopped=False, phase=Phase.LOST, note=str(e).splitlines()[0])
            return True
        self.current = run
        run.tool_version = transport.tool_build()  # the board's own: each board may differ
        run.ready_at = time.monotonic()
        run.ready_s = round(run.ready_at - run.started, 1)
        run.transport = transport.describe()
        console_at_ready = transport.console_bytes()
        if self.recorder is not None:
            s = self.settings
            run.records = self.recorder.begin(RunStart(
                run_uid=run.run_uid, station=s.station, product=s.limits.product,
                limits_file=s.limits_file, limits_sha256=s.limits_sha256,
                started_at=run.start, slot=self.slot.name, tool_version=run.tool_version,
                station_version=s.station_version))
            run.recorded = True
            if run.records is not None:
                run.lease = LeaseKeeper(run.records)

        def progress(step: Step, total: int, left: float) -> None:
            self._status(run, Phase.TESTING, step=step.number, steps=total,
                         command=step.command, title=step.title, left_s=left)

        def judged(m: Measurement, r: Result) -> None:
            # Its verdict's moment: keeping it and the teardown after the last one are not
            # testing.
            run.judged_at = time.monotonic()
            # Kept before anyone sees it; without the database, the run goes on to the spool.
            if run.records is not None and not self.recorder.measured(
                    run.records, self.plan.index(m) + 1, r):
                run.lease.stop()
                run.records = run.lease = None
            run.results[m.name] = r
            self.view.say(self._line(m, r))
            self._status(run, Phase.TESTING)

        run.station = Station(self.plan, transport, progress)
        run.station.run(judged, self.stopping)
        now = transport.console_bytes()
        if now is not None and console_at_ready is not None:
            run.console_bytes = (now[0] - console_at_ready[0], now[1] - console_at_ready[1])
        self._finish(run, stopped=self.stopping.is_set())
        return True

    def _finish(self, run: BoardRun, stopped: bool, phase: Phase | None = None,
                note: str = "") -> None:
        finished = finish(run, self.settings, stopped)
        path, spooled = None, False
        try:
            path = JsonRecords(self.settings.report_dir)(finished)
        finally:
            if run.lease is not None:
                run.lease.stop()
            if run.recorded:  # after the JSON record, whatever the database does
                spooled = self.recorder.end(run.records, finished)
            self.current = None
            verdict = finished.verdict
            if phase is None:
                phase = Phase.STOPPED if verdict == RunVerdict.STOPPED else Phase.DONE
            self._status(run, phase, verdict=verdict, note=note or str(path or ""))
            self.on_done(BoardDone(finished, path, run.ready_at, run.judged_at, spooled))

    def _line(self, m: Measurement, r: Result) -> str:
        value = "-" if r.value is None else (f"{r.value:g}" if isinstance(r.value, float)
                                             else str(r.value))
        unit = f" {r.unit}" if r.unit and r.value is not None else ""
        limits = ", ".join(f"{k} {v}" for k, v in r.limits.items())
        head = f"{self.slot.name} " if self.line_of_several else ""
        return (f"{head}[{self.plan.index(m) + 1:2d}/{len(self.plan)}] {r.title:<24s} "
                f"{value + unit:<16s} ({limits})  {r.verdict.value.upper()}"
                + (f"  {r.detail}" if r.detail else ""))


def slot_process(setup: SlotSetup, plan: list[Measurement], settings: Settings, options: dict,
                 events, stopping) -> None:
    """A slot's process: its boards until done or stopped. The operator's Ctrl-C reaches the
    station's process, which sets `stopping`; here it is ignored, so that the step running on
    the board ends and the board is recorded as stopped."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    runner = None
    try:
        runner = SlotRunner(setup.open(), plan, settings, _Reporter(events), stopping,
                            on_done=lambda done: events.put(("done", done)), **options)
        runner.run()
    except BaseException:  # noqa: BLE001 -- whatever it was, the board gets its record
        why = traceback.format_exc()
        events.put(("crashed", why))
        if runner is not None:
            try:
                runner.crashed(why)
            except BaseException:  # noqa: BLE001 -- the station's process records it then
                events.put(("crashed", traceback.format_exc()))
                return
        raise SystemExit(3)
    finally:
        cpu = resource.getrusage(resource.RUSAGE_SELF)
        events.put(("ended", cpu.ru_utime + cpu.ru_stime))


def slot_main(setup: SlotSetup, plan: list[Measurement], settings: Settings, options: dict,
              events, stopping) -> None:
    """A slot's process as the line starts it: what it logs or writes on its standard error
    goes to the station's log file (and a warning to its row), never across the view."""
    logfile.slot_to_file(settings.report_dir, setup.name,
                         lambda text: events.put(("warning", text)))
    slot_process(setup, plan, settings, options, events, stopping)


# -- the station's side -----------------------------------------------------------------------

@dataclass
class _SlotProcess:
    setup: SlotSetup
    process: multiprocessing.Process
    ended: bool = False
    last: SlotStatus | None = None
    crash: str = ""  # why its process failed, the first time it said (or was found) so


class Line:
    """The slots' processes, and what they report: the view, the finished boards. start()
    forks them, before this process has a thread of its own (the view's comes after)."""

    def __init__(self, setups: list[SlotSetup], plan: list[Measurement], settings: Settings,
                 boards: int | None = 1, unreachable_is_a_board: bool = True,
                 pause_s: float = 0.0):
        self.plan, self.settings = plan, settings
        self.view: View | None = None
        ctx = multiprocessing.get_context("fork")
        self.events = ctx.Queue()
        self.stopping = ctx.Event()
        options = {"boards": boards, "unreachable_is_a_board": unreachable_is_a_board,
                   "pause_s": pause_s, "line_of_several": len(setups) > 1}
        self.slots: dict[str, _SlotProcess] = {}
        for setup in setups:
            queue_of_slot = _Tagged(self.events, setup.name)
            proc = ctx.Process(target=slot_main, name=f"slot {setup.name}",
                               args=(setup, plan, settings, options, queue_of_slot,
                                     self.stopping))
            self.slots[setup.name] = _SlotProcess(setup, proc)
        self.done: list[BoardDone] = []
        self.slot_cpu_s = 0.0  # the slots' processes' own CPU time (not the tools')

    @property
    def crashes(self) -> dict[str, str]:
        """Why each slot whose process failed failed, by slot."""
        return {name: s.crash for name, s in self.slots.items() if s.crash}

    def start(self) -> "Line":
        sys.stdout.flush()  # nothing buffered here is written again by a slot's process
        sys.stderr.flush()
        for s in self.slots.values():
            s.process.start()
        return self

    def show(self, view: View) -> None:
        """Where what the slots report goes."""
        self.view = view

    def stop(self) -> None:
        """No new board starts; the boards under test stop after their running step and are
        recorded as stopped."""
        self.stopping.set()

    def wait(self, timeout: float | None = None) -> bool:
        """Shows what the slots report until every slot's process has ended (True) or
        timeout seconds have passed (False)."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            left = None if deadline is None else deadline - time.monotonic()
            if left is not None and left <= 0:
                return False
            try:
                slot, (kind, item) = self.events.get(timeout=min(0.2, left or 0.2))
                self._take(self.slots[slot], kind, item)
            except queue.Empty:
                pass
            if all(self._over(s) for s in self.slots.values()):
                return True

    def _drain(self) -> None:
        while True:
            try:
                slot, (kind, item) = self.events.get_nowait()
            except queue.Empty:
                return
            self._take(self.slots[slot], kind, item)

    def _take(self, s: _SlotProcess, kind: str, item) -> None:
        if kind == "status":
            s.last = item
            self.view.update(item)
        elif kind == "say":
            self.view.say(item)
        elif kind == "warning":
            self.view.warn(s.setup.name, item)
        elif kind == "done":
            self.done.append(item)
        elif kind == "crashed":
            s.crash = s.crash or item
            self.view.say(f"{s.setup.name}: the slot's process failed:\n{item}")
        elif kind == "ended":
            s.ended = True
            self.slot_cpu_s += item

    def _over(self, s: _SlotProcess) -> bool:
        if s.process.is_alive():
            return False
        s.process.join()
        self._drain()  # what it said before it ended is in the queue by now
        if not s.ended:
            # Gone without a word (killed, or the interpreter itself failed): its board is
            # recorded here, from what the station knows.
            s.ended = True
            why = (f"the slot's process ended with exit code {s.process.exitcode}"
                   + (f" after:\n{s.crash}" if s.crash else ""))
            s.crash = s.crash or why
            self.view.say(f"{s.setup.name}: {why}")
            self._record_lost_slot(s, why)
        return True

    def _record_lost_slot(self, s: _SlotProcess, why: str) -> None:
        if s.last is not None and s.last.phase in (Phase.DONE, Phase.STOPPED, Phase.LOST):
            return  # its last board has its record; none was under test
        run = BoardRun(s.setup.name, self.plan)
        if s.last is not None and s.last.run_uid:  # the record of the run the slot began
            run.run_uid = s.last.run_uid
        for m in self.plan:
            run.results[m.name] = unjudged(m, Verdict.ERROR, why)
            why = why.splitlines()[0]
        finished = finish(run, self.settings, stopped=False)
        path = JsonRecords(self.settings.report_dir)(finished)
        self.view.update(SlotStatus(slot=s.setup.name, phase=Phase.LOST, total=len(self.plan),
                                    verdict=finished.verdict, note=str(path)))
        self.done.append(BoardDone(finished, path, None, None))


class _Tagged:
    """A slot's end of the events queue: each item carries the slot's name."""

    def __init__(self, events, slot: str):
        self.events, self.slot = events, slot

    def put(self, item) -> None:
        self.events.put((self.slot, item))
