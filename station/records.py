"""A board's record: built from the finished run, handed to the outputs that keep it.

The run ends as one `FinishedRun`; each output is a callable that takes it: the JSON file per
board, `JsonRecords`, and the results database, `DbRecords`, which also keeps the run while it
goes on, its lease renewed while it does. A run that the database could not take waits in the
`Spool` until it answers again (`Recorder`, a slot's way to a database that may be away).
`records.py import DIR` brings JSON records into the database; `records.py close-stale`
closes the runs whose station died. The JSON is strict: no NaN or infinity anywhere, since the
judge keeps only finite values (a record that would need one is refused, not written; one that
holds one is not imported).
"""

from __future__ import annotations

import argparse
import dataclasses
import hashlib
import json
import math
import os
import sys
import threading
import uuid
from dataclasses import dataclass
from datetime import datetime, timedelta, timezone
from pathlib import Path
from typing import Callable

import sqlalchemy as sa

from station import db
from station.measurements import Result, TeardownStep
from station.verdicts import RunVerdict, Verdict, run_verdict


@dataclass(frozen=True)
class FinishedRun:
    """Everything the station knows when the run is over."""

    product: str
    limits_file: str
    station: str
    transport: str | None      # None when the board was never reached
    start: datetime            # UTC
    end: datetime
    duration_s: float
    board_ready_s: float | None
    steps_s: float | None
    results: tuple[Result, ...]  # every measurement of the plan, in its order
    unrecognised: tuple[str, ...]
    slot: str | None = None    # the line's slot (its labgrid target) the board was in
    tool_s: float | None = None  # the tool's own run times, summed (where it ran: the floor)
    console_bytes: tuple[int, int] | None = None  # read, written on the console while testing
    stopped: bool = False      # the operator stopped the station while the board was tested
    run_uid: str | None = None  # the run's in the database
    limits_sha256: str | None = None
    tool_version: str | None = None     # the tool's build on the board (tool_build())
    station_version: str | None = None
    teardown: tuple[TeardownStep, ...] = ()  # after the plan: every relay off again
    fault: RunVerdict | None = None  # no boot, fixture error, refused: the plan did not run
    retest: int | None = None  # 0 its serial number's first test on this line, N its Nth retest
    scanned_serial: str | None = None  # the serial number on its label, as the operator scanned it

    @property
    def serial_number(self) -> str | None:
        for r in self.results:
            if r.name == "serial_number" and isinstance(r.value, str):
                return r.value
        return None

    @property
    def passed(self) -> int:
        return sum(r.verdict == Verdict.PASS for r in self.results)

    @property
    def verdict(self) -> RunVerdict:
        return run_verdict((r.verdict for r in self.results), self.stopped, self.fault)


# What receives a finished run: the JSON record, the database, the JUnit XML.
Output = Callable[[FinishedRun], object]


def build_record(run: FinishedRun) -> dict[str, object]:
    return {
        "serial_number": run.serial_number,
        "product": run.product,
        "limits_file": run.limits_file,
        "station": run.station,
        "transport": run.transport,
        "start": run.start.isoformat(timespec="seconds"),
        "end": run.end.isoformat(timespec="seconds"),
        "duration_s": run.duration_s,
        "board_ready_s": run.board_ready_s,
        "steps_s": run.steps_s,
        "tool_s": run.tool_s,
        "console_bytes": (None if run.console_bytes is None else
                          dict(zip(("read", "written"), run.console_bytes))),
        "slot": run.slot,
        "run_uid": run.run_uid,
        "limits_sha256": run.limits_sha256,
        "tool_version": run.tool_version,
        "station_version": run.station_version,
        "verdict": run.verdict.value,
        "retest": run.retest,
        "scanned_serial": run.scanned_serial,
        "measurements": [r.as_dict() for r in run.results],
        "unrecognised_output": list(run.unrecognised),
        "teardown": [dataclasses.asdict(t) for t in run.teardown],
    }


