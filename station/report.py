#!/usr/bin/python3
"""The line's yield report: one self-contained HTML page from the results database.

    /usr/bin/python3 -m station.report --db URL --out report.html [--serial SN] [--timing]

The page holds yield and first-pass yield per station and day, a Pareto chart of the failing
measurements, a histogram with mean, standard deviation and Cpk for every numeric
measurement, the aborted runs and, with --serial, one board's history. Plots are inline SVG
(matplotlib), the style sheet is inline: the file needs nothing else to be read.

What is counted (the page says it too): a run's outcome is its verdict, and a run without one
(the station died) is aborted, never a pass. Yield = passed runs / finished runs (pass + fail).
First-pass yield = boards whose first run at a station passed / boards whose first run there
finished. Mean, standard deviation and Cpk are over the values of the runs that passed.

Everything is aggregated in SQL, the histograms too (a first pass finds each measurement's
range and mean, a second counts the bins and the squared deviations). The same Core queries
serve SQLite and PostgreSQL; the one difference, the UTC day of a time, is a small compiled
construct below.
"""

from __future__ import annotations

import argparse
import html
import io
import json
import math
import sys
import time
from collections import defaultdict
from dataclasses import dataclass, field
from datetime import date, datetime, timezone
from pathlib import Path

import sqlalchemy as sa
from sqlalchemy.exc import DBAPIError, SQLAlchemyError
from sqlalchemy.ext.compiler import compiles
from sqlalchemy.sql.functions import FunctionElement

from station import db
from station.verdicts import RunVerdict, Verdict


class ReportError(Exception):
    """A report that cannot be made; the text names the database (password hidden) or the
    serial number at fault."""


FINISHED = (RunVerdict.PASS.value, RunVerdict.FAIL.value)
# Measurement verdicts that count as a failure of that measurement ('not run' is not one: the
# run ended before it).
FAILURES = tuple(v.value for v in (Verdict.FAIL, Verdict.NO_ANSWER, Verdict.BAD_CHECKSUM,
                                    Verdict.ERROR))


# -- data -------------------------------------------------------------------------------------

@dataclass(frozen=True)
class YieldRow:
    station: str
    day: date | None  # None: every day together
    runs: int
    passed: int
    failed: int
    stopped: int
    aborted: int
    first_passed: int    # boards whose first run at this station (on this day) passed
    first_finished: int  # boards whose first run at this station (on this day) finished

    @property
    def yield_(self) -> float | None:
        return _ratio(self.passed, self.passed + self.failed)

    @property
    def first_pass_yield(self) -> float | None:
        return _ratio(self.first_passed, self.first_finished)


def _ratio(part: int, whole: int) -> float | None:
    return part / whole if whole else None


@dataclass(frozen=True)
class Failures:
    name: str
    title: str
    by_verdict: dict[str, int]

    @property
    def count(self) -> int:
        return sum(self.by_verdict.values())


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


@dataclass(frozen=True)
class Bins:
    """A histogram's bins: `count` bins of `width` from `low`."""

    low: float
    width: float
    count: int

    @property
    def edges(self) -> list[float]:
        return [self.low + i * self.width for i in range(self.count + 1)]


@dataclass
class Numeric:
    """One measurement's values under one set of limits, as counts and moments."""

    name: str
    title: str
    unit: str | None
    limits: Limits
    values: int                  # in every run
    passing: int                 # of runs that passed
    mean: float | None           # of the passing runs' values
    sd: float | None             # their sample standard deviation
    bins: Bins
    passing_counts: list[int]    # per bin
    other_counts: list[int]
    beyond: int                  # values outside the bins

    @property
    def cpk(self) -> float | None:
        if self.mean is None or not self.sd:
            return None
        sides = [s for s in ((self.limits.high - self.mean) if self.limits.high is not None
                             else None,
                             (self.mean - self.limits.low) if self.limits.low is not None
                             else None) if s is not None]
        return min(sides) / (3 * self.sd) if sides else None


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
    judged: int          # measurements recorded

    @property
    def outcome(self) -> RunVerdict:
        return RunVerdict(self.verdict or RunVerdict.ABORTED)


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
    attempt: int  # 1 for the board's first run at that station, 2 for the first retest, ...
    measurements: list[MeasurementRow]


