"""A board's record: built from the finished run, handed to the outputs that keep it.

The run ends as one `FinishedRun`; each output is a callable that takes it: the JSON file per
board, `JsonRecords`, and the results database, `DbRecords`, which also keeps the run while it
goes on. `records.py import DIR` brings JSON records into the database. The JSON is strict: no NaN or infinity anywhere, since the judge
keeps only finite values (a record that would need one is refused, not written).
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import sys
import threading
from dataclasses import dataclass
from datetime import datetime, timezone
from pathlib import Path
from typing import Callable

import sqlalchemy as sa

from station import db
from station.measurements import Result
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
        return run_verdict((r.verdict for r in self.results), self.stopped)


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
        "verdict": run.verdict.value,
        "measurements": [r.as_dict() for r in run.results],
        "unrecognised_output": list(run.unrecognised),
    }


class JsonRecords:
    """One JSON file per run in a folder, `<serial number>_<UTC start>.json`."""

    def __init__(self, folder: str | Path):
        self.folder = Path(folder)

    def path(self, run: FinishedRun) -> Path:
        stamp = run.start.strftime("%Y%m%dT%H%M%SZ")
        return self.folder / f"{run.serial_number or 'unknown'}_{stamp}.json"

    def __call__(self, run: FinishedRun) -> Path:
        # Serialised first: a value strict JSON cannot hold raises before any file is touched.
        text = json.dumps(build_record(run), indent=2, ensure_ascii=False, allow_nan=False)
        self.folder.mkdir(parents=True, exist_ok=True)
        return write_new(self.path(run), text + "\n")


def write_new(path: Path, text: str) -> Path:
    """Writes a whole new file at path, or at path-2, path-3... when that name is taken (boards
    without a serial number in several slots, started in the same second): a record is never
    written over another, and readers never see a part of one."""
    tmp = path.with_name(f".{path.name}.{os.getpid()}.{threading.get_ident()}.tmp")
    with open(tmp, "w", encoding="utf-8") as out:
        out.write(text)
        out.flush()
        os.fsync(out.fileno())
    name, n = path, 1
    try:
        while True:
            try:
                os.link(tmp, name)  # fails when the name is taken, whoever took it
                return name
            except FileExistsError:
                n += 1
                name = path.with_name(f"{path.stem}-{n}{path.suffix}")
    finally:
        os.unlink(tmp)


# -- the results database ---------------------------------------------------------------------

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


def _insert_run(conn, start: RunStart) -> tuple[int, bool]:
    """The run's id, and whether this call made the row (not a retry or a second import)."""
    made = conn.execute(sa.select(sa.func.count()).select_from(db.runs)
                        .where(db.runs.c.run_uid == start.run_uid)).scalar_one() == 0
    db.insert_ignoring(conn, db.runs, {
        "run_uid": start.run_uid, "station": start.station, "slot": start.slot,
        "product": start.product, "limits_file": start.limits_file,
        "limits_sha256": start.limits_sha256, "tool_version": start.tool_version,
        "started_at": start.started_at})
    run_id = conn.execute(sa.select(db.runs.c.id)
                          .where(db.runs.c.run_uid == start.run_uid)).scalar_one()
    return run_id, made


def _measured(conn, run_id: int, position: int, r: Result, seen: datetime) -> None:
    db.insert_ignoring(conn, db.measurements, measurement_row(run_id, position, r))
    # Who the board is, once it is read.
    if r.name == "serial_number" and isinstance(r.value, str):
        board = _board_id(conn, r.value, seen)
        conn.execute(db.runs.update().where(db.runs.c.id == run_id).values(board_id=board))
    elif r.name == "firmware_version" and r.value is not None:
        conn.execute(db.runs.update().where(db.runs.c.id == run_id)
                     .values(firmware_version=str(r.value)))


def _finish(conn, run_id: int, results, verdict: RunVerdict, ended_at: datetime,
            seen: datetime, kept: frozenset[str] = frozenset()) -> None:
    # The measurements not in yet (not run, or not kept) go in now.
    for position, r in enumerate(results, 1):
        if r.name not in kept:
            _measured(conn, run_id, position, r, seen)
    conn.execute(db.runs.update().where(db.runs.c.id == run_id)
                 .values(verdict=verdict.value, ended_at=ended_at))