def record_text(run: FinishedRun) -> str:
    # Serialised first: a value strict JSON cannot hold raises before any file is touched.
    return json.dumps(build_record(run), indent=2, ensure_ascii=False, allow_nan=False) + "\n"


class JsonRecords:
    """One JSON file per run in a folder, `<serial number>_<UTC start>.json`."""

    def __init__(self, folder: str | Path):
        self.folder = Path(folder)

    def path(self, run: FinishedRun) -> Path:
        stamp = run.start.strftime("%Y%m%dT%H%M%SZ")
        return self.folder / f"{run.serial_number or 'unknown'}_{stamp}.json"

    def __call__(self, run: FinishedRun) -> Path:
        text = record_text(run)
        self.folder.mkdir(parents=True, exist_ok=True)
        return write_new(self.path(run), text)


def write_new(path: Path, text: str) -> Path:
    """Writes a whole new file at path, or at path-2, path-3... when that name is taken (boards
    without a serial number in several slots, started in the same second): a record is never
    written over another, and readers never see a part of one. No hard links (vfat and SMB
    folders refuse them): the text goes into a scratch file of a name no one else has, and is
    renamed to a free name that the writer holds by an exclusive `.<name>.claim` meanwhile
    (one left by a writer that died keeps its name unused, no more)."""
    tmp = path.with_name(f".{path.name}.{uuid.uuid4().hex}.tmp")
    with open(tmp, "x", encoding="utf-8") as out:
        out.write(text)
        out.flush()
        os.fsync(out.fileno())
    try:
        n = 1
        while True:
            name = path if n == 1 else path.with_name(f"{path.stem}-{n}{path.suffix}")
            n += 1
            claim = name.with_name(f".{name.name}.claim")
            try:
                os.close(os.open(claim, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644))
            except FileExistsError:
                continue
            try:
                if not name.exists():  # no writer but the claim's holder makes it now
                    os.rename(tmp, name)
                    return name
            finally:
                os.unlink(claim)
    finally:
        if tmp.exists():
            tmp.unlink()


# -- the results database ---------------------------------------------------------------------

LEASE_S = 30.0  # a run whose station has not renewed it for this long is dead
RENEW_S = 5.0   # how often a station renews (a few renewals lost to a busy server are nothing)


@dataclass(frozen=True)
class RunStart:
    """What the run row holds from the start."""

    run_uid: str
    station: str
    product: str
    limits_file: str
    limits_sha256: str
    started_at: datetime       # UTC
    slot: str | None = None
    tool_version: str | None = None
    station_version: str | None = None


@dataclass(frozen=True)
class RunEnd:
    """What the run row gets at the end."""

    verdict: RunVerdict
    ended_at: datetime
    duration_s: float | None = None
    board_ready_s: float | None = None
    steps_s: float | None = None
    tool_s: float | None = None
    console_bytes: tuple[int, int] | None = None
    retest: int | None = None
    scanned_serial: str | None = None

    @classmethod
    def of(cls, run: FinishedRun) -> "RunEnd":
        return cls(run.verdict, run.end, run.duration_s, run.board_ready_s, run.steps_s,
                   run.tool_s, run.console_bytes, run.retest, run.scanned_serial)

    def values(self) -> dict[str, object]:
        read, written = self.console_bytes or (None, None)
        return {"verdict": self.verdict.value, "ended_at": self.ended_at,
                "duration_s": self.duration_s, "board_ready_s": self.board_ready_s,
                "steps_s": self.steps_s, "tool_s": self.tool_s, "console_read": read,
                "console_written": written, "retest": self.retest,
                "scanned_serial": self.scanned_serial}


