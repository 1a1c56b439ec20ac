"""The line: every slot tested at once, each in a thread of its own, board after board.

A slot is a place for one board with its own way to the board's shell: a labgrid target of the
line's environment file (its console or SSH, its power), or for development a tool binary run
here in a directory of its own. Each board gets its own verdicts, its own JSON record (named by
its serial number), its own run in the results database (kept measurement by measurement) and
its own row in the operator's view; what happens in one slot never reaches another.
"""

from __future__ import annotations

import threading
import time
import uuid
from dataclasses import dataclass, field
from datetime import datetime, timezone
from pathlib import Path
from typing import Callable, Protocol

from limits import Limits
from measurements import Measurement, Result, Station, Step, Verdict, unjudged
from records import DbRecords, FinishedRun, JsonRecords, RunStart, RunVerdict
from transport import LabgridShell, LocalTool, Transport
from view import Phase, SlotStatus, View


class NoBoard(Exception):
    """The slot's board did not answer: no shell after power-on, or nothing to run."""


@dataclass(frozen=True)
class Settings:
    """What every board of the line is judged and recorded with."""
    station: str
    limits: Limits
    limits_file: str
    limits_sha256: str
    report_dir: Path
    db_engine: object | None  # an SQLAlchemy engine, or None for no database


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
        from board import Board, BoardError

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
    console_at_ready: tuple[int, int] | None = None
    console_bytes: tuple[int, int] | None = None
    station: Station | None = None
    transport: str | None = None
    results: dict[str, Result] = field(default_factory=dict)
    finished: FinishedRun | None = None
    record_path: Path | None = None
    done: threading.Event = field(default_factory=threading.Event)

    @property
    def serial(self) -> str | None:
        r = self.results.get("serial_number")
        return r.value if r is not None and isinstance(r.value, str) else None

    @property
    def passed(self) -> int:
        return sum(r.verdict == Verdict.PASS for r in self.results.values())