@dataclass
class ReportData:
    database: str  # the URL with any password hidden
    runs: int
    first_start: datetime | None
    last_start: datetime | None
    products: list[str]
    yields: list[YieldRow]        # per station and day
    failures: list[Failures]      # most frequent first
    numerics: list[Numeric]
    aborted: list[RunRow]         # newest first, at most ABORTED_SHOWN
    aborted_total: int
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
OUTCOME = db.RUN_OUTCOME


def query_yields(conn) -> list[YieldRow]:
    first = sa.func.row_number().over(partition_by=(runs.c.board_id, runs.c.station),
                                      order_by=(runs.c.started_at, runs.c.id))
    ranked = sa.select(runs.c.station, utc_day(runs.c.started_at).label("day"),
                       OUTCOME.label("outcome"), runs.c.board_id,
                       first.label("nth")).subquery()
    outcome = ranked.c.outcome
    is_first = sa.and_(ranked.c.board_id.is_not(None), ranked.c.nth == 1)
    q = (sa.select(ranked.c.station, ranked.c.day, sa.func.count(),
                   *(_count_if(outcome == o.value) for o in RunVerdict),
                   _count_if(sa.and_(is_first, outcome == RunVerdict.PASS.value)),
                   _count_if(sa.and_(is_first, outcome.in_(FINISHED))))
         .group_by(ranked.c.station, ranked.c.day)
         .order_by(ranked.c.station, ranked.c.day))
    return [YieldRow(*row) for row in conn.execute(q)]


def query_failures(conn) -> list[Failures]:
    q = (sa.select(measurements.c.name, sa.func.min(measurements.c.title),
                   measurements.c.verdict, sa.func.count())
         .where(measurements.c.verdict.in_(FAILURES))
         .group_by(measurements.c.name, measurements.c.verdict))
    found: dict[str, Failures] = {}
    for name, title, verdict, count in conn.execute(q):
        found.setdefault(name, Failures(name, title, {})).by_verdict[verdict] = count
    return sorted(found.values(), key=lambda f: (-f.count, f.name))