def measurement_row(run_id: int, position: int, r: Result) -> dict[str, object]:
    value = r.value
    number = float(value) if isinstance(value, (int, float)) else None
    text = None if value is None or number is not None else str(value)
    low, high = (r.limits.get(k) for k in ("min", "max"))
    return {"run_id": run_id, "position": position, "name": r.name, "title": r.title,
            "value_num": number, "value_text": text, "unit": r.unit,
            "low": float(low) if isinstance(low, (int, float)) else None,
            "high": float(high) if isinstance(high, (int, float)) else None,
            "limits": json.dumps(r.limits, ensure_ascii=False, allow_nan=False),
            "verdict": r.verdict.value, "detail": r.detail}


def _board_id(conn, serial_number: str, seen: datetime) -> int:
    db.insert_ignoring(conn, db.boards, {"serial_number": serial_number, "first_seen": seen})
    return conn.execute(sa.select(db.boards.c.id)
                        .where(db.boards.c.serial_number == serial_number)).scalar_one()


def _insert_run(conn, start: RunStart, lease_until: datetime | None = None) -> int:
    """The run's id, its row made unless it is there (a retry, a run put in again)."""
    db.insert_ignoring(conn, db.runs, {
        "run_uid": start.run_uid, "station": start.station, "slot": start.slot,
        "product": start.product, "limits_file": start.limits_file,
        "limits_sha256": start.limits_sha256, "tool_version": start.tool_version,
        "station_version": start.station_version, "started_at": start.started_at,
        "lease_until": lease_until})
    run_id = conn.execute(sa.select(db.runs.c.id)
                          .where(db.runs.c.run_uid == start.run_uid)).scalar_one()
    return run_id


def _open_run(run_id: int):
    return db.runs.update().where(db.runs.c.id == run_id, db.runs.c.verdict.is_(None))


def _measured(conn, run_id: int, position: int, r: Result, seen: datetime) -> None:
    db.insert_ignoring(conn, db.measurements, measurement_row(run_id, position, r))
    # Who the board is, once it is read.
    if r.name == "serial_number" and isinstance(r.value, str):
        board = _board_id(conn, r.value, seen)
        conn.execute(db.runs.update().where(db.runs.c.id == run_id).values(board_id=board))
    elif r.name == "firmware_version" and r.value is not None:
        conn.execute(db.runs.update().where(db.runs.c.id == run_id)
                     .values(firmware_version=str(r.value)))


def _finish(conn, run_id: int, results, end: RunEnd, seen: datetime,
            kept: frozenset[str] = frozenset()) -> bool:
    """Whether this call gave the run its verdict: not when it had one (a retry, or the
    record put in first by the station's spool or an import)."""
    # Locked until the commit: writers that finish one run at once finish it once.
    if conn.execute(sa.select(db.runs.c.id).where(db.runs.c.id == run_id,
                                                  db.runs.c.verdict.is_(None))
                    .with_for_update()).first() is None:
        return False
    # The measurements not in yet (not run, or not kept) go in now.
    for position, r in enumerate(results, 1):
        if r.name not in kept:
            _measured(conn, run_id, position, r, seen)
    return conn.execute(_open_run(run_id).values(**end.values())).rowcount == 1


def tests_of(conn, serial_number: str) -> int:
    """The runs of this serial number that passed or failed."""
    return conn.execute(
        sa.select(sa.func.count()).select_from(db.runs.join(db.boards))
        .where(db.boards.c.serial_number == serial_number,
               db.runs.c.verdict.in_([RunVerdict.PASS.value, RunVerdict.FAIL.value]))
    ).scalar_one()


