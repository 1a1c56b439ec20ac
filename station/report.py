#!/usr/bin/python3
"""The line's yield report: one self-contained HTML page from the results database.

    /usr/bin/python3 -m station.report --db URL --out report.html [--serial SN] [--timing]
        [--since WHEN] [--until WHEN] [--station NAME] [--product NAME] [--limits-sha HASH]

The page holds the line's cards (runs, boards, first-pass, final and run yield, retest rate,
aborted runs), yields per station, day and slot, the stations' throughput per day, a Pareto
chart of the failing measurements with the console's and the fixture's faults apart, and per
numeric measurement and limits file a histogram, its capability and a control chart; with
--serial, one board's history. Plots are inline SVG (matplotlib), the style sheet is inline:
the file needs nothing else to be read. What each figure counts is DEFINITIONS below, which
the page shows and docs/records.md repeats word for word. Runs without a verdict are running
or aborted at one moment, read once from the database's clock.

Counts are aggregated in SQL (window functions find each board's first and last finished
run); the values of the numeric measurements are summarised in SQL, then streamed once in
time order: each station's values of a measurement make its control chart and fill the
histogram, then are let go, and a chart keeps at most CHART_POINTS points to draw, so that
the memory does not grow with the runs. The same Core queries serve SQLite and PostgreSQL;
the one difference, the UTC day of a time, is a small compiled construct below.
"""

from __future__ import annotations

import argparse
import csv
import html
import io
import json
import math
import statistics
import sys
import time
from array import array
from collections import defaultdict
from dataclasses import dataclass, field
from datetime import date, datetime, timedelta, timezone
from enum import Enum
from pathlib import Path
from typing import TYPE_CHECKING

import sqlalchemy as sa
from sqlalchemy.exc import DBAPIError, SQLAlchemyError
from sqlalchemy.ext.compiler import compiles
from sqlalchemy.sql.functions import FunctionElement

from station import db
from station.verdicts import RunVerdict, Verdict

if TYPE_CHECKING:
    import numpy


class ReportError(Exception):
    """A report that cannot be made; the text names the database (password hidden), the
    option or the serial number at fault."""


# -- what is counted --------------------------------------------------------------------------

DEFINITIONS: list[tuple[str, str]] = [
    ("Finished run", "a run with the verdict pass or fail (including no boot, wrong board "
     "(the label scanned and the MCU's serial number differ) and fixture error, reported "
     "apart: a fixture error is not a board's failure). Stopped, refused (a board tested as "
     "often as the line allows) and aborted runs are not finished; a run without a verdict "
     "(the station died, or it is still going on) is never a pass. Whether a run without a "
     "verdict is still running or aborted is judged at one moment for the whole page, which "
     "it names."),
    ("Board", "a serial number that the station read and judged valid. Runs without one (no "
     "serial number read, or an invalid one such as 000000000000, which every unprogrammed "
     "board reads) belong to no board: they are in the run counts only."),
    ("First-pass yield", "boards whose first finished run, at any station, passed / boards "
     "with at least one finished run. Per station and per day: counted at the station and on "
     "the UTC day of that first run. A fixture error is no run of its board here, nor in the "
     "final yield and the retests: a board's first and last finished runs are taken among "
     "its other finished runs."),
    ("Final yield", "boards whose last finished run passed / boards with at least one "
     "finished run."),
    ("Run yield", "passed runs / finished runs."),
    ("Retest rate", "finished runs that were not their board's first finished run / "
     "finished runs."),
    ("Slot", "a slot stands out when its share of failed runs among its finished runs is "
     "above that of the other slots of its station together by more than three standard "
     "errors: z = (p_slot − p_others) / √(p (1 − p) (1/n_slot + 1/n_others)) > 3, p being "
     "the station's share."),
    ("Failing measurements", "the verdicts fail, no answer and bad checksum are the board's "
     "failures; error (the tool could not run or could not use the console) is a console or "
     "transport fault, counted apart. In every run, aborted ones too; not run is no failure. "
     "Runs whose board did not boot (no boot) are the board's failures, runs with a fixture "
     "error console, transport or fixture faults, each a bar of its own."),
    ("Capability", "over every value of a numeric measurement in finished runs (not only "
     "passed ones): the mean, the sample standard deviation σ, Cpk = min(high − mean, "
     "mean − low) / (3 σ) (one-sided with one limit), and the values out of limits as a "
     "count and in parts per million. A measurement is numeric when its limits file gives it "
     "a unit (a range); the firmware version, states and texts are not. Values without "
     "spread (all equal, to within 1e-9 of their size) get no Cpk."),
    ("Control chart", "individuals and moving ranges per station, in the order the runs "
     "started, over the values of finished runs: the centre line is the mean, the control "
     "limits mean ± 2.66 · MR̄ (MR̄ the mean moving range) and UCL_MR = 3.267 · MR̄. When "
     "the limits file changed (another SHA-256), its histogram, capability and control "
     "chart are drawn per limits file, never mixed."),
    ("Boards per hour", "a station's finished runs on a UTC day / the hours from the start "
     "of the first of them to the end of the last (pauses included). Test time: the tool's "
     "runs, transport included (steps_s); its median over the same runs."),
]


class Counted(Enum):
    """What a run's outcome counts as."""

    PASSED = "passed"
    FAILED = "failed"          # the board failed
    NOT_THE_BOARDS = "not the board's"  # finished, but the fixture failed: apart
    UNFINISHED = "unfinished"  # in no yield


class Fault(Enum):
    """Whose failure a measurement's verdict is."""

    NONE = "none"
    BOARD = "board"
    CONSOLE = "console"  # the tool or the console, not the board


# Every verdict counted here, in one place; a verdict that the station adds must join (the
# import refuses one left out).
RUN_COUNTS = {RunVerdict.PASS: Counted.PASSED, RunVerdict.FAIL: Counted.FAILED,
              RunVerdict.NO_BOOT: Counted.FAILED, RunVerdict.WRONG_BOARD: Counted.FAILED,
              RunVerdict.FIXTURE_ERROR: Counted.NOT_THE_BOARDS,
              RunVerdict.STOPPED: Counted.UNFINISHED, RunVerdict.REFUSED: Counted.UNFINISHED,
              RunVerdict.ABORTED: Counted.UNFINISHED}
FAULTS = {Verdict.PASS: Fault.NONE, Verdict.NOT_RUN: Fault.NONE, Verdict.FAIL: Fault.BOARD,
          Verdict.NO_ANSWER: Fault.BOARD, Verdict.BAD_CHECKSUM: Fault.BOARD,
          Verdict.ERROR: Fault.CONSOLE}
# Whole runs in the Pareto chart, beside the measurements: a board that never booted has no
# measurement that failed, a fixture error none that is the board's.
RUN_FAULTS = {RunVerdict.NO_BOOT: (Fault.BOARD, "the board did not boot (runs)"),
              RunVerdict.WRONG_BOARD: (Fault.BOARD, "label and MCU differ (runs)"),
              RunVerdict.FIXTURE_ERROR: (Fault.CONSOLE, "fixture error (runs)")}
for _enum, _counts in ((RunVerdict, RUN_COUNTS), (Verdict, FAULTS)):
    _left_out = [v.value for v in _enum if v not in _counts]
    if _left_out:
        raise ImportError(f"report.py: {_enum.__name__} {', '.join(_left_out)} counted nowhere")


def verdicts_of(kind: Counted | Fault) -> tuple[str, ...]:
    if isinstance(kind, Counted):
        return tuple(v.value for v, k in RUN_COUNTS.items() if k is kind)
    return tuple(v.value for v, k in FAULTS.items() if k is kind) + \
        tuple(v.value for v, (k, _) in RUN_FAULTS.items() if k is kind)


PASSED, FAILED = verdicts_of(Counted.PASSED), verdicts_of(Counted.FAILED)
NOT_THE_BOARDS = verdicts_of(Counted.NOT_THE_BOARDS)
JUDGED = PASSED + FAILED            # the board's own: in its first-pass and final yield
FINISHED = JUDGED + NOT_THE_BOARDS
BOARD_FAULTS, CONSOLE_FAULTS = verdicts_of(Fault.BOARD), verdicts_of(Fault.CONSOLE)
SERIAL_NUMBER = "serial_number"  # the measurement that says which board it is
NO_SPREAD = 1e-9   # values closer than this share of their size are equal
SLOT_Z = 3.0       # standard errors above the other slots that make a slot stand out
I_CHART, MR_CHART = 2.66, 3.267  # individuals and moving-range chart constants (n = 2)
CHART_POINTS = 800  # drawn per station's control chart at most
MARKED_POINTS = 100  # points out of control marked per station's chart at most (all counted)