def choose_bins(low: float, high: float, limits: Limits, whole: bool) -> Bins:
    """Bins over the values and the limits: about 40, each a whole number of units wide when
    every value is a whole number (states, counts, versions, raw words). Values further than
    the limits' span below the low limit or above the high one stretch nothing: they are
    counted apart."""
    bounds = [b for b in (limits.low, limits.high) if b is not None]
    if bounds:
        span = max(max(bounds) - min(bounds), abs(max(bounds)) * 0.1, 1.0)
        low, high = min([low] + bounds), max([high] + bounds)
        if limits.low is not None:
            low = max(low, limits.low - span)
        if limits.high is not None:
            high = min(high, limits.high + span)
    if whole:  # bins of whole numbers, each value in the middle of one
        width = max(1, math.ceil((high - low + 1) / 40))
        first = math.floor(low)
        return Bins(first - 0.5, float(width), (math.floor(high) - first) // width + 1)
    if high == low:
        low, high = low - 0.5, high + 0.5
    pad = (high - low) * 0.05
    return Bins(low - pad, (high - low + 2 * pad) / 40, 40)


def query_numerics(conn) -> list[Numeric]:
    """Two aggregates: per measurement and limits, the counts, extremes and mean; then, with
    the bins chosen from those, the histogram counts and the squared deviations from the
    mean (a second pass keeps the standard deviation exact)."""
    m, value = measurements, measurements.c.value_num
    passing = runs.c.verdict == RunVerdict.PASS.value
    key = (m.c.name, m.c.unit, m.c.low, m.c.high)
    first = (sa.select(*key, sa.func.min(m.c.title), sa.func.min(m.c.position),
                       sa.func.count(), sa.func.min(value), sa.func.max(value),
                       _count_if(passing), sa.func.avg(sa.case((passing, value))),
                       _count_if(sa.func.floor(value) != value))
             .select_from(m.join(runs, runs.c.id == m.c.run_id))
             .where(value.is_not(None)).group_by(*key))
    groups = []
    for name, unit, low, high, title, position, count, vmin, vmax, npass, mean, fractional \
            in conn.execute(first):
        limits = Limits(low, high)
        bins = choose_bins(vmin, vmax, limits, fractional == 0)
        groups.append((position, Numeric(name, title, unit, limits, count, npass, mean, None,
                                         bins, [0] * bins.count, [0] * bins.count, 0)))
    groups.sort(key=lambda g: (g[0], g[1].name, g[1].unit or "", g[1].limits.low or 0.0,
                               g[1].limits.high or 0.0))
    numerics = [g for _, g in groups]
    if not numerics:
        return []
    # The groups' bins and means as a small table of literals, joined on the group's key.
    literal = sa.literal
    table = sa.union_all(*(
        sa.select(literal(i).label("gid"), literal(g.name).label("name"),
                  sa.cast(literal(g.unit), sa.Text).label("unit"),
                  sa.cast(literal(g.limits.low), sa.Float(53)).label("low"),
                  sa.cast(literal(g.limits.high), sa.Float(53)).label("high"),
                  sa.cast(literal(g.bins.low), sa.Float(53)).label("start"),
                  sa.cast(literal(g.bins.width), sa.Float(53)).label("width"),
                  sa.cast(literal(g.mean), sa.Float(53)).label("mean"))
        for i, g in enumerate(numerics))).subquery("groups")
    t = table.c
    deviation = value - t.mean
    # floor(): PostgreSQL's, and SQLite's math functions (3.35 on, built in on Debian).
    bin_ = sa.cast(sa.func.floor((value - t.start) / t.width), sa.Integer)
    second = (sa.select(t.gid, bin_, sa.func.count(), _count_if(passing),
                        sa.func.sum(sa.case((passing, deviation * deviation), else_=0.0)))
              .select_from(m.join(runs, runs.c.id == m.c.run_id).join(
                  table, sa.and_(t.name == m.c.name, m.c.unit.is_not_distinct_from(t.unit),
                                 m.c.low.is_not_distinct_from(t.low),
                                 m.c.high.is_not_distinct_from(t.high))))
              .where(value.is_not(None)).group_by(t.gid, bin_))
    squares = [0.0] * len(numerics)
    for gid, index, count, npass, square in conn.execute(second):
        g = numerics[gid]
        squares[gid] += square or 0.0
        if 0 <= index < g.bins.count:
            g.passing_counts[index] += npass
            g.other_counts[index] += count - npass
        else:
            g.beyond += count
    for g, square in zip(numerics, squares):
        if g.passing >= 2:
            g.sd = math.sqrt(square / (g.passing - 1))
    return numerics


def _judged():
    return (sa.select(sa.func.count()).where(measurements.c.run_id == runs.c.id)
            .scalar_subquery())


def _run_columns():
    return (runs.c.run_uid, runs.c.station, boards.c.serial_number, runs.c.product,
            runs.c.limits_file, runs.c.limits_sha256, runs.c.firmware_version,
            runs.c.started_at, runs.c.ended_at, runs.c.verdict, _judged())


def query_aborted(conn) -> tuple[list[RunRow], int]:
    aborted = OUTCOME == RunVerdict.ABORTED.value
    total = conn.execute(sa.select(sa.func.count()).where(aborted)).scalar_one()
    q = (sa.select(*_run_columns())
         .select_from(runs.outerjoin(boards, boards.c.id == runs.c.board_id))
         .where(aborted).order_by(runs.c.started_at.desc(), runs.c.id.desc())
         .limit(ABORTED_SHOWN))
    return [RunRow(*row) for row in conn.execute(q)], total


def query_history(conn, serial: str) -> list[BoardRun]:
    q = (sa.select(runs.c.id, *_run_columns())
         .select_from(runs.join(boards, boards.c.id == runs.c.board_id))
         .where(boards.c.serial_number == serial)
         .order_by(runs.c.started_at, runs.c.id))
    found = [(row[0], RunRow(*row[1:])) for row in conn.execute(q)]
    m = measurements
    by_run: dict[int, list[MeasurementRow]] = defaultdict(list)
    if found:
        mq = (sa.select(m.c.run_id, m.c.position, m.c.name, m.c.title, m.c.value_num,
                        m.c.value_text, m.c.unit, m.c.limits, m.c.verdict, m.c.detail)
              .where(m.c.run_id.in_([run_id for run_id, _ in found]))
              .order_by(m.c.run_id, m.c.position))
        for run_id, position, name, title, num, text, unit, limits, verdict, detail \
                in conn.execute(mq):
            value = _num(num) if num is not None else (text if text is not None else "")
            by_run[run_id].append(MeasurementRow(position, name, title, value, unit,
                                                 _limits_text(limits), verdict, detail))
    attempts: dict[str, int] = defaultdict(int)
    history = []
    for run_id, run in found:
        attempts[run.station] += 1
        history.append(BoardRun(run, attempts[run.station], by_run[run_id]))
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


def load(engine: sa.engine.Engine, serial: str | None = None) -> ReportData:
    """Everything the page shows, read in one transaction (one snapshot on PostgreSQL)."""
    shown = db.shown(engine.url)
    try:
        with engine.connect() as conn:
            if conn.dialect.name == "postgresql":
                conn = conn.execution_options(isolation_level="REPEATABLE READ")
            inspector = sa.inspect(conn)
            missing = [t.name for t in (boards, runs, measurements)
                       if not inspector.has_table(t.name)]
            if missing:
                raise ReportError(f"{shown}: no results tables here ({', '.join(missing)} "
                                  "missing); is this the line's results database?")
            count, first, last = conn.execute(
                sa.select(sa.func.count(), sa.func.min(runs.c.started_at),
                          sa.func.max(runs.c.started_at))).one()
            products = list(conn.execute(sa.select(runs.c.product).distinct()
                                         .order_by(runs.c.product)).scalars())
            aborted, aborted_total = query_aborted(conn)
            data = ReportData(shown, count, first, last, products, query_yields(conn),
                              query_failures(conn), query_numerics(conn), aborted,
                              aborted_total)
            if serial is not None:
                data.serial = serial
                data.history = query_history(conn, serial)
                if not data.history:
                    raise ReportError(f"{shown}: no runs of a board with serial number "
                                      f"{serial!r}")
            return data
    except DBAPIError as e:
        raise ReportError(f"{shown}: {_first_line(e.orig)}") from None
    except SQLAlchemyError as e:
        raise ReportError(f"{shown}: {_first_line(e)}") from None


def _first_line(error: object) -> str:
    lines = str(error).strip().splitlines()
    return f"{type(error).__name__}: {lines[0] if lines else ''}"


# -- plots ------------------------------------------------------------------------------------

PASS_COLOUR, FAIL_COLOUR, LINE_COLOUR, LIMIT_COLOUR = "#3b7dd8", "#d9534f", "#333333", "#c0392b"


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
    """Two panels side by side, the same scale: yield, then first-pass yield, per day, one
    line per station."""
    from matplotlib.dates import DateFormatter, DayLocator
    from matplotlib.figure import Figure
    days = {r.day for r in rows}
    fig = Figure(figsize=(11, 3.4))
    fig.subplots_adjust(left=0.05, right=0.86, bottom=0.22, top=0.9, wspace=0.08)
    panels = fig.subplots(1, 2, sharey=True)
    stations = sorted({r.station for r in rows})
    for ax, attr, title in zip(panels, ("yield_", "first_pass_yield"),
                               ("Yield per day", "First-pass yield per day")):
        for i, station in enumerate(stations):
            points = [(r.day, getattr(r, attr) * 100) for r in rows
                      if r.station == station and getattr(r, attr) is not None]
            if points:
                ax.plot(*zip(*points), marker="o", markersize=3, color=f"C{i % 10}",
                        label=station)
        ax.set_title(title + " (UTC)")
        ax.xaxis.set_major_locator(DayLocator(interval=max(1, math.ceil(len(days) / 10))))
        ax.xaxis.set_major_formatter(DateFormatter("%Y-%m-%d"))
        for label in ax.get_xticklabels():
            label.set(rotation=30, ha="right")
    panels[0].set_ylabel("%")
    panels[1].legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.02, 1.0), frameon=False)
    return _svg(fig)


