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
import threading
import time
import traceback
import uuid
from dataclasses import dataclass, field
from datetime import datetime, timezone
from enum import StrEnum
from pathlib import Path
from typing import Callable, Protocol

from boards import labgrid_adapter as lg
from boards.board import Board, BoardError, FixtureError
from station import db, logfile
from station.limits import Limits
from station.measurements import Measurement, Result, Station, Step, unjudged
from station.records import (DbRecords, FinishedRun, JsonRecords, LeaseKeeper, Recorder,
                             RunStart, Spool)
from station.transport import LabgridShell, LocalTool, Transport
from station.verdicts import RunVerdict, Verdict
from station.view import Phase, SlotStatus, View


class NoBoard(Exception):
    """The slot's board did not answer: no shell after power-on. The board's failure."""


class FixtureFailed(Exception):
    """The slot's own hardware failed (its power switch, its console): not the board's."""


class Start(StrEnum):
    """What starts a slot's next board in loop mode."""
    KEY = "key"            # the operator's key for the slot (Enter on a station of one slot)
    PRESENCE = "presence"  # the fixture's presence input: a board put in
    NOW = "now"            # at once: a handler that loads the boards itself


# Fixture errors in a row that take a slot out of service.
OUT_OF_SERVICE_AFTER = 3
# Beyond its boot's and its steps' own bounds, what a board's run may take before its slot
# counts as hung: the console's round trips, switching off.
HANG_MARGIN_S = 30.0


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
    retests: int = 2  # how often one serial number may be tested on the line


class Slot(Protocol):
    """One place of the line: connect() gives the transport to a board whose shell answers
    (NoBoard when none does, FixtureFailed when the slot's hardware fails), next_board()
    readies the slot for the next one (its power off: connect() powers it on again; or
    FixtureFailed), present() says whether the fixture sees a board (None: it cannot tell),
    close() leaves it."""

    name: str

    def connect(self) -> Transport: ...

    def next_board(self) -> None: ...

    def present(self) -> bool | None: ...

    def boot_bound_s(self) -> float: ...

    def close(self) -> None: ...


class LabgridSlot:
    """A labgrid target: a board powered through labgrid, its shell on a console or SSH."""

    def __init__(self, name: str, target, tool: str):
        self.name, self.target, self.tool = name, target, tool
        self.board = None

    def connect(self) -> Transport:
        if self.board is None:
            self.board = Board(self.target, name=self.name)
        try:
            self.board.start()
        except FixtureError as e:
            raise FixtureFailed(str(e)) from None
        except BoardError as e:
            raise NoBoard(str(e)) from None
        return LabgridShell(self.board, self.tool)

    def next_board(self) -> None:
        if self.board is not None:
            try:
                self.board.next_board()
            except FixtureError as e:
                raise FixtureFailed(str(e)) from None

    def present(self) -> bool | None:
        return lg.presence(self.target)

    def boot_bound_s(self) -> float:
        return lg.boot_bound_s(self.target)

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

    def present(self) -> None:
        return None

    def boot_bound_s(self) -> float:
        return 0.0

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
    fault: RunVerdict | None = None  # no boot, fixture error, refused: the plan did not run
    retest: int | None = None  # which test of its serial number on the line (0: the first)
    scanned: str | None = None  # the serial number on its label, as the operator scanned it

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
        teardown=tuple(station.teardown) if station else (), fault=run.fault,
        retest=run.retest, scanned_serial=run.scanned)


def not_judged(run: BoardRun, why: str, short: str, fault: RunVerdict) -> None:
    """A run that ended for a fault of its own: every measurement not judged yet an error,
    the first with the whole of why (a console log, a traceback), the others with short."""
    for m in run.plan:
        if m.name not in run.results:
            run.results[m.name] = unjudged(m, Verdict.ERROR, why)
            why = short
    run.fault = fault


# -- a slot's process -----------------------------------------------------------------------------