class DbRecords:
    """The run in the results database as it goes: the run row at the start, each judged
    measurement committed at once, the verdict at the end. A run whose station dies keeps a
    NULL verdict, which every reader counts as aborted."""

    def __init__(self, engine: sa.engine.Engine, start: RunStart):
        self.engine, self.start = engine, start
        self.run_id, _ = db.write(engine, lambda conn: _insert_run(conn, start))
        self.kept: set[str] = set()

    def measured(self, position: int, r: Result) -> None:
        db.write(self.engine, lambda conn: _measured(conn, self.run_id, position, r,
                                                     self.start.started_at))
        self.kept.add(r.name)

    def __call__(self, run: FinishedRun) -> None:
        """The run's end: what was not kept yet, and its verdict."""
        kept = frozenset(self.kept)
        db.write(self.engine, lambda conn: _finish(conn, self.run_id, run.results, run.verdict,
                                                   run.end, run.start, kept))


def default_db(report_dir: str | Path) -> sa.engine.URL:
    return db.sqlite_url(Path(report_dir) / "results.sqlite")


def sha256_of(path: str | Path) -> str:
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


# -- bringing JSON records in -----------------------------------------------------------------

class RecordError(Exception):
    """A JSON record that cannot be brought in; the text names the file and the key."""


def _field(record: dict, key: str, path: Path, kind: type | tuple[type, ...]):
    value = record.get(key)
    if not isinstance(value, kind):
        raise RecordError(f"{path}: {key}: {value!r} is not {getattr(kind, '__name__', kind)}")
    return value


def _utc(text: str, key: str, path: Path) -> datetime:
    try:
        moment = datetime.fromisoformat(text)
    except ValueError:
        moment = None
    if moment is None or moment.tzinfo is None:
        raise RecordError(f"{path}: {key}: {text!r} is not a time with its time zone")
    return moment.astimezone(timezone.utc)


def read_record(path: Path) -> tuple[RunStart, tuple[Result, ...], RunVerdict, datetime]:
    """A JSON record as a finished run. Its run_uid is the hash of the file's bytes: the same
    file brought in twice is the same run."""
    data = path.read_bytes()
    try:
        record = json.loads(data)
    except ValueError as e:
        raise RecordError(f"{path}: not JSON: {e}") from None
    if not isinstance(record, dict):
        raise RecordError(f"{path}: not a record")
    start = RunStart(
        run_uid="json-" + hashlib.sha256(data).hexdigest(),
        station=_field(record, "station", path, str),
        product=_field(record, "product", path, str),
        limits_file=_field(record, "limits_file", path, str),
        limits_sha256="",  # the record does not say which bytes the limits had
        started_at=_utc(_field(record, "start", path, str), "start", path),
        slot=_field(record, "slot", path, (str, type(None))))
    results = []
    for i, m in enumerate(_field(record, "measurements", path, list), 1):
        where = f"measurements[{i}]"
        if not isinstance(m, dict):
            raise RecordError(f"{path}: {where}: not a measurement")
        try:
            verdict = Verdict(m.get("verdict"))
        except ValueError:
            raise RecordError(f"{path}: {where}.verdict: {m.get('verdict')!r}") from None
        results.append(Result(_field(m, "name", path, str), _field(m, "title", path, str),
                              m.get("value"), m.get("unit"), _field(m, "limits", path, dict),
                              verdict, m.get("detail") or ""))
    try:
        verdict = RunVerdict(record.get("verdict"))
    except ValueError:
        raise RecordError(f"{path}: verdict: {record.get('verdict')!r}") from None
    end = _utc(_field(record, "end", path, str), "end", path)
    return start, tuple(results), verdict, end


def import_record(engine: sa.engine.Engine, path: Path) -> bool:
    """One record in one transaction; False when it was in already."""
    start, results, verdict, end = read_record(path)

    def work(conn) -> bool:
        run_id, made = _insert_run(conn, start)
        if made:
            _finish(conn, run_id, results, verdict, end, start.started_at)
        return made
    return db.write(engine, work)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="records.py", description="The station's results "
                                     "database: bring JSON records in, or bring the schema "
                                     "up to date.")
    commands = parser.add_subparsers(dest="command", required=True)
    bring = commands.add_parser("import", help="bring a folder's JSON records in (again: "
                                "nothing is added twice)")
    bring.add_argument("folder", type=Path)
    bring.add_argument("--db", metavar="URL", help="default: FOLDER/results.sqlite")
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
        paths = sorted(args.folder.glob("*.json"))
        if not paths:
            raise RecordError(f"{args.folder}: no JSON records")
        engine = db.open_db(args.db or default_db(args.folder))
        added = sum(import_record(engine, path) for path in paths)
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