def plot_pareto(failures: list[Failures]) -> str:
    shown = failures[:15]
    total = sum(f.count for f in failures)
    fig, ax = _figure(10, 3.8)
    fig.subplots_adjust(left=0.07, right=0.93, bottom=0.36, top=0.92)
    labels = [f.title for f in shown]
    counts = [f.count for f in shown]
    ax.bar(range(len(shown)), counts, color=FAIL_COLOUR)
    ax.set_xticks(range(len(shown)), labels, rotation=35, ha="right")
    ax.set_ylabel("failed measurements")
    cumulative, running = [], 0
    for c in counts:
        running += c
        cumulative.append(100 * running / total)
    right = ax.twinx()
    right.plot(range(len(shown)), cumulative, color=LINE_COLOUR, marker="o", markersize=3)
    right.set_ylim(0, 105)
    right.set_ylabel("cumulative %")
    right.grid(False)
    right.spines["right"].set_visible(True)
    ax.set_title("Failing measurements (Pareto)")
    return _svg(fig)


def plot_histogram(group: Numeric) -> str:
    from matplotlib.ticker import MaxNLocator
    fig, ax = _figure(3.8, 2.3)
    fig.subplots_adjust(left=0.15, right=0.97, bottom=0.2, top=0.88)
    edges = group.bins.edges
    both = [p + o for p, o in zip(group.passing_counts, group.other_counts)]
    ax.stairs(group.passing_counts, edges, fill=True, color=PASS_COLOUR,
              label="runs that passed")
    ax.stairs(both, edges, baseline=group.passing_counts, fill=True, color=FAIL_COLOUR,
              label="other runs")
    low, high = group.limits.low, group.limits.high
    marks = [(low, "limit")] if low is not None and low == high else \
        [(b, label) for b, label in ((low, "low"), (high, "high")) if b is not None]
    for bound, label in marks:
        ax.axvline(bound, color=LIMIT_COLOUR, linestyle="--", linewidth=1.2)
        ax.annotate(f"{label} {_num(bound)}", (bound, 1), xycoords=("data", "axes fraction"),
                    ha="center", va="bottom", fontsize=7, color=LIMIT_COLOUR)
    if group.bins.width.is_integer():  # whole-number readings: ticks on whole numbers
        ax.xaxis.set_major_locator(MaxNLocator(integer=True))
    ax.set_xlim(edges[0], edges[-1])
    ax.set_ylim(0, max(both + [1]) * 1.08)
    ax.set_xlabel(group.unit or "")
    ax.set_ylabel("runs")
    ax.legend(fontsize=6, loc="upper right", framealpha=0.8)
    return _svg(fig)


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