def _ratio(part: int, whole: int) -> float | None:
    return part / whole if whole else None


# -- filters ----------------------------------------------------------------------------------

@dataclass(frozen=True)
class Filters:
    """The runs a report or an export is over; every figure counts only these."""

    since: datetime | None = None   # started at or after
    until: datetime | None = None   # started before
    stations: tuple[str, ...] = ()
    products: tuple[str, ...] = ()
    limits_sha: tuple[str, ...] = ()  # SHA-256 prefixes

    def conditions(self) -> list[sa.sql.ColumnElement]:
        c = db.runs.c
        out = []
        if self.since is not None:
            out.append(c.started_at >= self.since)
        if self.until is not None:
            out.append(c.started_at < self.until)
        if self.stations:
            out.append(c.station.in_(self.stations))
        if self.products:
            out.append(c.product.in_(self.products))
        if self.limits_sha:
            out.append(sa.or_(*(c.limits_sha256.startswith(p, autoescape=True)
                                for p in self.limits_sha)))
        return out

    def describe(self) -> str:
        parts = [f"{k} {', '.join(v)}" for k, v in (("station", self.stations),
                 ("product", self.products), ("limits", self.limits_sha)) if v]
        if self.since:
            parts.append(f"from {_time(self.since)}")
        if self.until:
            parts.append(f"before {_time(self.until)}")
        return "; ".join(parts)


def _moment(option: str, end: bool):
    def parse(text: str) -> datetime:
        try:
            moment = datetime.fromisoformat(text)
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"{option} {text!r}: not a date (2024-03-04) or time (2024-03-04T08:00, UTC "
                "unless it has an offset)") from None
        if len(text) == 10 and end:  # a day: up to its end
            moment += timedelta(days=1)
        return moment.replace(tzinfo=timezone.utc) if moment.tzinfo is None else moment
    return parse


def add_filter_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--since", type=_moment("--since", False), metavar="WHEN",
                        help="runs started at or after (a UTC date or time)")
    parser.add_argument("--until", type=_moment("--until", True), metavar="WHEN",
                        help="runs started before (a time), or on or before (a date)")
    parser.add_argument("--station", action="append", default=[], metavar="NAME",
                        help="only this station's runs (again for more)")
    parser.add_argument("--product", action="append", default=[], metavar="NAME")
    parser.add_argument("--limits-sha", action="append", default=[], metavar="HASH",
                        help="runs judged with the limits file of this SHA-256 (or its start)")


def filters_of(args: argparse.Namespace) -> Filters:
    return Filters(args.since, args.until, tuple(args.station), tuple(args.product),
                   tuple(args.limits_sha))


# -- data -------------------------------------------------------------------------------------

@dataclass(frozen=True)
class YieldRow:
    """The runs of one station, slot and day (None: all of them together)."""

    station: str | None
    slot: str | None
    day: date | None
    runs: int
    outcomes: dict[str, int]  # runs by outcome
    boards: int        # boards whose first finished run was here
    first_passed: int  # ... and passed
    last_passed: int   # boards whose last finished run was here and passed
    retests: int       # finished runs that were not their board's first

    def count(self, verdicts: tuple[str, ...]) -> int:
        return sum(self.outcomes.get(v, 0) for v in verdicts)

    @property
    def passed(self) -> int:
        return self.count(PASSED)

    @property
    def failed(self) -> int:
        return self.count(FAILED)

    @property
    def not_the_boards(self) -> int:
        return self.count(NOT_THE_BOARDS)

    @property
    def finished(self) -> int:
        return self.count(FINISHED)

    @property
    def run_yield(self) -> float | None:
        return _ratio(self.passed, self.finished)

    @property
    def first_pass_yield(self) -> float | None:
        return _ratio(self.first_passed, self.boards)

    @property
    def final_yield(self) -> float | None:
        """Meaningful over rows that hold every board's last run (the line, a station's
        whole time when boards stay at one station)."""
        return _ratio(self.last_passed, self.boards)

    @property
    def retest_rate(self) -> float | None:
        return _ratio(self.retests, self.finished)


def combine(rows: list[YieldRow], station: str | None = None, slot: str | None = None,
            day: date | None = None) -> YieldRow:
    outcomes: dict[str, int] = defaultdict(int)
    for r in rows:
        for k, v in r.outcomes.items():
            outcomes[k] += v
    return YieldRow(station, slot, day, sum(r.runs for r in rows), dict(outcomes),
                    *(sum(getattr(r, f) for r in rows)
                      for f in ("boards", "first_passed", "last_passed", "retests")))


def grouped(rows: list[YieldRow], *keys: str) -> list[YieldRow]:
    """The rows combined per value of `keys` (station, slot, day), in their order."""
    groups: dict[tuple, list[YieldRow]] = defaultdict(list)
    for r in rows:
        groups[tuple(getattr(r, k) for k in keys)].append(r)
    order = sorted(groups, key=lambda k: tuple((v is None, "" if v is None else v) for v in k))
    return [combine(groups[k], **dict(zip(keys, k))) for k in order]


@dataclass(frozen=True)
class SlotRow:
    station: str
    slot: str | None
    finished: int
    failed: int
    not_the_boards: int  # fixture errors
    z: float | None  # against the station's other slots; None when it cannot be taken

    @property
    def failure_share(self) -> float | None:
        return _ratio(self.failed, self.finished)

    @property
    def stands_out(self) -> bool:
        return self.z is not None and self.z > SLOT_Z


def slot_rows(rows: list[YieldRow]) -> list[SlotRow]:
    """Each slot's failed runs against the other slots of its station (a two-proportion z
    test with the station's pooled share)."""
    out = []
    slots = grouped(rows, "station", "slot")
    for s in slots:
        others = [o for o in slots if o.station == s.station and o.slot != s.slot]
        n, f = s.finished, s.failed
        n_o, f_o = sum(o.finished for o in others), sum(o.failed for o in others)
        p = _ratio(f + f_o, n + n_o)
        z = None
        if n and n_o and p is not None and 0 < p < 1:
            z = (f / n - f_o / n_o) / math.sqrt(p * (1 - p) * (1 / n + 1 / n_o))
        out.append(SlotRow(s.station, s.slot, n, f, s.not_the_boards, z))
    return out


@dataclass(frozen=True)
class Failures:
    name: str
    title: str
    by_verdict: dict[str, int]

    def count(self, verdicts: tuple[str, ...]) -> int:
        return sum(self.by_verdict.get(v, 0) for v in verdicts)


@dataclass(frozen=True)
class Limits:
    low: float | None
    high: float | None

    def describe(self) -> str:
        if self.low is not None and self.high is not None:
            return f"{_num(self.low)} to {_num(self.high)}"
        if self.low is not None:
            return f"at least {_num(self.low)}"
        if self.high is not None:
            return f"at most {_num(self.high)}"
        return "no range"

    def holds(self, value: float) -> bool:
        return (self.low is None or value >= self.low) and \
            (self.high is None or value <= self.high)


@dataclass(frozen=True)
class Bins:
    """A histogram's bins: `count` bins of `width` from `low`."""

    low: float
    width: float
    count: int

    @property
    def edges(self) -> list[float]:
        return [self.low + i * self.width for i in range(self.count + 1)]


@dataclass(frozen=True)
class Drawn:
    """Points as the chart draws them: every one while they are few (CHART_POINTS), else the
    lowest and the highest of each run of consecutive ones, which look the same at the
    page's resolution and keep the page's size and the report's memory whatever the count."""

    x: numpy.ndarray  # positions in the station's values
    y: numpy.ndarray

    @classmethod
    def of(cls, first: int, values) -> Drawn:
        import numpy
        n = len(values)
        if n <= CHART_POINTS:
            return cls(numpy.arange(first, first + n), numpy.array(values))
        step = math.ceil(2 * n / CHART_POINTS)
        starts = numpy.arange(0, n, step)
        low, high = numpy.minimum.reduceat(values, starts), numpy.maximum.reduceat(values, starts)
        middle = first + numpy.minimum(starts + (step - 1) / 2, n - 1)
        return cls(numpy.repeat(middle, 2), numpy.column_stack((low, high)).ravel())

    @classmethod
    def some(cls, positions, values, shift: int = 0) -> Drawn:
        """At most MARKED_POINTS of the points at `positions`, evenly spread."""
        chosen = positions[::max(1, math.ceil(len(positions) / MARKED_POINTS))]
        return cls(chosen + shift, values[chosen])