class DbRecords:
    """The run in the results database as it goes: the run row at the start, each judged
    measurement committed at once, the verdict at the end. Meanwhile the run's lease is
    renewed with each measurement and by renew() (LeaseKeeper); a run whose station dies keeps
    a NULL verdict and reads as aborted once its lease has run out. clock: the time the lease
    is counted in (the tests' own)."""

    def __init__(self, engine: sa.engine.Engine, start: RunStart,
                 clock: Callable[[], datetime] = db.now, for_s: float = db.RETRY_FOR_S):
        self.engine, self.start, self.clock, self.for_s = engine, start, clock, for_s
        self.run_id = self._write(lambda conn: _insert_run(conn, start, self._lease()))
        self.kept: set[str] = set()

    def _write(self, work, for_s: float | None = None):
        return db.write(self.engine, work, for_s=self.for_s if for_s is None else for_s)

    def _lease(self) -> datetime:
        return self.clock() + timedelta(seconds=LEASE_S)

    def _renew(self, conn) -> None:
        conn.execute(_open_run(self.run_id).values(lease_until=self._lease()))

    def renew(self, for_s: float | None = None) -> None:
        self._write(self._renew, for_s)

    def measured(self, position: int, r: Result) -> None:
        def work(conn):
            _measured(conn, self.run_id, position, r, self.start.started_at)
            self._renew(conn)
        self._write(work)
        self.kept.add(r.name)

    def __call__(self, run: FinishedRun) -> None:
        """The run's end: what was not kept yet, and its verdict."""
        kept = frozenset(self.kept)
        self._write(lambda conn: _finish(conn, self.run_id, run.results, RunEnd.of(run),
                                         run.start, kept))


class LeaseKeeper:
    """Renews a run's lease every `every_s` from a thread of its own until stop(): a step of
    the plan can take longer than a lease between two measurements. A renewal that fails
    (the server away, any error) is tried again at the next turn, not before: stop() never
    waits for a retry."""

    def __init__(self, record: DbRecords, every_s: float = RENEW_S):
        self.record, self.every_s = record, every_s
        self.renewals = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="lease", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        while not self._stop.wait(self.every_s):
            try:
                self.record.renew(for_s=0.0)
                self.renewals += 1
            except Exception:  # noqa: BLE001 -- the run's own writes say what it was
                pass

    def stop(self) -> None:
        self._stop.set()
        self._thread.join()


def close_stale(engine: sa.engine.Engine, at: datetime, station: str | None = None) -> int:
    """Closes as aborted every run without a verdict whose lease had run out at `at` (the
    station's, or every station's): its end is its lease's, the last moment its station
    vouched for it. The number closed."""
    stale = [db.runs.c.verdict.is_(None),
             sa.or_(db.runs.c.lease_until.is_(None), db.runs.c.lease_until <= at)]
    if station is not None:
        stale.append(db.runs.c.station == station)
    statement = db.runs.update().where(*stale).values(
        verdict=RunVerdict.ABORTED.value,
        ended_at=sa.func.coalesce(db.runs.c.lease_until, db.runs.c.started_at))
    return db.write(engine, lambda conn: conn.execute(statement).rowcount)


def keep_limits_text(engine: sa.engine.Engine, sha256: str, text: str, seen: datetime) -> None:
    """The limits file's text, once per hash."""
    db.write(engine, lambda conn: db.insert_ignoring(
        conn, db.limits_texts, {"sha256": sha256, "text": text, "first_seen": seen}))


def default_db(report_dir: str | Path) -> sa.engine.URL:
    """The report folder's own SQLite file (its spool's too)."""
    folder = Path(report_dir)
    if folder.name == SPOOL and (folder.parent / "results.sqlite").exists():
        folder = folder.parent
    return db.sqlite_url(folder / "results.sqlite")


# -- bringing JSON records in -----------------------------------------------------------------

class RecordError(Exception):
    """A JSON record that cannot be brought in; the text names the file and the key."""


def _field(record: dict, key: str, path: Path, kind: type | tuple[type, ...], where: str = ""):
    value = record.get(key)
    if not isinstance(value, kind) or (isinstance(value, bool) and bool not in (
            kind if isinstance(kind, tuple) else (kind,))):
        names = " or ".join(k.__name__ for k in (kind if isinstance(kind, tuple) else (kind,)))
        raise RecordError(f"{path}: {where}{key}: {value!r} is not {names}")
    return value