class Line:
    """The slots' threads. boards: how many boards each slot tests (None: until stopped).
    Between two boards a slot is switched off, and on again after pause_s."""

    def __init__(self, slots: list[Slot], plan: list[Measurement], settings: Settings,
                 view: View, boards: int | None = 1, unreachable_is_a_board: bool = True,
                 pause_s: float = 0.0):
        self.slots, self.plan, self.settings, self.view = slots, plan, settings, view
        self.boards = boards
        self.pause_s = pause_s  # a slot stays off this long between boards: time to swap
        # One pass: a slot whose board never answers is a board that failed. Board after
        # board: it is a slot still waiting for its board.
        self.unreachable_is_a_board = unreachable_is_a_board
        self.stopping = threading.Event()
        self.runs: dict[str, list[BoardRun]] = {s.name: [] for s in slots}
        self.changed = threading.Condition()
        self.threads: list[threading.Thread] = []
        self.on_finished: Callable[[BoardRun], None] = lambda run: None

    # -- control ------------------------------------------------------------------------------
    def start(self) -> "Line":
        for slot in self.slots:
            t = threading.Thread(target=self._slot_loop, args=(slot,), name=slot.name,
                                 daemon=True)
            self.threads.append(t)
            t.start()
        return self

    def stop(self) -> None:
        """No new board starts; the boards under test stop after their running step and are
        recorded as stopped."""
        self.stopping.set()
        with self.changed:
            self.changed.notify_all()

    def join(self, timeout: float | None = None) -> bool:
        deadline = None if timeout is None else time.monotonic() + timeout
        for t in self.threads:
            t.join(None if deadline is None else max(0.0, deadline - time.monotonic()))
        return not any(t.is_alive() for t in self.threads)

    def result(self, slot: str, m: Measurement) -> Result:
        """The first board's result of m in the slot, once judged (or the board ended)."""
        with self.changed:
            while True:
                runs = self.runs[slot]
                if runs and (m.name in runs[0].results or runs[0].done.is_set()):
                    run = runs[0]
                    break
                self.changed.wait(0.5)
        return run.results.get(m.name) or unjudged(m, Verdict.NOT_RUN, "the run ended before")

    def finished(self) -> list[BoardRun]:
        return [r for runs in self.runs.values() for r in runs if r.finished is not None]

    # -- a slot -------------------------------------------------------------------------------
    def _status(self, run: BoardRun | None, slot: str, phase: Phase, **kw) -> None:
        boards = sum(1 for r in self.runs[slot] if r.finished is not None)
        if run is not None:
            kw.setdefault("serial", run.serial)
            kw.setdefault("passed", run.passed)
            kw.setdefault("judged", len(run.results))
        self.view.update(SlotStatus(slot=slot, phase=phase, total=len(self.plan),
                                    boards=boards, **kw))

    def _slot_loop(self, slot: Slot) -> None:
        count, tries = 0, 0
        try:
            while not self.stopping.is_set() and (self.boards is None or count < self.boards):
                if tries > 0:  # the board before (or no board): off, and the next one on
                    self._status(None, slot.name, Phase.WAITING,
                                 note=f"{count} done" if count else "")
                    try:
                        slot.next_board()
                    except Exception as e:  # a power switch that fails: the slot is out
                        self._status(None, slot.name, Phase.LOST, note=f"power: {e}")
                        return
                    if self.stopping.wait(self.pause_s):
                        break
                tries += 1
                if self._one_board(slot):
                    count += 1
        except Exception as e:  # a fault here must not leave the slot's cases waiting
            self._status(None, slot.name, Phase.LOST, note=f"{type(e).__name__}: {e}")
            self._abandon(slot.name, f"the station failed: {type(e).__name__}: {e}")
            raise
        finally:
            slot.close()

    def _abandon(self, slot: str, why: str) -> None:
        with self.changed:
            for run in self.runs[slot]:
                if not run.done.is_set():
                    for m in self.plan:
                        run.results.setdefault(m.name, unjudged(m, Verdict.ERROR, why))
                    run.done.set()
            if not self.runs[slot]:
                run = BoardRun(slot, self.plan)
                for m in self.plan:
                    run.results[m.name] = unjudged(m, Verdict.ERROR, why)
                run.done.set()
                self.runs[slot].append(run)
            self.changed.notify_all()

    def _one_board(self, slot: Slot) -> bool:
        """Tests the slot's next board; False when no board answered (and none was recorded)."""
        run = BoardRun(slot.name, self.plan)
        self._status(run, slot.name, Phase.BOOTING)
        try:
            transport = slot.connect()
        except NoBoard as e:
            if not self.unreachable_is_a_board:
                self._status(None, slot.name, Phase.WAITING, note=str(e).splitlines()[0])
                self.stopping.wait(1.0)  # a console that fails at once is not asked in a spin
                return False
            with self.changed:
                self.runs[slot.name].append(run)
            why = f"the board's shell is not reachable: {e}"
            for m in self.plan:  # its console log once, with the first measurement
                run.results[m.name] = unjudged(m, Verdict.ERROR, why)
                why = why.splitlines()[0]
            self._status(run, slot.name, Phase.LOST, note=str(e).splitlines()[0])
            self._finish(run, None)
            return True
        with self.changed:
            self.runs[slot.name].append(run)
        run.ready_at = time.monotonic()
        run.ready_s = round(run.ready_at - run.started, 1)
        run.transport = transport.describe()
        run.console_at_ready = transport.console_bytes()
        records = None
        if self.settings.db_engine is not None:
            records = DbRecords(self.settings.db_engine, RunStart(
                run_uid=str(uuid.uuid4()), station=self.settings.station,
                product=self.settings.limits.product, limits_file=self.settings.limits_file,
                limits_sha256=self.settings.limits_sha256, started_at=run.start, slot=slot.name))

        def progress(step: Step, total: int, left: float) -> None:
            self._status(run, slot.name, Phase.TESTING, step=step.number, steps=total,
                         command=step.command, title=step.title, left_s=left)

        def judged(m: Measurement, r: Result) -> None:
            if records is not None:  # kept before anyone sees it
                records.measured(self.plan.index(m) + 1, r)
            with self.changed:
                run.results[m.name] = r
                self.changed.notify_all()
            self.view.say(self._line(run, m, r))
            self._status(run, slot.name, Phase.TESTING)

        run.station = Station(self.plan, transport, progress)
        run.station.run(judged, self.stopping)
        run.judged_at = time.monotonic()
        now = transport.console_bytes()
        if now is not None and run.console_at_ready is not None:
            run.console_bytes = (now[0] - run.console_at_ready[0],
                                 now[1] - run.console_at_ready[1])
        self._finish(run, records)
        return True

    def _finish(self, run: BoardRun, records: DbRecords | None) -> None:
        stopped = self.stopping.is_set() and len(run.results) < len(self.plan)
        station = run.station
        run.finished = FinishedRun(
            product=self.settings.limits.product, limits_file=self.settings.limits_file,
            station=self.settings.station, transport=run.transport, start=run.start,
            end=datetime.now(timezone.utc), duration_s=round(time.monotonic() - run.started, 1),
            board_ready_s=run.ready_s,
            steps_s=round(station.step_seconds, 1) if station else None,
            results=tuple(run.results.get(m.name) or unjudged(m, Verdict.NOT_RUN)
                          for m in self.plan),
            unrecognised=tuple(station.unrecognised) if station else (),
            slot=run.slot, stopped=stopped,
            tool_s=round(station.tool_seconds, 2) if station else None,
            console_bytes=run.console_bytes)
        run.record_path = JsonRecords(self.settings.report_dir)(run.finished)
        if records is not None:
            records.finish(run.finished, RunVerdict.STOPPED if stopped
                           else RunVerdict(run.finished.verdict.value))
        verdict = "stopped" if stopped else run.finished.verdict.value
        self._status(run, run.slot, Phase.STOPPED if stopped else Phase.DONE, verdict=verdict,
                     note=str(run.record_path))
        with self.changed:
            run.done.set()
            self.changed.notify_all()
        self.on_finished(run)

    def _line(self, run: BoardRun, m: Measurement, r: Result) -> str:
        value = "-" if r.value is None else (f"{r.value:g}" if isinstance(r.value, float)
                                             else str(r.value))
        unit = f" {r.unit}" if r.unit and r.value is not None else ""
        limits = ", ".join(f"{k} {v}" for k, v in r.limits.items())
        head = f"{run.slot} " if len(self.slots) > 1 else ""
        return (f"{head}[{self.plan.index(m) + 1:2d}/{len(self.plan)}] {r.title:<24s} "
                f"{value + unit:<16s} ({limits})  {r.verdict.value.upper()}"
                + (f"  {r.detail}" if r.detail else ""))