@dataclass(frozen=True)
class ControlChart:
    """One station's individuals and moving ranges, in the order its runs started: figures
    over every value, and what is drawn."""

    station: str
    count: int
    mean: float
    mr_mean: float | None   # None with a single value
    beyond: int             # individuals outside the control limits
    mr_beyond: int          # moving ranges above theirs
    values: Drawn
    ranges: Drawn           # the range between values i - 1 and i at i
    out: Drawn              # individuals beyond the control limits
    mr_out: Drawn

    @classmethod
    def of(cls, station: str, values: array) -> ControlChart:
        """From one station's values; only the drawn points are kept."""
        import numpy
        v = numpy.frombuffer(values)
        ranges = numpy.abs(numpy.diff(v))
        mean = math.fsum(values) / len(values)
        mr_mean = float(ranges.mean()) if len(ranges) else None
        none = numpy.array([], int)
        out, mr_out = none, none
        if mr_mean is not None:
            lcl, ucl, mr_ucl = _control_limits(mean, mr_mean)
            out, mr_out = numpy.flatnonzero((v < lcl) | (v > ucl)), \
                numpy.flatnonzero(ranges > mr_ucl)
        return cls(station, len(v), mean, mr_mean, len(out), len(mr_out), Drawn.of(0, v),
                   Drawn.of(1, ranges), Drawn.some(out, v), Drawn.some(mr_out, ranges, 1))

    def limits(self) -> tuple[float, float, float] | None:
        """LCL, UCL of the individuals and UCL of the moving ranges."""
        return None if self.mr_mean is None else _control_limits(self.mean, self.mr_mean)


def _control_limits(mean: float, mr_mean: float) -> tuple[float, float, float]:
    return mean - I_CHART * mr_mean, mean + I_CHART * mr_mean, MR_CHART * mr_mean


@dataclass(frozen=True)
class LimitsFile:
    name: str
    sha256: str
    first_used: datetime  # by the first of the chosen runs judged with it

    def describe(self) -> str:
        return f"{Path(self.name).name} ({self.sha256[:8] or 'no hash'})"


@dataclass
class Numeric:
    """One numeric measurement's values in finished runs under one set of limits."""

    name: str
    title: str
    unit: str
    limits: Limits
    limits_file: LimitsFile
    values: int
    passing: int         # of runs that passed
    smallest: float
    largest: float
    mean: float
    out_of_limits: int
    bins: Bins
    passing_counts: list[int]  # per bin
    failing_counts: list[int]
    beyond: int = 0            # values outside the bins
    squares: float = 0.0       # sum of squared deviations from the mean
    charts: list[ControlChart] = field(default_factory=list)

    def take(self, station: str, values: array, passed: array) -> None:
        """One station's values, in the order its runs started, and whether each run passed:
        into the histogram, the squared deviations and a control chart of their own."""
        import numpy
        v, ok = numpy.frombuffer(values), numpy.frombuffer(passed, numpy.int8).astype(bool)
        self.squares += float(numpy.square(v - self.mean).sum())
        bins = self.bins
        index = numpy.floor((v - bins.low) / bins.width)
        inside = (index >= 0) & (index < bins.count)
        self.beyond += int(len(v) - inside.sum())
        for counts, chosen in ((self.passing_counts, inside & ok),
                               (self.failing_counts, inside & ~ok)):
            added = numpy.bincount(index[chosen].astype(int), minlength=bins.count)
            counts[:] = [a + b for a, b in zip(counts, added.tolist())]
        self.charts.append(ControlChart.of(station, values))

    @property
    def spread(self) -> bool:
        return self.largest - self.smallest > NO_SPREAD * max(abs(self.largest),
                                                             abs(self.smallest))

    @property
    def sd(self) -> float | None:
        if self.values < 2:
            return None
        return math.sqrt(self.squares / (self.values - 1)) if self.spread else 0.0

    @property
    def ppm(self) -> float:
        return 1e6 * self.out_of_limits / self.values

    @property
    def no_cpk(self) -> str | None:
        """Why there is no Cpk, or None."""
        if self.limits.low is None and self.limits.high is None:
            return "no limits"
        if self.values < 2:
            return "fewer than two values"
        if not self.spread:
            return f"no spread: every value is {_num(self.mean)}"
        return None

    @property
    def cpk(self) -> float | None:
        if self.no_cpk:
            return None
        low, high, mean = self.limits.low, self.limits.high, self.mean
        sides = [s for s in (None if high is None else high - mean,
                             None if low is None else mean - low) if s is not None]
        return min(sides) / (3 * self.sd)


@dataclass(frozen=True)
class Throughput:
    """A station's finished runs on one UTC day."""

    station: str
    day: date
    finished: int
    first_start: datetime
    last_end: datetime | None
    median_test_s: float | None  # of the runs' steps_s

    @property
    def hours(self) -> float | None:
        if self.last_end is None or self.last_end <= self.first_start:
            return None
        return (self.last_end - self.first_start).total_seconds() / 3600

    @property
    def boards_per_hour(self) -> float | None:
        hours = self.hours
        return None if hours is None else self.finished / hours


@dataclass(frozen=True)
class RunRow:
    run_uid: str
    station: str
    serial_number: str | None
    product: str
    limits_file: str
    limits_sha256: str
    firmware_version: str | None
    started_at: datetime
    ended_at: datetime | None
    verdict: str | None  # as stored: None when the run never finished
    outcome: str         # as counted
    judged: int          # measurements recorded


@dataclass(frozen=True)
class MeasurementRow:
    position: int
    name: str
    title: str
    value: str
    unit: str | None
    limits: str
    verdict: str
    detail: str


@dataclass(frozen=True)
class BoardRun:
    run: RunRow
    kind: str  # first run, retest N, not finished, no board
    measurements: list[MeasurementRow]


@dataclass
class ReportData:
    database: str  # the URL with any password hidden
    filters: Filters
    at: datetime   # the moment at which runs without a verdict are running or aborted
    runs: int
    first_start: datetime | None
    last_start: datetime | None
    products: list[str]
    yields: list[YieldRow]        # per station, slot and day
    failures: list[Failures]      # the board's most frequent first
    numerics: list[Numeric]
    throughput: list[Throughput]  # per station and day
    aborted: list[RunRow]         # newest first, at most ABORTED_SHOWN
    aborted_total: int
    limits_texts: dict[str, str] = field(default_factory=dict)  # by SHA-256
    serial: str | None = None
    history: list[BoardRun] = field(default_factory=list)


ABORTED_SHOWN = 200


# -- dialect differences ----------------------------------------------------------------------

class utc_day(FunctionElement):
    """The UTC calendar day of a stored time."""

    type = sa.Date()
    name = "utc_day"
    inherit_cache = True


@compiles(utc_day)
def _utc_day(element, compiler, **kw):
    return "CAST((%s AT TIME ZONE 'UTC') AS DATE)" % compiler.process(element.clauses, **kw)


@compiles(utc_day, "sqlite")
def _utc_day_sqlite(element, compiler, **kw):
    # SQLite keeps the UTC time as text; date() gives 'YYYY-MM-DD', which Date reads.
    return "date(%s)" % compiler.process(element.clauses, **kw)


def _count_if(condition) -> sa.sql.ColumnElement:
    return sa.func.coalesce(sa.func.sum(sa.case((condition, 1), else_=0)), 0)


# -- queries ----------------------------------------------------------------------------------

runs, boards, measurements = db.runs, db.boards, db.measurements


def valid_board() -> sa.sql.ColumnElement:
    """The run's board when its serial number passed the limits' check (every unprogrammed
    board reads the same invalid one); NULL otherwise."""
    m = measurements
    judged_valid = sa.exists().where(m.c.run_id == runs.c.id, m.c.name == SERIAL_NUMBER,
                                     m.c.verdict == Verdict.PASS.value)
    return sa.case((judged_valid, runs.c.board_id))


def query_yields(conn, filters: Filters, outcome: sa.sql.ColumnElement) -> list[YieldRow]:
    """Per station, slot and day: the runs by outcome, and each board's first and last
    finished run (window functions over the finished runs of each board)."""
    outcome = outcome.label("outcome")
    base = (sa.select(runs.c.id, runs.c.station, runs.c.slot, runs.c.started_at,
                      utc_day(runs.c.started_at).label("day"), outcome,
                      sa.case((outcome.in_(JUDGED), valid_board())).label("board"))
            .where(*filters.conditions()).subquery())
    order = (base.c.started_at, base.c.id)
    nth = sa.func.row_number().over(partition_by=base.c.board, order_by=order)
    from_last = sa.func.row_number().over(partition_by=base.c.board,
                                          order_by=tuple(c.desc() for c in order))
    ranked = sa.select(base, nth.label("nth"), from_last.label("from_last")).subquery()
    r = ranked.c
    counted = r.board.is_not(None)
    keys = (r.station, r.slot, r.day, r.outcome)
    q = (sa.select(*keys, sa.func.count(), _count_if(sa.and_(counted, r.nth == 1)),
                   _count_if(sa.and_(counted, r.nth == 1, r.outcome.in_(PASSED))),
                   _count_if(sa.and_(counted, r.from_last == 1, r.outcome.in_(PASSED))),
                   _count_if(sa.and_(counted, r.nth > 1)))
         .group_by(*keys))
    out = [YieldRow(station, slot, day, count, {outcome: count}, *counts)
           for station, slot, day, outcome, count, *counts in conn.execute(q)]
    return grouped(out, "station", "slot", "day")