def _utc(text: str, key: str, path: Path) -> datetime:
    try:
        moment = datetime.fromisoformat(text)
    except ValueError:
        moment = None
    if moment is None or moment.tzinfo is None:
        raise RecordError(f"{path}: {key}: {text!r} is not a time with its time zone")
    return moment.astimezone(timezone.utc)


@dataclass(frozen=True)
class _NotFinite:
    """NaN, Infinity or a number too large for a float, where the reader found it."""
    token: str


def _float_or_not(text: str):
    value = float(text)
    return value if math.isfinite(value) else _NotFinite(text)


def _first_not_finite(value, where: str = "") -> tuple[str, str] | None:
    """(where, token) of the first value that is not a finite number, in the record's order."""
    if isinstance(value, _NotFinite):
        return where, value.token
    if isinstance(value, dict):
        items = ((f"{where}.{k}" if where else str(k), v) for k, v in value.items())
    elif isinstance(value, list):
        items = ((f"{where}[{i}]", v) for i, v in enumerate(value, 1))
    else:
        return None
    for inner, v in items:
        found = _first_not_finite(v, inner)
        if found:
            return found
    return None


NUMBER = (int, float, type(None))


@dataclass(frozen=True)
class ReadRecord:
    """A JSON record as a finished run."""
    start: RunStart
    results: tuple[Result, ...]
    end: RunEnd


def read_record(path: Path) -> ReadRecord:
    """A JSON record as a finished run, under the run_uid it carries (the station's), or else
    the hash of the file's bytes: the same file brought in twice is the same run."""
    data = path.read_bytes()
    try:
        record = json.loads(data, parse_constant=_NotFinite, parse_float=_float_or_not)
    except ValueError as e:
        raise RecordError(f"{path}: not JSON: {e}") from None
    if not isinstance(record, dict):
        raise RecordError(f"{path}: not a record")
    bad = _first_not_finite(record)
    if bad:
        raise RecordError(f"{path}: {bad[0]}: {bad[1]} is not a finite number (strict JSON "
                          "has no NaN or Infinity)")
    uid = _field(record, "run_uid", path, (str, type(None)))
    start = RunStart(
        run_uid=uid or "json-" + hashlib.sha256(data).hexdigest(),
        station=_field(record, "station", path, str),
        product=_field(record, "product", path, str),
        limits_file=_field(record, "limits_file", path, str),
        # Older records do not say which bytes the limits had.
        limits_sha256=_field(record, "limits_sha256", path, (str, type(None))) or "",
        started_at=_utc(_field(record, "start", path, str), "start", path),
        slot=_field(record, "slot", path, (str, type(None))),
        tool_version=_field(record, "tool_version", path, (str, type(None))),
        station_version=_field(record, "station_version", path, (str, type(None))))
    results = []
    for i, m in enumerate(_field(record, "measurements", path, list), 1):
        where = f"measurements[{i}]."
        if not isinstance(m, dict):
            raise RecordError(f"{path}: {where[:-1]}: not a measurement")
        try:
            verdict = Verdict(m.get("verdict"))
        except ValueError:
            raise RecordError(f"{path}: {where}verdict: {m.get('verdict')!r}") from None
        results.append(Result(_field(m, "name", path, str, where),
                              _field(m, "title", path, str, where), m.get("value"),
                              m.get("unit"), _field(m, "limits", path, dict, where),
                              verdict, m.get("detail") or ""))
    try:
        verdict = RunVerdict(record.get("verdict"))
    except ValueError:
        raise RecordError(f"{path}: verdict: {record.get('verdict')!r}") from None
    console = _field(record, "console_bytes", path, (dict, type(None)))
    if console is not None:
        console = tuple(_field(console, k, path, int, "console_bytes.")
                        for k in ("read", "written"))
    end = RunEnd(verdict, _utc(_field(record, "end", path, str), "end", path),
                 *(_field(record, k, path, NUMBER)
                   for k in ("duration_s", "board_ready_s", "steps_s", "tool_s")),
                 console_bytes=console,
                 retest=_field(record, "retest", path, (int, type(None))),
                 scanned_serial=_field(record, "scanned_serial", path, (str, type(None))))
    return ReadRecord(start, tuple(results), end)