class Either:
    """Set when either event is (what Station.run asks of its stop)."""

    def __init__(self, *events):
        self.events = events

    def is_set(self) -> bool:
        return any(e.is_set() for e in self.events)


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
    """Tests one slot's boards, one after the other; boards: how many (None: until stopped).
    One pass: the board in the slot now. Board after board (looping): after each board the
    slot is switched off and waits until its next board is started (start; go: the operator's
    words for this slot). A board that never reaches its shell is recorded as no boot, a slot
    whose own hardware fails as a fixture error; after OUT_OF_SERVICE_AFTER of those in a row
    the slot is out of service until the operator brings it back (nobody can with Start.NOW:
    the slot ends)."""

    def __init__(self, slot: Slot, plan: list[Measurement], settings: Settings, view: View,
                 stopping, boards: int | None = 1, looping: bool = False,
                 start: Start = Start.NOW, go=None, pause_s: float = 0.0,
                 line_of_several: bool = False, key: str = "1",
                 on_done: Callable[[BoardDone], None] = lambda done: None):
        self.slot, self.plan, self.settings, self.view = slot, plan, settings, view
        self.stopping, self.boards, self.pause_s = stopping, boards, pause_s
        self.looping, self.start, self.go, self.key = looping, start, go, key
        self.line_of_several = line_of_several
        self.on_done = on_done
        self.recorder = None
        if settings.db_url:
            self.recorder = Recorder(db.connect(settings.db_url), Spool.of(settings.report_dir),
                                     lambda text: view.say(f"{slot.name}: {text}"),
                                     settings.db_retry_s, away=settings.db_away)
        self.done = 0
        self.scanned: str | None = None  # the next board's label, scanned by the operator
        self.started = False  # the operator's word came already: the next board starts
        self.fixture_errors = 0  # in a row
        self.current: BoardRun | None = None
        # A board's bound, from its power-on (or the last one's switching off) to its verdict:
        # the boot, and each step and the teardown to its own bound, with a margin for the
        # console's round trips. Past it the station cuts the slot as hung.
        self.bound_s = slot.boot_bound_s() + HANG_MARGIN_S + Station(plan, None).bound_s

    def _status(self, run: BoardRun | None, phase: Phase, **kw) -> None:
        if run is not None:
            kw.setdefault("serial", run.serial)
            kw.setdefault("passed", run.passed)
            kw.setdefault("judged", len(run.results))
            kw.setdefault("run_uid", run.run_uid)
        self.view.update(SlotStatus(slot=self.slot.name, phase=phase, total=len(self.plan),
                                    boards=self.done, bound_s=self.bound_s, **kw))

    def run(self) -> None:
        try:
            while not self.stopping.is_set() and (self.boards is None
                                                  or self.done < self.boards):
                why = self._switch_off() if self.looping and self.done else None
                if why is None and self.looping and not self._started():
                    break
                if why is not None:
                    verdict = self._fault(BoardRun(self.slot.name, self.plan),
                                          RunVerdict.FIXTURE_ERROR, why)
                else:
                    verdict = self._one_board()
                self.done += 1
                self._forget_words()  # keys pressed while a board was tested start nothing
                if verdict != RunVerdict.FIXTURE_ERROR:
                    self.fixture_errors = 0
                    continue
                self.fixture_errors += 1
                if self.fixture_errors >= OUT_OF_SERVICE_AFTER and not self._back_in_service():
                    break
        finally:
            self.slot.close()

    def _switch_off(self) -> str | None:
        """The last board off; why not, when the fixture failed."""
        self._status(None, Phase.SWITCHING_OFF)
        try:
            self.slot.next_board()
            return None
        except FixtureFailed as e:
            return f"the slot's fixture failed: {e}"

    def _started(self) -> bool:
        """Waits for the next board's start; False when the station stops first. An empty
        slot is never switched on: it waits switched off."""
        if self.start == Start.NOW:
            return not self.stopping.wait(self.pause_s if self.done else 0)
        if self.started:  # the key that brought the slot back into service
            self.started = False
            return not self.stopping.is_set()
        if self.start == Start.PRESENCE:
            note = "put a board in" + (" (or press its key to test this one again)"
                                       if self.done else "")
        else:
            note = ("press Enter to start, or scan the board's label" if not self.line_of_several
                    else f"press {self.key} to start (its label scanned first, if it has one)")
        self._status(None, Phase.WAITING, note=note)
        removed = self.done == 0  # the last board must leave before a board's presence counts
        while not self.stopping.is_set():
            if self._said_go(0.2):
                return True
            if self.start == Start.PRESENCE:
                present = self.slot.present()
                if not present and not removed:
                    removed = True
                    self.view.say(f"{self.slot.name}: the board was taken out")
                elif present and removed:
                    return True
        return False

    def _said_go(self, timeout: float) -> bool:
        """Whether the operator said go within timeout (with the label scanned, if any)."""
        if self.go is None:
            self.stopping.wait(timeout)
            return False
        try:
            self.scanned = self.go.get(timeout=timeout) or None
            return True
        except queue.Empty:
            return False

    def _forget_words(self) -> None:
        while self.go is not None:
            try:
                self.go.get_nowait()
            except queue.Empty:
                return

    def _back_in_service(self) -> bool:
        """The slot out of service: True once the operator brings it back."""
        self._status(None, Phase.OUT_OF_SERVICE,
                     note=f"{self.fixture_errors} fixture errors in a row"
                          + ("" if self.go is None else
                             f"; {self.key} brings it back and starts its board"))
        self.view.say(f"{self.slot.name}: out of service after {self.fixture_errors} fixture "
                      "errors in a row")
        if self.go is None:
            return False
        while not self.stopping.is_set():
            if self._said_go(0.2):
                self.fixture_errors = 0
                self.started = True  # and its board starts
                self.view.say(f"{self.slot.name}: back in service")
                return True
        return False

    def crashed(self, why: str) -> None:
        """The slot's process failed: the board under test (or, before any, a board in the
        slot) is recorded as a fixture error with why, and the slot is shown lost."""
        run = self.current or BoardRun(self.slot.name, self.plan)
        not_judged(run, why, why.splitlines()[-1], RunVerdict.FIXTURE_ERROR)
        self._finish(run, stopped=False, phase=Phase.LOST,
                     note=f"the slot failed: {why.splitlines()[-1]}")

    def _begin_record(self, run: BoardRun) -> None:
        if self.recorder is None:
            return
        s = self.settings
        run.records = self.recorder.begin(RunStart(
            run_uid=run.run_uid, station=s.station, product=s.limits.product,
            limits_file=s.limits_file, limits_sha256=s.limits_sha256,
            started_at=run.start, slot=self.slot.name, tool_version=run.tool_version,
            station_version=s.station_version))
        run.recorded = True
        if run.records is not None:
            run.lease = LeaseKeeper(run.records)

    def _fault(self, run: BoardRun, verdict: RunVerdict, why: str) -> RunVerdict:
        """A board whose plan never ran: no boot, or a fixture error. Its console log (in why)
        once, with the first measurement."""
        self._begin_record(run)
        not_judged(run, why, why.splitlines()[0], verdict)
        return self._finish(run, stopped=False, note=why.splitlines()[0])

    def _one_board(self) -> RunVerdict:
        """Tests the slot's next board: its run's verdict."""
        run = BoardRun(self.slot.name, self.plan, scanned=self.scanned)
        self.scanned = None
        self._status(run, Phase.BOOTING)
        try:
            transport = self.slot.connect()
        except NoBoard as e:
            return self._fault(run, RunVerdict.NO_BOOT, f"the board's shell is not reachable: {e}")
        except FixtureFailed as e:
            return self._fault(run, RunVerdict.FIXTURE_ERROR, f"the slot's fixture failed: {e}")
        self.current = run
        run.tool_version = transport.tool_build()  # the board's own: each board may differ
        run.ready_at = time.monotonic()
        run.ready_s = round(run.ready_at - run.started, 1)
        run.transport = transport.describe()
        console_at_ready = transport.console_bytes()

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
            if m.name == "serial_number" and r.verdict == Verdict.PASS:
                self._check_serial(run, r.value, halt)

        halt = threading.Event()  # no further step for this board: run.fault says why
        run.station = Station(self.plan, transport, progress)
        # the run's record begins while the board starts its plan
        run.station.run(judged, Either(self.stopping, halt), lambda: self._begin_record(run))
        if run.station.lost_before_a_step:  # the console, or the board's image: no step ran
            run.fault = RunVerdict.FIXTURE_ERROR
        now = transport.console_bytes()
        if now is not None and console_at_ready is not None:
            run.console_bytes = (now[0] - console_at_ready[0], now[1] - console_at_ready[1])
        return self._finish(run, stopped=self.stopping.is_set())

    def _check_serial(self, run: BoardRun, serial: str, halt: threading.Event) -> None:
        """The serial number the MCU reports, against the label scanned and against the
        line's tests of it: a board whose label differs is the wrong board, one tested as
        often as the line allows is refused; either way its plan stops there."""
        if run.scanned is not None and run.scanned.lower() != serial.lower():
            run.fault = RunVerdict.WRONG_BOARD
            halt.set()
            self.view.say(f"{self.slot.name}: wrong board: its label says {run.scanned}, its "
                          f"MCU {serial}")
            return
        tests = self.recorder.tests_of(serial) if self.recorder is not None else None
        if tests is None:
            return
        run.retest = tests
        if tests >= self.settings.retests:
            run.fault = RunVerdict.REFUSED
            halt.set()
            self.view.say(f"{self.slot.name}: board {serial} refused: tested {tests} times on "
                          f"this line already (--retests {self.settings.retests})")

    def _finish(self, run: BoardRun, stopped: bool, phase: Phase | None = None,
                note: str = "") -> RunVerdict:
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
        return verdict

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
    the board ends and the board is recorded as stopped. A SIGTERM or SIGHUP (a service stop
    sends it to every process) is a stop as well."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    for stop_signal in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(stop_signal, lambda *_: stopping.set())
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
    go: object = None  # its queue of the operator's words; None when nothing waits for them
    ended: bool = False
    last: SlotStatus | None = None
    crash: str = ""  # why its process failed, the first time it said (or was found) so
    out_of_service: int = 0  # times it went out of service
    board_since: float | None = None  # monotonic: since when its board is under test