def query_failures(conn, filters: Filters) -> list[Failures]:
    m = measurements
    q = (sa.select(m.c.name, sa.func.min(m.c.title), m.c.verdict, sa.func.count())
         .select_from(m.join(runs, runs.c.id == m.c.run_id))
         .where(m.c.verdict.in_(BOARD_FAULTS + CONSOLE_FAULTS), *filters.conditions())
         .group_by(m.c.name, m.c.verdict))
    found: dict[str, Failures] = {}
    for name, title, verdict, count in conn.execute(q):
        found.setdefault(name, Failures(name, title, {})).by_verdict[verdict] = count
    whole = (sa.select(runs.c.verdict, sa.func.count())
             .where(runs.c.verdict.in_([v.value for v in RUN_FAULTS]), *filters.conditions())
             .group_by(runs.c.verdict))
    for verdict, count in conn.execute(whole):
        name = f"run: {verdict}"
        found[name] = Failures(name, RUN_FAULTS[RunVerdict(verdict)][1], {verdict: count})
    return sorted(found.values(), key=lambda f: (-f.count(BOARD_FAULTS),
                                                 -f.count(CONSOLE_FAULTS), f.name))


def choose_bins(low: float, high: float, limits: Limits, whole: bool, values: int = 400
                ) -> Bins:
    """Bins over the values and the limits: 2 √values of them, from 10 to 40, each a whole
    number of units wide when every value is a whole number (raw words, counts). Values
    further than the limits' span below the low limit or above the high one stretch nothing:
    they are counted apart."""
    count = min(40, max(10, math.ceil(2 * math.sqrt(values))))
    bounds = [b for b in (limits.low, limits.high) if b is not None]
    if bounds:
        span = max(max(bounds) - min(bounds), abs(max(bounds)) * 0.1, 1.0)
        low, high = min([low] + bounds), max([high] + bounds)
        if limits.low is not None:
            low = max(low, limits.low - span)
        if limits.high is not None:
            high = min(high, limits.high + span)
    if whole:  # bins of whole numbers, each value in the middle of one
        width = max(1, math.ceil((high - low + 1) / count))
        first = math.floor(low)
        return Bins(first - 0.5, float(width), (math.floor(high) - first) // width + 1)
    if high == low:
        low, high = low - 0.5, high + 0.5
    pad = (high - low) * 0.05
    return Bins(low - pad, (high - low + 2 * pad) / count, count)


def query_numerics(conn, filters: Filters) -> list[Numeric]:
    """A summary per measurement and limits file in SQL (counts, extremes, mean, values out
    of limits), then every value streamed once, per station in time order: the histogram,
    the squared deviations from the mean (exact, unlike a one-pass sum of squares) and the
    control charts, each made from its station's values alone, which are then let go."""
    m, value = measurements, measurements.c.value_num
    passing = runs.c.verdict.in_(PASSED)
    chosen = (m.c.unit.is_not(None), value.is_not(None), runs.c.verdict.in_(FINISHED),
              *filters.conditions())
    joined = m.join(runs, runs.c.id == m.c.run_id)
    key = (m.c.name, m.c.unit, m.c.low, m.c.high, runs.c.limits_sha256)
    outside = sa.or_(sa.and_(m.c.low.is_not(None), value < m.c.low),
                     sa.and_(m.c.high.is_not(None), value > m.c.high))
    summary = (sa.select(*key, sa.func.min(m.c.title), sa.func.min(m.c.position),
                         sa.func.min(runs.c.limits_file), sa.func.min(runs.c.started_at),
                         sa.func.count(), _count_if(passing),
                         sa.func.min(value), sa.func.max(value), sa.func.avg(value),
                         _count_if(outside), _count_if(sa.func.floor(value) != value))
               .select_from(joined).where(*chosen).group_by(*key))
    groups: dict[tuple, tuple[int, Numeric]] = {}
    for name, unit, low, high, sha, title, position, file, first, count, npass, vmin, vmax, \
            mean, out, fractional in conn.execute(summary):
        limits = Limits(low, high)
        bins = choose_bins(vmin, vmax, limits, fractional == 0, count)
        groups[name, unit, low, high, sha] = position, Numeric(
            name, title, unit, limits, LimitsFile(file, sha, first), count, npass, vmin, vmax,
            mean, out, bins, [0] * bins.count, [0] * bins.count)
    stream = (sa.select(*key, runs.c.station, value, passing).select_from(joined)
              .where(*chosen)
              .order_by(*key, runs.c.station, runs.c.started_at, runs.c.id)
              .execution_options(stream_results=True))
    g, station, current = None, None, None
    values, passed = array("d"), array("b")
    for name, unit, low, high, sha, here, v, ok in conn.execute(stream):
        if here != station or (name, unit, low, high, sha) != current:
            if values:
                g.take(station, values, passed)
            current, station = (name, unit, low, high, sha), here
            g, values, passed = groups[current][1], array("d"), array("b")
        values.append(v)
        passed.append(ok)
    if values:
        g.take(station, values, passed)
    # A measurement's sets of limits in the order they came into use.
    return [g for _, g in sorted(groups.values(), key=lambda pg: (
        pg[0], pg[1].name, pg[1].limits_file.first_used, pg[1].limits_file.sha256))]


def query_throughput(conn, filters: Filters) -> list[Throughput]:
    """Per station and UTC day, over its finished runs: the span from the first start to the
    last end in SQL, and the median test time, its values streamed one station and day at a
    time."""
    day = utc_day(runs.c.started_at)
    finished = (runs.c.verdict.in_(FINISHED), *filters.conditions())
    spans = conn.execute(sa.select(runs.c.station, day, sa.func.count(),
                                   sa.func.min(runs.c.started_at), sa.func.max(runs.c.ended_at))
                         .where(*finished).group_by(runs.c.station, day)
                         .order_by(runs.c.station, day)).all()
    medians: dict[tuple[str, date], float] = {}
    key, times = None, array("d")
    for station, on, steps in conn.execute(
            sa.select(runs.c.station, day, runs.c.steps_s)
            .where(runs.c.steps_s.is_not(None), *finished).order_by(runs.c.station, day)
            .execution_options(stream_results=True)):
        if (station, on) != key:
            if times:
                medians[key] = statistics.median(times)
            key, times = (station, on), array("d")
        times.append(steps)
    if times:
        medians[key] = statistics.median(times)
    return [Throughput(station, on, count, first, last, medians.get((station, on)))
            for station, on, count, first, last in spans]


def _judged():
    return (sa.select(sa.func.count()).where(measurements.c.run_id == runs.c.id)
            .scalar_subquery())


def _run_columns(outcome: sa.sql.ColumnElement):
    return (runs.c.run_uid, runs.c.station, boards.c.serial_number, runs.c.product,
            runs.c.limits_file, runs.c.limits_sha256, runs.c.firmware_version,
            runs.c.started_at, runs.c.ended_at, runs.c.verdict, outcome, _judged())


def query_aborted(conn, filters: Filters, outcome: sa.sql.ColumnElement
                  ) -> tuple[list[RunRow], int]:
    aborted = outcome == RunVerdict.ABORTED.value
    total = conn.execute(sa.select(sa.func.count())
                         .where(aborted, *filters.conditions())).scalar_one()
    q = (sa.select(*_run_columns(outcome))
         .select_from(runs.outerjoin(boards, boards.c.id == runs.c.board_id))
         .where(aborted, *filters.conditions())
         .order_by(runs.c.started_at.desc(), runs.c.id.desc())
         .limit(ABORTED_SHOWN))
    return [RunRow(*row) for row in conn.execute(q)], total


def query_history(conn, serial: str, filters: Filters, outcome: sa.sql.ColumnElement
                  ) -> list[BoardRun]:
    q = (sa.select(runs.c.id, valid_board().is_not(None), *_run_columns(outcome))
         .select_from(runs.join(boards, boards.c.id == runs.c.board_id))
         .where(boards.c.serial_number == serial, *filters.conditions())
         .order_by(runs.c.started_at, runs.c.id))
    found = [(row[0], row[1], RunRow(*row[2:])) for row in conn.execute(q)]
    m = measurements
    by_run: dict[int, list[MeasurementRow]] = defaultdict(list)
    if found:
        mq = (sa.select(m.c.run_id, m.c.position, m.c.name, m.c.title, m.c.value_num,
                        m.c.value_text, m.c.unit, m.c.limits, m.c.verdict, m.c.detail)
              .where(m.c.run_id.in_([run_id for run_id, _, _ in found]))
              .order_by(m.c.run_id, m.c.position))
        for run_id, position, name, title, num, text, unit, limits, verdict, detail \
                in conn.execute(mq):
            value = _num(num) if num is not None else (text if text is not None else "")
            by_run[run_id].append(MeasurementRow(position, name, title, value, unit,
                                                 _limits_text(limits), verdict, detail))
    history, finished = [], 0
    for run_id, valid, run in found:
        if not valid:
            kind = "no board (serial number not valid)"
        elif run.outcome in NOT_THE_BOARDS:
            kind = f"{run.outcome} (not the board's)"
        elif run.outcome not in JUDGED:
            kind = "not finished"
        else:
            finished += 1
            kind = "first run" if finished == 1 else f"retest {finished - 1}"
        history.append(BoardRun(run, kind, by_run[run_id]))
    return history


def _limits_text(limits: str) -> str:
    """The stored JSON limits as the station's console shows them: (min 207.0, max 253.0)."""
    try:
        described = json.loads(limits)
    except ValueError:
        return limits
    if not isinstance(described, dict):
        return limits
    return ", ".join(f"{k} {v}" for k, v in described.items())


def _check_tables(conn, shown: str) -> None:
    inspector = sa.inspect(conn)
    missing = [t.name for t in (boards, runs, measurements) if not inspector.has_table(t.name)]
    if missing:
        raise ReportError(f"{shown}: no results tables here ({', '.join(missing)} missing); "
                          "is this the line's results database?")


def _reading(engine: sa.engine.Engine, work):
    """work(conn) in one read transaction (one snapshot on PostgreSQL), its errors as
    ReportError naming the database."""
    shown = db.shown(engine.url)
    try:
        with engine.connect() as conn:
            if conn.dialect.name == "postgresql":
                conn = conn.execution_options(isolation_level="REPEATABLE READ")
            _check_tables(conn, shown)
            return work(conn)
    except DBAPIError as e:
        raise ReportError(f"{shown}: {_first_line(e.orig)}") from None
    except SQLAlchemyError as e:
        raise ReportError(f"{shown}: {_first_line(e)}") from None


def load(engine: sa.engine.Engine, serial: str | None = None,
         filters: Filters = Filters(), at: datetime | None = None) -> ReportData:
    """Everything the page shows, read in one transaction; runs without a verdict judged
    running or aborted at `at` (by default the database's clock, read once)."""
    shown = db.shown(engine.url)

    def work(conn) -> ReportData:
        moment = at or conn.execute(sa.select(db.DbNow())).scalar_one()
        outcome = db.run_outcome(moment)
        where = filters.conditions()
        count, first, last = conn.execute(
            sa.select(sa.func.count(), sa.func.min(runs.c.started_at),
                      sa.func.max(runs.c.started_at)).where(*where)).one()
        products = list(conn.execute(sa.select(runs.c.product).distinct().where(*where)
                                     .order_by(runs.c.product)).scalars())
        aborted, aborted_total = query_aborted(conn, filters, outcome)
        data = ReportData(shown, filters, moment, count, first, last, products,
                          query_yields(conn, filters, outcome), query_failures(conn, filters),
                          query_numerics(conn, filters), query_throughput(conn, filters),
                          aborted, aborted_total)
        shas = {g.limits_file.sha256 for g in data.numerics}
        if shas:
            t = db.limits_texts
            data.limits_texts = dict(conn.execute(sa.select(t.c.sha256, t.c.text)
                                                  .where(t.c.sha256.in_(sorted(shas)))).all())
        if serial is not None:
            data.serial = serial
            data.history = query_history(conn, serial, filters, outcome)
            if not data.history:
                raise ReportError(f"{shown}: no runs of a board with serial number "
                                  f"{serial!r}" + (f" ({filters.describe()})"
                                                   if filters.describe() else ""))
        return data
    return _reading(engine, work)


def _first_line(error: object) -> str:
    lines = str(error).strip().splitlines()
    return f"{type(error).__name__}: {lines[0] if lines else ''}"


# -- export -----------------------------------------------------------------------------------

def _cell(value: object) -> object:
    if isinstance(value, datetime):
        return value.astimezone(timezone.utc).isoformat()
    if isinstance(value, float):
        return repr(value)  # every digit: the spreadsheet gets the stored number
    return "" if value is None else value


def export_csv(engine: sa.engine.Engine, folder: Path, filters: Filters = Filters()
               ) -> tuple[int, int]:
    """runs.csv and measurements.csv in `folder`: the runs that the filters choose (a run's
    verdict as counted: one without a verdict is running or aborted, as the database's clock
    reads when the export begins) and their measurements, streamed. Returns how many rows
    each got."""
    kept = [c for c in runs.c if c.name not in ("id", "run_uid", "board_id", "verdict")]
    m_kept = [c for c in measurements.c if c.name not in ("id", "run_id")]
    m_q = (sa.select(runs.c.run_uid, *m_kept)
           .select_from(measurements.join(runs, runs.c.id == measurements.c.run_id))
           .where(*filters.conditions())
           .order_by(runs.c.started_at, runs.c.id, measurements.c.position))

    def work(conn) -> tuple[int, int]:
        outcome = db.run_outcome(conn.execute(sa.select(db.DbNow())).scalar_one())
        run_q = (sa.select(runs.c.run_uid, boards.c.serial_number, *kept,
                           outcome.label("verdict"))
                 .select_from(runs.outerjoin(boards, boards.c.id == runs.c.board_id))
                 .where(*filters.conditions()).order_by(runs.c.started_at, runs.c.id))
        counts = []
        for name, q in (("runs.csv", run_q), ("measurements.csv", m_q)):
            path = folder / name
            try:
                with open(path, "w", newline="", encoding="utf-8") as out:
                    writer = csv.writer(out)
                    result = conn.execute(q.execution_options(stream_results=True))
                    writer.writerow(result.keys())
                    n = 0
                    for row in result:
                        writer.writerow([_cell(v) for v in row])
                        n += 1
            except OSError as e:
                raise ReportError(f"{path}: cannot write: {e.strerror}") from None
            counts.append(n)
        return counts[0], counts[1]
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as e:
        raise ReportError(f"{folder}: cannot make the folder: {e.strerror}") from None
    return _reading(engine, work)


# -- plots ------------------------------------------------------------------------------------

PASS_COLOUR, FAIL_COLOUR, LINE_COLOUR, LIMIT_COLOUR = "#3b7dd8", "#d9534f", "#333333", "#c0392b"
CONSOLE_COLOUR = "#9e9e9e"


_STYLE = {
    "svg.fonttype": "none",        # text stays text, drawn in the browser's sans-serif
    "svg.hashsalt": "mcu-report",  # the same data gives the same page
    "font.family": "sans-serif",
    "font.size": 9,
    "axes.spines.top": False,
    "axes.spines.right": False,
    "axes.grid": True,
    "axes.grid.axis": "y",         # counts and percentages are read across; a third faster
    "grid.color": "#e5e5e5",
    "axes.axisbelow": True,
}


def _figure(width: float, height: float):
    """A figure with one axes, outside pyplot (no window, no global figure list)."""
    from matplotlib.figure import Figure
    fig = Figure(figsize=(width, height))
    return fig, fig.add_subplot()


def _svg(fig) -> str:
    from matplotlib.backends.backend_svg import FigureCanvasSVG
    out = io.StringIO()
    FigureCanvasSVG(fig).print_svg(out, metadata={"Date": None})
    text = out.getvalue()
    return text[text.index("<svg"):]  # inline: no XML declaration, no DOCTYPE


def plot_yields(rows: list[YieldRow]) -> str:
    """Two panels side by side, the same scale: run yield, then first-pass yield, per day,
    one line per station."""
    per_day = grouped(rows, "station", "day")
    return _per_day([(title, "%", [(r.station, r.day, None if getattr(r, attr) is None
                                    else getattr(r, attr) * 100) for r in per_day])
                     for attr, title in (("run_yield", "Run yield per day"),
                                         ("first_pass_yield", "First-pass yield per day"))],
                    share_y=True)


def plot_throughput(rows: list[Throughput]) -> str:
    """Boards per hour, then the median test time, per day, one line per station."""
    return _per_day([("Boards per hour per day", "boards per hour",
                      [(t.station, t.day, t.boards_per_hour) for t in rows]),
                     ("Median test time per day", "s",
                      [(t.station, t.day, t.median_test_s) for t in rows])], share_y=False)


def _per_day(panels: list[tuple[str, str, list[tuple[str, date, float | None]]]],
             share_y: bool) -> str:
    """Panels side by side, each a line per station over the UTC days (a missing value is
    no point)."""
    from matplotlib.dates import DateFormatter, DayLocator
    from matplotlib.figure import Figure
    days = {day for _, _, points in panels for _, day, _ in points}
    stations = sorted({station for _, _, points in panels for station, _, _ in points})
    fig = Figure(figsize=(11, 3.4))
    fig.subplots_adjust(left=0.05, right=0.86, bottom=0.22, top=0.9,
                        wspace=0.08 if share_y else 0.2)
    axes = fig.subplots(1, len(panels), sharex=True, sharey=share_y)
    for ax, (title, unit, points) in zip(axes, panels):
        for i, station in enumerate(stations):
            line = [(day, v) for s, day, v in points if s == station and v is not None]
            if line:
                ax.plot(*zip(*line), marker="o", markersize=3, color=f"C{i % 10}",
                        label=station)
        ax.set_title(title + " (UTC)")
        ax.xaxis.set_major_locator(DayLocator(interval=max(1, math.ceil(len(days) / 10))))
        ax.xaxis.set_major_formatter(DateFormatter("%Y-%m-%d"))
        for label in ax.get_xticklabels():
            label.set(rotation=30, ha="right")
        if ax is axes[0] or not share_y:
            ax.set_ylabel(unit)
    axes[-1].legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.02, 1.0), frameon=False)
    return _svg(fig)