def import_record(engine: sa.engine.Engine, record: ReadRecord,
                  for_s: float = db.RETRY_FOR_S) -> bool:
    """One record in one transaction; False when it was in already. A run that the database
    has without a verdict (begun live, then the server went away) is finished from it."""
    def work(conn) -> bool:
        return _finish(conn, _insert_run(conn, record.start), record.results, record.end,
                       record.start.started_at)
    return db.write(engine, work, for_s=for_s)


# -- while the database is away ---------------------------------------------------------------

SPOOL = "spool"  # beside the JSON records


class Spool:
    """The runs that the database could not take, each a JSON record `<run_uid>.json` (a copy
    of the one in the report folder), until they are put in."""

    def __init__(self, folder: str | Path):
        self.folder = Path(folder)
        self.refused: list[str] = []  # why each record set aside as .refused was

    @classmethod
    def of(cls, report_dir: str | Path) -> "Spool":
        return cls(Path(report_dir) / SPOOL)

    def keep(self, run: FinishedRun) -> Path:
        text = record_text(run)
        self.folder.mkdir(parents=True, exist_ok=True)
        return write_new(self.folder / f"{run.run_uid}.json", text)

    def waiting(self) -> list[Path]:
        return sorted(self.folder.glob("*.json"))

    def put_in(self, engine: sa.engine.Engine, for_s: float = db.RETRY_FOR_S) -> int:
        """Puts every spooled run in, each removed once it is in; how many were not in yet.
        A database error stops it and leaves the rest; a record that cannot be read (a
        damaged disk) is set aside, renamed .refused. Slots may put the spool in at once: a
        run put in twice is in once."""
        added = 0
        for path in self.waiting():
            try:
                record = read_record(path)
            except FileNotFoundError:
                continue  # put in meanwhile
            except RecordError as e:
                path.rename(path.with_suffix(".refused"))
                self.refused.append(f"{e} (set aside as {path.with_suffix('.refused').name})")
                continue
            added += import_record(engine, record, for_s)
            path.unlink(missing_ok=True)
        return added


def describe_failure(e: Exception) -> str:
    """A database write's failure in one line: the server's or the driver's message, or
    SQLAlchemy's own (a pool that timed out)."""
    if isinstance(e, sa.exc.DBAPIError):
        return db.describe_error(e)
    lines = str(e).strip().splitlines()
    return f"{type(e).__name__}: {lines[0] if lines else ''}"