def _table(head: list[str] | None, rows: list[list[str]], cls: str = "") -> str:
    """A table of already escaped cells; the style right-aligns all but the first column
    (all but the first two with class "two")."""
    cls_attr = f' class="{cls}"' if cls else ""
    out = [f"<table{cls_attr}>"]
    if head:
        out.append("<thead><tr>" + "".join(f"<th>{h}</th>" for h in head) + "</tr></thead>")
    out.append("<tbody>")
    for row in rows:
        out.append("<tr>" + "".join(f"<td>{c}</td>" for c in row) + "</tr>")
    out.append("</tbody></table>")
    return "".join(out)


def _verdict(verdict: str) -> str:
    return f'<span class="v v-{_e(verdict.replace(" ", "-"))}">{_e(verdict)}</span>'


def totals(rows: list[YieldRow]) -> list[YieldRow]:
    """Each station over every day, then every station together."""
    def add(station: str, group: list[YieldRow]) -> YieldRow:
        return YieldRow(station, None, *(sum(getattr(r, f) for r in group) for f in
                        ("runs", "passed", "failed", "stopped", "aborted", "first_passed",
                         "first_finished")))
    stations = sorted({r.station for r in rows})
    out = [add(s, [r for r in rows if r.station == s]) for s in stations]
    if len(stations) > 1:
        out.append(add("all stations", rows))
    return out