def plot_pareto(failures: list[Failures]) -> str:
    """The board's failures by measurement, most first, with their cumulative share; the
    console's faults stacked on each bar in grey, outside the cumulative line."""
    shown = [f for f in failures if f.count(BOARD_FAULTS)][:15] or failures[:15]
    total = sum(f.count(BOARD_FAULTS) for f in failures)
    fig, ax = _figure(10, 3.8)
    fig.subplots_adjust(left=0.07, right=0.93, bottom=0.36, top=0.92)
    board = [f.count(BOARD_FAULTS) for f in shown]
    console = [f.count(CONSOLE_FAULTS) for f in shown]
    ax.bar(range(len(shown)), board, color=FAIL_COLOUR, label="the board's failures")
    ax.bar(range(len(shown)), console, bottom=board, color=CONSOLE_COLOUR,
           label="console, transport or fixture faults")
    ax.set_xticks(range(len(shown)), [f.title for f in shown], rotation=35, ha="right")
    ax.set_ylabel("failed measurements")
    ax.legend(fontsize=7, loc="center right", framealpha=0.8)
    if total:
        cumulative, running = [], 0
        for c in board:
            running += c
            cumulative.append(100 * running / total)
        right = ax.twinx()
        right.plot(range(len(shown)), cumulative, color=LINE_COLOUR, marker="o", markersize=3)
        right.set_ylim(0, 105)
        right.set_ylabel("cumulative % of the board's")
        right.grid(False)
        right.spines["right"].set_visible(True)
    ax.set_title("Failing measurements (Pareto)")
    return _svg(fig)