class Recorder:
    """A slot's way to the results database, which may be away. While it answers, a run goes
    in as it goes (DbRecords), its writes retried for up to `retry_s`; a write that fails
    past that, or with any other error, leaves the run to the spool and marks the database
    away. While it is away each next run tries once, the spool first: when that works it is
    back. The database's being away never reaches the slot; `say` tells the operator."""

    def __init__(self, engine: sa.engine.Engine, spool: Spool, say: Callable[[str], None],
                 retry_s: float = db.RETRY_FOR_S, away: bool = False):
        self.engine, self.spool, self.say = engine, spool, say
        self.retry_s, self.away = retry_s, away

    def begin(self, start: RunStart) -> DbRecords | None:
        """The run in the database (the spool put in first), or None while it is away."""
        for_s = 0.0 if self.away else self.retry_s
        try:
            added = self.spool.put_in(self.engine, for_s)
            records = DbRecords(self.engine, start, for_s=for_s)
        except Exception as e:  # noqa: BLE001 -- whatever it was, the run is kept
            self._lost(e)
            return None
        records.for_s = self.retry_s
        for why in self.spool.refused:
            self.say(why)
        self.spool.refused.clear()
        if self.away or added:
            self.say(f"results database {db.shown(self.engine.url)}: answers again; "
                     f"{added} spooled runs put in")
        self.away = False
        return records

    def tests_of(self, serial_number: str) -> int | None:
        """How often the line has tested this serial number (runs that passed or failed);
        None while the database is away."""
        if self.away:
            return None
        try:
            # One try: the board waits meanwhile; the run itself is kept whatever happens.
            return db.write(self.engine, lambda conn: tests_of(conn, serial_number), for_s=0.0)
        except Exception as e:  # noqa: BLE001
            self._lost(e)
            return None

    def measured(self, records: DbRecords, position: int, r: Result) -> bool:
        """False when the database did not take it: the run goes on without it."""
        try:
            records.measured(position, r)
            return True
        except Exception as e:  # noqa: BLE001
            self._lost(e)
            return False

    def end(self, records: DbRecords | None, run: FinishedRun) -> bool:
        """The run's end in the database, or else the run in the spool (True)."""
        if records is not None:
            try:
                records(run)
                return False
            except Exception as e:  # noqa: BLE001
                self._lost(e)
        self.spool.keep(run)
        return True

    def _lost(self, e: Exception) -> None:
        if not self.away:
            self.say(f"results database {db.shown(self.engine.url)}: not answering "
                     f"({describe_failure(e)}); runs are kept in {self.spool.folder} until it "
                     "answers")
        self.away = True


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="records.py", description="The station's results "
                                     "database: bring JSON records in, close the runs of a "
                                     "station that died, or bring the schema up to date.")
    commands = parser.add_subparsers(dest="command", required=True)
    bring = commands.add_parser("import", help="bring a folder's JSON records in (again: "
                                "nothing is added twice)")
    bring.add_argument("folder", type=Path)
    bring.add_argument("--db", metavar="URL", help="default: FOLDER/results.sqlite")
    close = commands.add_parser("close-stale", help="close as aborted the runs without a "
                                "verdict whose station stopped renewing them")
    close.add_argument("--db", metavar="URL", required=True)
    close.add_argument("--station", metavar="NAME", help="only this station's runs")
    migrate = commands.add_parser("migrate", help="bring the schema up to date")
    migrate.add_argument("--db", metavar="URL", required=True)
    from station import report  # the export takes the report's filters
    export = commands.add_parser("export", help="write the runs and their measurements as "
                                 "CSV files (runs.csv, measurements.csv)")
    export.add_argument("--csv", metavar="DIR", type=Path, required=True)
    export.add_argument("--db", metavar="URL", required=True)
    report.add_filter_arguments(export)
    args = parser.parse_args(argv)
    if args.command == "export":
        return report.export_command(args)
    try:
        if args.command == "migrate":
            db.migrate(db.connect(args.db))
            print(f"{db.shown(args.db)}: schema at revision {db.head_revision()}")
            return 0
        if args.command == "close-stale":
            closed = close_stale(db.open_db(args.db), db.now(), args.station)
            print(f"{closed} runs closed as aborted")
            return 0
        paths = sorted(args.folder.glob("*.json"))
        if not paths:
            raise RecordError(f"{args.folder}: no JSON records")
        engine = db.open_db(args.db or default_db(args.folder))
        # Every record read before any is written: one that cannot be read stops them all.
        records = [read_record(path) for path in paths]
        added = sum(import_record(engine, record) for record in records)
        print(f"{len(paths)} records read, {added} new, {len(paths) - added} in already")
        return 0
    except (db.DbError, RecordError) as e:
        print(f"records.py: {e}", file=sys.stderr)
        return 1
    except sa.exc.DBAPIError as e:
        print(f"records.py: {db.shown(args.db or '')}: {db.describe_error(e)}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