def _yield_rows(rows: list[YieldRow]) -> list[list[str]]:
    return [[_e(r.station), _e(r.day.isoformat() if r.day else "all days"), str(r.runs),
             str(r.passed), str(r.failed), str(r.stopped), str(r.aborted),
             _pct(r.yield_), f"{r.first_passed}/{r.first_finished}",
             _pct(r.first_pass_yield)] for r in rows]


YIELD_HEAD = ["station", "day (UTC)", "runs", "pass", "fail", "stopped", "aborted", "yield",
              "first runs passed", "first-pass yield"]

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
tr.total td{font-weight:bold;background:#fafafa}.note{color:#555;font-size:12px}
.measure{border-top:1px solid #eee;padding:4px 0}.measure small{color:#777;font-weight:normal}
.measure .row{display:flex;gap:10px;align-items:center}.stats td{white-space:nowrap}.measure svg{flex:0 1 auto;min-width:0}.stats td:first-child{color:#555}.v{padding:0 5px;border-radius:3px}
.v-pass{background:#dff0d8}.v-fail,.v-error,.v-bad-checksum,.v-no-answer{background:#f5c6c4}
.v-aborted,.v-stopped,.v-not-run{background:#eee}svg{max-width:100%;height:auto}
table.runs td:not(:last-child){white-space:nowrap}details{margin:10px 0}summary{cursor:pointer;font-weight:bold;font-size:14px}
.measures{display:grid;grid-template-columns:1fr 1fr;column-gap:24px}
"""


def _summary(data: ReportData) -> str:
    total = totals(data.yields)
    line = total[-1] if total else None
    cards = [("runs", str(data.runs)),
             ("yield", _pct(line.yield_ if line else None)),
             ("first-pass yield", _pct(line.first_pass_yield if line else None)),
             ("aborted runs", str(data.aborted_total)),
             ("failing measurements", str(sum(f.count for f in data.failures)))]
    return '<div class="cards">' + "".join(
        f'<div class="card"><b>{_e(v)}</b><span>{_e(k)}</span></div>' for k, v in cards) \
        + "</div>"


def _yield_section(data: ReportData) -> str:
    out = ["<h2>Yield</h2>",
           '<p class="note">A run\'s outcome is its verdict; a run that never got one (the '
           "station died) counts as aborted, never as a pass. Yield = passed runs / finished "
           "runs (pass + fail); stopped and aborted runs are not in it. First-pass yield = "
           "boards whose first run at the station passed / boards whose first run there "
           "finished, by the day of that first run; runs without a serial number are not in "
           "it. Days are UTC.</p>"]
    if not data.yields:
        return "".join(out) + "<p>No runs.</p>"
    out.append(plot_yields(data.yields))
    rows = _yield_rows(totals(data.yields))
    out.append("<h3>Per station</h3>" + _table(YIELD_HEAD, rows, "two"))
    out.append("<details><summary>Per station and day</summary>"
               + _table(YIELD_HEAD, _yield_rows(data.yields), "two") + "</details>")
    return "".join(out)


def _pareto_section(data: ReportData) -> str:
    out = ["<h2>Failing measurements</h2>",
           '<p class="note">Measurements judged fail, no answer, bad checksum or error, in '
           "every run (aborted ones too); measurements not run are not counted.</p>"]
    if not data.failures:
        return "".join(out) + "<p>No measurement failed.</p>"
    out.append(plot_pareto(data.failures))
    total = sum(f.count for f in data.failures)
    running, rows = 0, []
    for f in data.failures:
        running += f.count
        rows.append([_e(f.title), _e(f.name), str(f.count)]
                    + [str(f.by_verdict.get(v, 0)) for v in FAILURES]
                    + [f"{100 * running / total:.1f} %"])
    out.append(_table(["measurement", "name", "failed"] + list(FAILURES) + ["cumulative"],
                      rows, "two"))
    return "".join(out)


def _numeric_section(data: ReportData) -> str:
    out = ["<h2>Measurements</h2>",
           '<p class="note">Every numeric measurement: its values in all runs, those of runs '
           "that passed in blue; the limits dashed. Mean, standard deviation (sample) and Cpk "
           "= min(high &minus; mean, mean &minus; low) / (3 sd) are over the runs that passed; "
           "one-sided with one limit, none without limits or spread.</p>"]
    if not data.numerics:
        return "".join(out) + "<p>No numeric values.</p>"
    cells = []
    for group in data.numerics:
        svg = plot_histogram(group)
        stats = [("values", str(group.values)), ("of passing runs", str(group.passing)),
                 ("limits", _e(group.limits.describe() + (f" {group.unit}" if group.unit
                                                          else ""))),
                 ("mean", _num(group.mean)), ("sd", _num(group.sd)),
                 ("Cpk", _num(group.cpk, 3))]
        if group.beyond:
            stats.append(("beyond the plot", str(group.beyond)))
        cells.append(f'<div class="measure" id="m-{_e(group.name)}"><h3>{_e(group.title)} '
                     f'<small>{_e(group.name)}</small></h3><div class="row">{svg}'
                     + _table(None, [[k, v] for k, v in stats], "stats") + "</div></div>")
    return "".join(out) + '<div class="measures">' + "".join(cells) + "</div>"


RUN_HEAD = ["started (UTC)", "ended", "station", "serial number", "verdict", "measurements",
            "limits file", "run"]


def _run_cells(run: RunRow) -> list[str]:
    stored = run.verdict if run.verdict is not None else "aborted (no verdict)"
    return [_time(run.started_at), _time(run.ended_at), _e(run.station),
            _e(run.serial_number or "–"), _verdict(stored), str(run.judged),
            _e(f"{Path(run.limits_file).name} ({run.limits_sha256[:8]})"), _e(run.run_uid)]


def _aborted_section(data: ReportData) -> str:
    out = ["<h2>Aborted runs</h2>",
           f'<p class="note">{data.aborted_total} runs without a pass or fail: aborted by the '
           "station, or never finished (the station died or lost the database). Newest "
           "first" + (f"; the newest {ABORTED_SHOWN} shown" if data.aborted_total
                      > len(data.aborted) else "") + ".</p>"]
    if data.aborted:
        out.append(_table(RUN_HEAD, [_run_cells(r) for r in data.aborted], "left runs"))
    return "".join(out)


def _history_section(data: ReportData) -> str:
    out = [f"<h2>Board {_e(data.serial)}</h2>",
           f'<p class="note">{len(data.history)} runs, oldest first; a retest is a run after '
           "the board's first at that station.</p>"]
    for item in data.history:
        run = item.run
        kind = "first run" if item.attempt == 1 else f"retest {item.attempt - 1}"
        out.append(f"<h3>{_time(run.started_at)} at {_e(run.station)}: {kind}, "
                   f"{_verdict(run.outcome.value)}</h3>")
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
    parts = ["<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\">",
             f"<title>Line report: {_e(', '.join(data.products) or 'no runs')}</title>",
             f"<style>{STYLE}</style></head><body>",
             f"<h1>Line report: {_e(', '.join(data.products) or 'no runs')}</h1>",
             f'<p class="meta">{data.runs} runs started {span}; database {_e(data.database)}'
             "</p>", _summary(data)]
    if data.serial is not None:
        parts.append(_history_section(data))
    parts += [_yield_section(data), _pareto_section(data),
              _numeric_section(data), _aborted_section(data), "</body></html>\n"]
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
    args = parser.parse_args(argv)
    started, started_cpu = time.perf_counter(), time.process_time()
    try:
        engine = db.connect(args.db, reader=True)
        try:
            data = load(engine, args.serial)
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
              f"{time.perf_counter() - started:.2f} s", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