def _limit_marks(limits: Limits) -> list[tuple[float, str]]:
    low, high = limits.low, limits.high
    if low is not None and low == high:
        return [(low, "limit")]
    return [(b, label) for b, label in ((low, "low"), (high, "high")) if b is not None]


def plot_measurement(group: Numeric) -> str:
    """One figure: the histogram on the left; on the right the control chart, individuals
    above and moving ranges below, the stations one after another, each with its own centre
    line and control limits, points beyond them in red."""
    from matplotlib.figure import Figure
    from matplotlib.ticker import MaxNLocator
    fig = Figure(figsize=(9, 2.9))
    grid = fig.add_gridspec(2, 2, width_ratios=(1, 2), height_ratios=(3, 2), left=0.07,
                            right=0.99, bottom=0.15, top=0.9, wspace=0.16, hspace=0.12)
    _histogram(fig.add_subplot(grid[:, 0]), group)
    ax = fig.add_subplot(grid[0, 1])
    ax_mr = fig.add_subplot(grid[1, 1], sharex=ax)
    _control_chart(ax, ax_mr, group)
    # Few ticks: each costs more to draw than a station's thousands of points.
    ax.tick_params(labelbottom=False)
    ax_mr.xaxis.set_major_locator(MaxNLocator(6, integer=True))  # the top's too (shared)
    for axes in (ax, ax_mr):
        axes.yaxis.set_major_locator(MaxNLocator(4))
    return _svg(fig)


def _histogram(ax, group: Numeric) -> None:
    from matplotlib.ticker import MaxNLocator
    edges = group.bins.edges
    both = [p + o for p, o in zip(group.passing_counts, group.failing_counts)]
    ax.stairs(group.passing_counts, edges, fill=True, color=PASS_COLOUR,
              label="runs that passed")
    ax.stairs(both, edges, baseline=group.passing_counts, fill=True, color=FAIL_COLOUR,
              label="runs that failed")
    for bound, label in _limit_marks(group.limits):
        ax.axvline(bound, color=LIMIT_COLOUR, linestyle="--", linewidth=1.2)
        ax.annotate(f"{label} {_num(bound)}", (bound, 1), xycoords=("data", "axes fraction"),
                    ha="center", va="bottom", fontsize=7, color=LIMIT_COLOUR)
    ax.xaxis.set_major_locator(MaxNLocator(6, integer=group.bins.width.is_integer()))
    ax.yaxis.set_major_locator(MaxNLocator(5, integer=True))
    ax.set_xlim(edges[0], edges[-1])
    ax.set_ylim(0, max(both + [1]) * 1.08)
    ax.set_xlabel(group.unit)
    ax.set_ylabel("runs")
    ax.legend(fontsize=6, loc="upper right", framealpha=0.8)


def _control_chart(ax, ax_mr, group: Numeric) -> None:
    start = 0
    centre, control, mr_centre, mr_control = [], [], [], []
    out_x, out_y, mr_out_x, mr_out_y = [], [], [], []
    for i, chart in enumerate(group.charts):
        n = chart.count
        colour = f"C{i % 10}"
        # Points marked while they can be told apart; a single value is a point alone.
        marker = "o" if n <= 100 else None
        ax.plot(chart.values.x + start, chart.values.y, color=colour, linewidth=0.7,
                marker=marker, markersize=2)
        ax.annotate(chart.station, (start, 1), xycoords=("data", "axes fraction"),
                    va="bottom", fontsize=7, color=colour)
        limits = chart.limits()
        if limits is not None:
            lcl, ucl, mr_ucl = limits
            ax_mr.plot(chart.ranges.x + start, chart.ranges.y, color=colour, linewidth=0.7,
                       marker=marker, markersize=2)
            span = (start - 0.5, start + n - 0.5)
            centre.append((chart.mean, *span))
            control += [(lcl, *span), (ucl, *span)]
            mr_centre.append((chart.mr_mean, *span))
            mr_control.append((mr_ucl, *span))
            out_x += list(chart.out.x + start)
            out_y += list(chart.out.y)
            mr_out_x += list(chart.mr_out.x + start)
            mr_out_y += list(chart.mr_out.y)
        start += n
    for axes, lines, style in ((ax, centre, "-"), (ax, control, ":"),
                               (ax_mr, mr_centre, "-"), (ax_mr, mr_control, ":")):
        if lines:
            axes.hlines(*zip(*lines), colors=LINE_COLOUR, linestyles=style, linewidth=0.9)
    ax.scatter(out_x, out_y, s=9, color=FAIL_COLOUR, zorder=3)
    ax_mr.scatter(mr_out_x, mr_out_y, s=9, color=FAIL_COLOUR, zorder=3)
    for bound, _ in _limit_marks(group.limits):
        ax.axhline(bound, color=LIMIT_COLOUR, linestyle="--", linewidth=0.9)
    ax.set_ylabel(group.unit)
    ax_mr.set_ylabel("moving range")
    ax_mr.set_xlabel("finished runs per station, in the order they started")
    ax.set_xlim(-0.5, max(start - 0.5, 0.5))


# -- page -------------------------------------------------------------------------------------

def _num(value: float | None, digits: int = 4) -> str:
    if value is None:
        return "–"
    if float(value).is_integer() and abs(value) < 1e15:
        return str(int(value))
    return f"{value:.{digits}g}"


def _pct(value: float | None) -> str:
    return "–" if value is None else f"{100 * value:.1f} %"


def _time(value: datetime | None) -> str:
    if value is None:
        return "–"
    return value.astimezone(timezone.utc).strftime("%Y-%m-%d %H:%M:%S")


def _e(value: object) -> str:
    return html.escape("" if value is None else str(value))