class Line:
    """The slots' processes, and what they report: the view, the finished boards. start()
    forks them, before this process has a thread of its own (the view's comes after)."""

    def __init__(self, setups: list[SlotSetup], plan: list[Measurement], settings: Settings,
                 boards: int | None = 1, looping: bool = False, start: Start = Start.NOW,
                 pause_s: float = 0.0):
        self.plan, self.settings = plan, settings
        self.view: View | None = None
        ctx = multiprocessing.get_context("fork")
        self.events = ctx.Queue()
        self.stopping = ctx.Event()
        self.slots: dict[str, _SlotProcess] = {}
        for key, setup in enumerate(setups, 1):
            go = ctx.Queue() if looping and start != Start.NOW else None
            options = {"boards": boards, "looping": looping, "start": start, "go": go,
                       "pause_s": pause_s, "line_of_several": len(setups) > 1,
                       "key": str(key)}
            queue_of_slot = _Tagged(self.events, setup.name)
            proc = ctx.Process(target=slot_main, name=f"slot {setup.name}",
                               args=(setup, plan, settings, options, queue_of_slot,
                                     self.stopping))
            self.slots[setup.name] = _SlotProcess(setup, proc, go)
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

    def say_go(self, slot: str, scanned: str | None = None) -> bool:
        """The operator's word for a slot: start its next board (whose label says the serial
        number scanned, if any), or bring it back into service. False when the slot takes no
        such word."""
        s = self.slots.get(slot)
        if s is None or s.go is None or s.ended:
            return False
        s.go.put(scanned or "")
        return True

    @property
    def out_of_service(self) -> list[str]:
        """The slots that went out of service (whether brought back or not)."""
        return [name for name, s in self.slots.items() if s.out_of_service]

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
            self._cut_hung()
            if all(self._over(s) for s in self.slots.values()):
                return True

    def _cut_hung(self) -> None:
        """A slot whose board has had no verdict within its bound hangs (in labgrid, on a
        console that never answers): its process is ended, and its board recorded."""
        now = time.monotonic()
        for s in self.slots.values():
            bound = s.last.bound_s if s.last is not None else None
            if (s.board_since is not None and bound and now - s.board_since > bound
                    and s.process.is_alive()):
                s.crash = s.crash or (f"the slot hung: no verdict {bound:.0f} s after its "
                                      "board's power-on")
                s.process.kill()

    def _drain(self) -> None:
        while True:
            try:
                slot, (kind, item) = self.events.get_nowait()
            except queue.Empty:
                return
            self._take(self.slots[slot], kind, item)

    def _take(self, s: _SlotProcess, kind: str, item) -> None:
        if kind == "status":
            if item.phase == Phase.OUT_OF_SERVICE and (s.last is None
                                                       or s.last.phase != item.phase):
                s.out_of_service += 1
            if item.phase in (Phase.SWITCHING_OFF, Phase.BOOTING, Phase.TESTING):
                s.board_since = s.board_since or time.monotonic()
            else:
                s.board_since = None
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
        not_judged(run, why, why.splitlines()[0], RunVerdict.FIXTURE_ERROR)
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