def _table(head: list[str] | None, rows: list[list[str]], cls: str = "",
           row_classes: list[str] | None = None) -> str:
    """A table of already escaped cells; the style right-aligns all but the first column
    (all but the first two with class "two")."""
    cls_attr = f' class="{cls}"' if cls else ""
    out = [f"<table{cls_attr}>"]
    if head:
        out.append("<thead><tr>" + "".join(f"<th>{h}</th>" for h in head) + "</tr></thead>")
    out.append("<tbody>")
    for i, row in enumerate(rows):
        tr = f'<tr class="{row_classes[i]}">' if row_classes and row_classes[i] else "<tr>"
        out.append(tr + "".join(f"<td>{c}</td>" for c in row) + "</tr>")
    out.append("</tbody></table>")
    return "".join(out)


def _verdict(verdict: str) -> str:
    return f'<span class="v v-{_e(verdict.replace(" ", "-"))}">{_e(verdict)}</span>'


def _outcome_columns(rows: list[YieldRow]) -> list[str]:
    """Every run verdict, then any other outcome found (runs in progress)."""
    known = [v.value for v in RunVerdict]
    return known + sorted({o for r in rows for o in r.outcomes} - set(known))


def _yield_table(first: str, rows: list[YieldRow], label, columns: list[str]) -> str:
    head = [first, "runs", *columns, "run yield", "boards", "first passed",
            "first-pass yield", "retests", "retest rate"]
    cells = [[_e(label(r)), str(r.runs), *(str(r.outcomes.get(o, 0)) for o in columns),
              _pct(r.run_yield), str(r.boards), str(r.first_passed), _pct(r.first_pass_yield),
              str(r.retests), _pct(r.retest_rate)] for r in rows]
    return _table(head, cells, "two" if first == "station, day" else "")


STYLE = """
body{font-family:sans-serif;margin:24px auto;max-width:1150px;color:#222;line-height:1.35}
h1{font-size:22px;margin-bottom:4px}h2{font-size:18px;margin-top:32px;border-bottom:2px solid
#24558f;padding-bottom:3px}h3{font-size:14px;margin:18px 0 6px}p.meta{color:#666;margin-top:0}
.cards{display:flex;gap:12px;flex-wrap:wrap;margin:16px 0}.card{border:1px solid #ddd;
border-radius:6px;padding:8px 14px;min-width:120px}.card b{display:block;font-size:22px}
.card span{color:#666;font-size:12px}table{border-collapse:collapse;font-size:12px;margin:6px 0}
th,td{border:1px solid #ddd;padding:3px 7px;text-align:right}th{background:#f3f5f8}
td:first-child,th:first-child{text-align:left}table.left td,table.left th{text-align:left}
table.two td:nth-child(2),table.two th:nth-child(2){text-align:left}
tr.total td{font-weight:bold;background:#fafafa}tr.hot td{background:#f9d7d5;font-weight:bold}
.note{color:#555;font-size:12px}dl.defs{font-size:12px;color:#333}dl.defs dt{font-weight:bold;
float:left;clear:left;width:150px}dl.defs dd{margin:0 0 4px 160px}
.measure{border-top:1px solid #eee;padding:4px 0}.measure small{color:#777;font-weight:normal}
.measure .row{display:flex;gap:10px;align-items:center;flex-wrap:wrap}.stats td{white-space:nowrap}
.measure svg{flex:1 1 auto;min-width:0}.stats td:first-child{color:#555}.v{padding:0 5px;border-radius:3px}
.v-pass{background:#dff0d8}.v-fail,.v-error,.v-bad-checksum,.v-no-answer,.v-no-boot{background:
#f5c6c4}.v-fixture-error{background:#fbe3b5}pre{font-size:11px;background:#f7f7f7;padding:6px}
.v-aborted,.v-stopped,.v-not-run,.v-running{background:#eee}svg{max-width:100%;height:auto}
table.runs td:not(:last-child){white-space:nowrap}details{margin:10px 0}summary{cursor:pointer;font-weight:bold;font-size:14px}
"""


def _summary(data: ReportData) -> str:
    line = combine(data.yields)
    cards = [("runs", str(data.runs)), ("boards", str(line.boards)),
             ("first-pass yield", _pct(line.first_pass_yield)),
             ("final yield", _pct(line.final_yield)), ("run yield", _pct(line.run_yield)),
             ("retest rate", _pct(line.retest_rate)),
             ("aborted runs", str(data.aborted_total))]
    return '<div class="cards">' + "".join(
        f'<div class="card"><b>{_e(v)}</b><span>{_e(k)}</span></div>' for k, v in cards) \
        + "</div>"


def _definitions() -> str:
    return ('<details><summary>What is counted</summary><dl class="defs">'
            + "".join(f"<dt>{_e(term)}</dt><dd>{_e(text)}</dd>" for term, text in DEFINITIONS)
            + "</dl></details>")


def _yield_section(data: ReportData) -> str:
    out = ["<h2>Yield</h2>"]
    if not data.yields:
        return "".join(out) + "<p>No runs.</p>"
    rows = data.yields
    columns = _outcome_columns(rows)
    out.append(plot_yields(rows))
    stations = grouped(rows, "station")
    line = combine(rows, station="all stations")
    out.append("<h3>Per station</h3>" + _yield_table(
        "station", stations + ([line] if len(stations) > 1 else []), lambda r: r.station,
        columns))
    out.append("<h3>Per day (UTC)</h3>" + _yield_table(
        "day", grouped(rows, "day"), lambda r: r.day.isoformat(), columns))
    out.append("<details><summary>Per station and day</summary>" + _yield_table(
        "station, day", grouped(rows, "station", "day"),
        lambda r: f"{r.station}, {r.day.isoformat()}", columns) + "</details>")
    slots = slot_rows(rows)
    hot = sum(s.stands_out for s in slots)
    out.append("<h3>Per slot</h3>" + f'<p class="note">{hot} slot{"s" if hot != 1 else ""} '
               "failing more than the other slots of their station (z above "
               f"{_num(SLOT_Z)}, marked).</p>")
    out.append(_table(["station", "slot", "finished", "failed", "failed share",
                       "z against the station's other slots", "fixture errors"],
                      [[_e(s.station), _e(s.slot or "–"), str(s.finished), str(s.failed),
                        _pct(s.failure_share), _num(s.z, 3) + (" ⚠" if s.stands_out else ""),
                        str(s.not_the_boards)]
                       for s in slots], "two", ["hot" if s.stands_out else "" for s in slots]))
    return "".join(out)


def _pareto_section(data: ReportData) -> str:
    out = ["<h2>Failing measurements</h2>"]
    if not data.failures:
        return "".join(out) + "<p>No measurement failed.</p>"
    out.append(plot_pareto(data.failures))
    total = sum(f.count(BOARD_FAULTS) for f in data.failures)
    running, rows = 0, []
    for f in data.failures:
        board = f.count(BOARD_FAULTS)
        running += board
        rows.append([_e(f.title), _e(f.name), str(board)]
                    + [str(f.by_verdict.get(v, 0)) for v in BOARD_FAULTS]
                    + [_pct(_ratio(running, total))]
                    + [str(f.by_verdict.get(v, 0)) for v in CONSOLE_FAULTS])
    out.append(_table(["measurement", "name", "the board's failures", *BOARD_FAULTS,
                       "cumulative", *(f"console, transport or fixture: {v}"
                                       for v in CONSOLE_FAULTS)], rows, "two"))
    return "".join(out)


def _stats(group: Numeric) -> list[tuple[str, str]]:
    stats = [("values", str(group.values)), ("of passing runs", str(group.passing)),
             ("limits", _e(f"{group.limits.describe()} {group.unit}")),
             ("mean", _num(group.mean)), ("sd", _num(group.sd)),
             ("Cpk", _num(group.cpk, 3) if group.no_cpk is None else _e(group.no_cpk)),
             ("out of limits", f"{group.out_of_limits} ({_num(group.ppm, 6)} ppm)")]
    if group.beyond:
        stats.append(("beyond the histogram", str(group.beyond)))
    return stats


def _charts_table(group: Numeric) -> str:
    rows = []
    for chart in group.charts:
        limits = chart.limits() or (None, None, None)
        rows.append([_e(chart.station), str(chart.count), _num(chart.mean),
                     _num(chart.mr_mean), *(_num(v) for v in limits),
                     f"{chart.beyond}, {chart.mr_beyond}"])
    return _table(["control chart", "values", "mean", "MR̄", "LCL", "UCL", "UCL_MR",
                   "out of control (I, MR)"], rows)


def _section(title: str, note: str, parts: list[str], empty: str) -> str:
    """A heading, what the section shows, then its parts, or `empty` without any."""
    return (f'<h2>{title}</h2><p class="note">{note}</p>'
            + ("".join(parts) or f"<p>{empty}</p>"))


def _numeric_section(data: ReportData) -> str:
    parts = []
    for group in data.numerics:
        limits = group.limits_file
        parts.append(f'<div class="measure" id="m-{_e(group.name)}-{_e(limits.sha256[:8])}">'
                     f"<h3>{_e(group.title)} <small>{_e(group.name)}; limits file "
                     f"{_e(limits.describe())}, in use from {_time(limits.first_used)}"
                     '</small></h3><div class="row">' + plot_measurement(group)
                     + _table(None, [[k, v] for k, v in _stats(group)], "stats")
                     + "</div>" + _charts_table(group) + "</div>")
    return _section("Measurements", "Each numeric measurement and limits file: the values of "
                    "finished runs (those of passed runs in blue), the limits dashed; the "
                    "control chart's centre lines solid and control limits dotted, points "
                    "beyond them red.", parts, "No numeric values.")


RUN_HEAD = ["started (UTC)", "ended", "station", "serial number", "verdict", "measurements",
            "limits file", "run"]


def _run_cells(run: RunRow) -> list[str]:
    stored = run.verdict if run.verdict is not None else f"{run.outcome} (no verdict)"
    return [_time(run.started_at), _time(run.ended_at), _e(run.station),
            _e(run.serial_number or "–"), _verdict(stored), str(run.judged),
            _e(f"{Path(run.limits_file).name} ({run.limits_sha256[:8]})"), _e(run.run_uid)]


def _throughput_section(data: ReportData) -> str:
    table = _table(["station", "day", "finished runs", "first start", "last end", "hours",
                    "boards per hour", "median test time (s)"],
                   [[_e(t.station), t.day.isoformat(), str(t.finished), _time(t.first_start),
                     _time(t.last_end), _num(t.hours, 3), _num(t.boards_per_hour, 3),
                     _num(t.median_test_s, 3)] for t in data.throughput], "two")
    drawn = any(t.boards_per_hour is not None or t.median_test_s is not None
                for t in data.throughput)
    parts = ([plot_throughput(data.throughput)] if drawn else []) + \
        (["<details><summary>Per station and day</summary>" + table + "</details>"]
         if data.throughput else [])
    return _section("Throughput", "Per station and UTC day: boards per hour, its finished "
                    "runs / the hours from the start of the first to the end of the last "
                    "(pauses included); the median test time (the tool's runs, transport "
                    "included) of the same runs.", parts, "No finished runs.")


def _limits_section(data: ReportData) -> str:
    """The text of each limits file that the measurements above were judged with."""
    files = sorted({g.limits_file.sha256: g.limits_file for g in data.numerics}.values(),
                   key=lambda f: (f.first_used, f.sha256))
    if not files:
        return ""
    out = ["<h2>Limits files</h2>"]
    for f in files:
        text = data.limits_texts.get(f.sha256)
        out.append(f"<details><summary>{_e(f.describe())}, in use from {_time(f.first_used)}"
                   f" UTC</summary><p class=\"note\">SHA-256 {_e(f.sha256 or '–')}</p>"
                   + (f"<pre>{_e(text)}</pre>" if text is not None else
                      '<p class="note">Its text is not in the database.</p>') + "</details>")
    return "".join(out)


def _aborted_section(data: ReportData) -> str:
    out = ["<h2>Aborted runs</h2>",
           f'<p class="note">{data.aborted_total} runs aborted: by the station, or never '
           "finished (the station died or lost the database). Newest first"
           + (f"; the newest {ABORTED_SHOWN} shown" if data.aborted_total
              > len(data.aborted) else "") + ".</p>"]
    if data.aborted:
        out.append(_table(RUN_HEAD, [_run_cells(r) for r in data.aborted], "left runs"))
    return "".join(out)


def _history_section(data: ReportData) -> str:
    out = [f"<h2>Board {_e(data.serial)}</h2>",
           f'<p class="note">{len(data.history)} runs, oldest first; its first finished run '
           "at any station is its first run, every later finished run a retest (a fixture "
           "error is not the board's).</p>"]
    for item in data.history:
        run = item.run
        out.append(f"<h3>{_time(run.started_at)} at {_e(run.station)}: {_e(item.kind)}, "
                   f"{_verdict(run.outcome)}</h3>")
        out.append(f'<p class="note">product {_e(run.product)}, limits file '
                   f"{_e(run.limits_file)} (SHA-256 {_e(run.limits_sha256)}), firmware "
                   f"{_e(run.firmware_version or '–')}, ended {_time(run.ended_at)}, run "
                   f"{_e(run.run_uid)}</p>")
        out.append(_table(["#", "measurement", "value", "unit", "limits", "verdict", "detail"],
                          [[str(m.position), _e(m.title), _e(m.value), _e(m.unit or ""),
                            _e(m.limits), _verdict(m.verdict), _e(m.detail)]
                           for m in item.measurements], "left"))
    return "".join(out)


def render(data: ReportData) -> str:
    import matplotlib
    matplotlib.rcParams.update(_STYLE)
    span = (f"{_time(data.first_start)} to {_time(data.last_start)} UTC"
            if data.first_start else "no runs")
    chosen = data.filters.describe()
    title = f"Line report: {_e(', '.join(data.products) or 'no runs')}"
    parts = ["<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\">",
             f"<title>{title}</title><style>{STYLE}</style></head><body><h1>{title}</h1>",
             f'<p class="meta">{data.runs} runs started {span}'
             + (f" ({_e(chosen)})" if chosen else "")
             + f"; database {_e(data.database)}; runs without a verdict judged running or "
             f"aborted at {_time(data.at)} UTC</p>", _summary(data), _definitions()]
    if data.serial is not None:
        parts.append(_history_section(data))
    parts += [_yield_section(data), _throughput_section(data), _pareto_section(data),
              _numeric_section(data), _limits_section(data), _aborted_section(data),
              "</body></html>\n"]
    return "".join(parts)


# -- command ----------------------------------------------------------------------------------

def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--db", required=True, help="SQLAlchemy URL of the results database "
                        "(SQLite or PostgreSQL; a password goes in .pgpass, not here)")
    parser.add_argument("--out", required=True, type=Path, help="the HTML file to write")
    parser.add_argument("--serial", help="add this board's history")
    parser.add_argument("--timing", action="store_true",
                        help="print the seconds spent querying and plotting on standard error")
    add_filter_arguments(parser)
    args = parser.parse_args(argv)
    started, started_cpu = time.perf_counter(), time.process_time()
    try:
        engine = db.connect(args.db, reader=True)
        try:
            data = load(engine, args.serial, filters_of(args))
        finally:
            engine.dispose()
    except (db.DbError, ReportError) as e:
        print(f"report.py: {e}", file=sys.stderr)
        return 1
    queried, queried_cpu = time.perf_counter(), time.process_time()
    page = render(data)
    plotted, plotted_cpu = time.perf_counter(), time.process_time()
    try:
        tmp = args.out.with_name(args.out.name + ".tmp")
        tmp.write_text(page, encoding="utf-8")
        tmp.replace(args.out)
    except OSError as e:
        print(f"report.py: {args.out}: cannot write: {e.strerror}", file=sys.stderr)
        return 1
    if args.timing:
        # Wall time, and this process's CPU time (a server's own work is not in it).
        print(f"report: {data.runs} runs; query {queried - started:.2f} s "
              f"(cpu {queried_cpu - started_cpu:.2f} s), plot {plotted - queried:.2f} s "
              f"(cpu {plotted_cpu - queried_cpu:.2f} s), total "
              f"{time.perf_counter() - started:.2f} s{_peak_rss()}", file=sys.stderr)
    return 0


def _peak_rss() -> str:
    """This program's peak resident memory (Linux: since its exec, unlike getrusage, which
    keeps what the forking parent had)."""
    try:
        status = Path("/proc/self/status").read_text()
    except OSError:
        return ""
    for line in status.splitlines():
        if line.startswith("VmHWM:"):
            return f", peak RSS {int(line.split()[1]) / 1024:.0f} MB"
    return ""


def export_command(args: argparse.Namespace) -> int:
    """records.py export: the runs and measurements that the filters choose, as CSV."""
    try:
        engine = db.connect(args.db, reader=True)
        try:
            count_runs, count_measurements = export_csv(engine, args.csv, filters_of(args))
        finally:
            engine.dispose()
    except (db.DbError, ReportError) as e:
        print(f"records.py: {e}", file=sys.stderr)
        return 1
    print(f"{count_runs} runs and {count_measurements} measurements written to "
          f"{args.csv / 'runs.csv'} and {args.csv / 'measurements.csv'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
