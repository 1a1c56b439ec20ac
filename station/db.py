"""The results database: the tables, the connection to SQLite or PostgreSQL, the migrations.

One SQLAlchemy URL chooses the server. A station on its own keeps an SQLite file; the stations
of a line share one PostgreSQL server (psycopg2), whose connection settings, password included,
come from libpq's own files and environment (service file, .pgpass, PG* variables): a URL that
carries a password is refused, and URLs in messages show the password hidden.

A run without a verdict is running while the station's lease on it holds (the station renews
it while it tests), and aborted once the lease has run out: `run_outcome()`.

Every write is one short transaction run through `write()`, which waits and retries: SQLite in
WAL mode takes its write lock when the transaction begins (BEGIN IMMEDIATE) and waits for it
(busy timeout); a lock, serialization or lost-connection error is retried, so none of them
reaches a station. Every insert is insert-or-ignore on a unique key, so a retried transaction
adds nothing twice.
"""

from __future__ import annotations

import functools
import logging
import os
import random
import re
import time
from datetime import datetime, timezone
from pathlib import Path
from typing import Callable, TypeVar
from urllib.parse import unquote_plus

import sqlalchemy as sa
from sqlalchemy import event
from sqlalchemy.engine import Connection, Engine, make_url
from sqlalchemy.engine.url import URL
from sqlalchemy.exc import ArgumentError, DBAPIError, OperationalError
from sqlalchemy.ext.compiler import compiles

from station.verdicts import RunVerdict, Verdict, sql_in


class DbError(Exception):
    """A database the station cannot use: a refused URL, a schema that is not current."""


class UtcDateTime(sa.types.TypeDecorator):
    """A point in time, stored in UTC; read back as an aware UTC datetime on either server
    (SQLite keeps no time zone, PostgreSQL a TIMESTAMP WITH TIME ZONE)."""

    impl = sa.DateTime(timezone=True)
    cache_ok = True

    def process_bind_param(self, value, dialect):
        if value is None:
            return None
        if value.tzinfo is None:
            raise ValueError(f"a time without a time zone: {value!r}")
        value = value.astimezone(timezone.utc)
        return value.replace(tzinfo=None) if dialect.name == "sqlite" else value

    def process_result_value(self, value, dialect):
        if value is None:
            return None
        if value.tzinfo is None:
            return value.replace(tzinfo=timezone.utc)
        return value.astimezone(timezone.utc)


class DbUser(sa.sql.expression.FunctionElement):
    """The user that writes a row: PostgreSQL's current_user (the station role's row policy);
    SQLite has no users, and writes ''."""

    type = sa.Text()
    inherit_cache = True


@compiles(DbUser)
def _db_user(element, compiler, **kw):
    return "''"


@compiles(DbUser, "postgresql")
def _db_user_postgresql(element, compiler, **kw):
    return "CURRENT_USER"


class DbNow(sa.sql.expression.FunctionElement):
    """The database's clock, in the form that its UtcDateTime columns compare with."""

    type = UtcDateTime()
    inherit_cache = True


@compiles(DbNow)
def _db_now(element, compiler, **kw):
    return "CURRENT_TIMESTAMP"


@compiles(DbNow, "sqlite")
def _db_now_sqlite(element, compiler, **kw):
    # SQLite keeps UTC text with microseconds; its clock gives milliseconds.
    return "strftime('%Y-%m-%d %H:%M:%f000', 'now')"


# PostgreSQL's own names (and SQLAlchemy's for indexes), which the first migration's tables got
# before the convention was written down: an existing database keeps its names.
metadata = sa.MetaData(naming_convention={
    "ix": "ix_%(column_0_label)s",
    "uq": "%(table_name)s_%(column_0_N_name)s_key",
    "ck": "%(table_name)s_%(column_0_name)s_check",
    "fk": "%(table_name)s_%(column_0_name)s_fkey",
    "pk": "%(table_name)s_pkey",
})

boards = sa.Table(
    "boards", metadata,
    sa.Column("id", sa.Integer, primary_key=True),
    sa.Column("serial_number", sa.Text, nullable=False, unique=True),
    sa.Column("first_seen", UtcDateTime, nullable=False),
)

runs = sa.Table(
    "runs", metadata,
    sa.Column("id", sa.Integer, primary_key=True),
    sa.Column("run_uid", sa.Text, nullable=False, unique=True),
    sa.Column("board_id", sa.Integer, sa.ForeignKey("boards.id"), nullable=True, index=True),
    sa.Column("station", sa.Text, nullable=False),
    sa.Column("slot", sa.Text, nullable=True),
    sa.Column("product", sa.Text, nullable=False),
    sa.Column("limits_file", sa.Text, nullable=False),
    sa.Column("limits_sha256", sa.Text, nullable=False),
    sa.Column("tool_version", sa.Text, nullable=True),
    sa.Column("firmware_version", sa.Text, nullable=True),
    sa.Column("started_at", UtcDateTime, nullable=False, index=True),
    sa.Column("ended_at", UtcDateTime, nullable=True),
    # 'pass', 'fail', 'no boot', 'fixture error', 'wrong board', 'stopped', 'refused',
    # 'aborted'; NULL while running or when the station died: read as 'running' or 'aborted'
    # (run_outcome()).
    sa.Column("verdict", sa.Text, nullable=True),
    # 0: the serial number's first test on this line (its database); N: its Nth retest; NULL
    # when not known (no serial number read, or the database away when it was).
    sa.Column("retest", sa.Integer, nullable=True),
    # The serial number on the board's label as the operator scanned it, if scanned.
    sa.Column("scanned_serial", sa.Text, nullable=True),
    sa.Column("db_user", sa.Text, nullable=False, server_default=DbUser()),
    # What made the run: the station's software (tool_version above: the tool's build on the
    # board, its package's version or its binary's hash).
    sa.Column("station_version", sa.Text, nullable=True),
    # Renewed by the station while the run goes on; past it, a run without a verdict is dead.
    sa.Column("lease_until", UtcDateTime, nullable=True),
    # As in the JSON record: the whole run, the board's shell, the tool's runs (wall, and the
    # tool's own time), and the console's bytes while testing.
    sa.Column("duration_s", sa.Float(53), nullable=True),
    sa.Column("board_ready_s", sa.Float(53), nullable=True),
    sa.Column("steps_s", sa.Float(53), nullable=True),
    sa.Column("tool_s", sa.Float(53), nullable=True),
    sa.Column("console_read", sa.BigInteger, nullable=True),
    sa.Column("console_written", sa.BigInteger, nullable=True),
    # A check written as text names no column for the convention to use.
    sa.CheckConstraint(sql_in("verdict", RunVerdict), name="runs_verdict_check"),
)

measurements = sa.Table(
    "measurements", metadata,
    sa.Column("id", sa.Integer, primary_key=True),
    sa.Column("run_id", sa.Integer, sa.ForeignKey("runs.id"), nullable=False),
    sa.Column("position", sa.Integer, nullable=False),  # 1-based, in the plan's order
    sa.Column("name", sa.Text, nullable=False),
    sa.Column("title", sa.Text, nullable=False),
    sa.Column("value_num", sa.Float(53), nullable=True),
    sa.Column("value_text", sa.Text, nullable=True),
    sa.Column("unit", sa.Text, nullable=True),
    sa.Column("low", sa.Float(53), nullable=True),
    sa.Column("high", sa.Float(53), nullable=True),
    sa.Column("limits", sa.Text, nullable=False),  # the checker's description, strict JSON
    sa.Column("verdict", sa.Text, nullable=False),
    sa.Column("detail", sa.Text, nullable=False, server_default=""),
    sa.UniqueConstraint("run_id", "name"),
    sa.CheckConstraint(sql_in("verdict", Verdict), name="measurements_verdict_check"),
)

# The text of each limits file that runs were judged with (runs.limits_sha256), once per hash.
limits_texts = sa.Table(
    "limits_texts", metadata,
    sa.Column("sha256", sa.Text, primary_key=True),
    sa.Column("text", sa.Text, nullable=False),
    sa.Column("first_seen", UtcDateTime, nullable=False),
)

RUNNING = "running"  # a run without a verdict whose lease holds; no verdict of its own


def run_outcome(at: datetime | None = None) -> sa.sql.ColumnElement:
    """What every reader counts a run as: its verdict; without one, 'running' while its lease
    holds at `at` and 'aborted' after (and for runs that never had a lease). Without `at`: the
    database's clock when the statement runs (the stations' clocks set the leases)."""
    moment = DbNow() if at is None else sa.bindparam("outcome_at", at, type_=UtcDateTime,
                                                     unique=True)
    return sa.case((runs.c.verdict.is_not(None), runs.c.verdict),
                   (runs.c.lease_until > moment, RUNNING), else_=RunVerdict.ABORTED.value)


def now() -> datetime:
    return datetime.now(timezone.utc)


RUN_OUTCOME = run_outcome()

MIGRATIONS = Path(__file__).resolve().parent / "migrations"


# -- URLs ---------------------------------------------------------------------------------

# A password in the query: under any key, in a libpq conninfo (dsn=host=h password=...) or a
# URI's user:password@. Looked for in the query's text, before it is split at "&": a password
# may hold one.
_PASSWORD_IN_QUERY = re.compile(r"password|://[^/?#@]*:[^/?#@]*@", re.IGNORECASE)


def _query_holds_password(url: URL | str) -> bool:
    text = url if isinstance(url, str) else url.render_as_string(hide_password=False)
    return bool(_PASSWORD_IN_QUERY.search(unquote_plus(text.partition("?")[2])))


def shown(url: URL | str) -> str:
    """The URL as messages may show it: any password as ***; a query that holds one as ?***
    (a password with a "&" in it would leave a piece in any other query parameter)."""
    try:
        parsed = make_url(url)
    except ArgumentError:
        return "(not a database URL)"
    if _query_holds_password(url):
        return parsed.set(query={}).render_as_string(hide_password=True) + "?***"
    return parsed.render_as_string(hide_password=True)


def parse_url(text: URL | str) -> URL:
    """A station's --db: SQLite or PostgreSQL (psycopg2), and never with a password in it."""
    try:
        url = make_url(text)
    except ArgumentError:
        raise DbError("--db: not a database URL (examples: sqlite:///results.sqlite, "
                      "postgresql:///results?service=line1)") from None
    if url.password is not None or _query_holds_password(text):
        raise DbError(f"--db {shown(text)}: a password does not "
                      "belong in the URL; put it in ~/.pgpass (or the file that PGPASSFILE "
                      "names) or in a service file (PGSERVICEFILE)")
    backend = url.get_backend_name()
    if backend == "postgresql":
        if url.get_driver_name() not in ("", "psycopg2"):
            raise DbError(f"--db {shown(url)}: PostgreSQL is reached through psycopg2")
    elif backend != "sqlite":
        raise DbError(f"--db {shown(url)}: SQLite or PostgreSQL only")
    return url


def sqlite_url(path: Path) -> URL:
    return URL.create("sqlite", database=str(path))


# -- connections --------------------------------------------------------------------------

BUSY_TIMEOUT_MS = 60_000
CONNECT_TIMEOUT_S = 10


def _sqlite_setup(engine: Engine, reader: bool, busy_timeout_ms: int) -> None:
    # pysqlite's own transaction handling begins late (before the first write) and never for
    # DDL; the engine begins every transaction itself instead, taking the write lock at once,
    # so that two writers wait for each other rather than fail on upgrading a read lock. A
    # reader (the report) begins a plain transaction: a snapshot that holds no writer up.
    @event.listens_for(engine, "connect")
    def connect(dbapi_connection, record):
        dbapi_connection.isolation_level = None
        cursor = dbapi_connection.cursor()
        cursor.execute(f"PRAGMA busy_timeout = {busy_timeout_ms}")
        cursor.execute("PRAGMA journal_mode = WAL")
        cursor.execute("PRAGMA synchronous = FULL")  # a commit survives a power cut
        cursor.execute("PRAGMA foreign_keys = ON")
        cursor.close()

    @event.listens_for(engine, "begin")
    def begin(conn):
        conn.exec_driver_sql("BEGIN" if reader else "BEGIN IMMEDIATE")


def connect(url: URL | str, *, reader: bool = False,
            busy_timeout_ms: int = BUSY_TIMEOUT_MS) -> Engine:
    """An engine for the station (writes), or with `reader` for a report (reads only).
    busy_timeout_ms: how long SQLite waits for a lock before the error that write() retries."""
    url = parse_url(url)
    if url.get_backend_name() == "sqlite":
        # One connection kept open (SQLAlchemy 1.4 opens a file afresh for each use), lent to
        # one thread at a time: the slots of a line write from threads of their own.
        engine = sa.create_engine(url, future=True, poolclass=sa.pool.QueuePool,
                                  pool_size=1, max_overflow=4,
                                  connect_args={"check_same_thread": False})
        _sqlite_setup(engine, reader, busy_timeout_ms)
    else:
        # libpq fills in what the URL leaves out; write() retries on a lost connection.
        args = {"application_name": "mcu report" if reader else "mcu station"}
        # A server whose host is gone (no reply at all) is away after this, not after the
        # system's minutes of TCP retries: a slot tries it before each board.
        if "connect_timeout" not in url.query and "PGCONNECT_TIMEOUT" not in os.environ:
            args["connect_timeout"] = CONNECT_TIMEOUT_S
        options = {}
        if reader:  # one snapshot per transaction, and no write by mistake
            args["options"] = "-c default_transaction_read_only=on"
            options["isolation_level"] = "REPEATABLE READ"
        engine = sa.create_engine(url, future=True, connect_args=args, **options)
    return engine


T = TypeVar("T")

# SQLSTATEs worth another try: serialization failure, deadlock, lock not available.
_RETRY_STATES = {"40001", "40P01", "55P03"}
RETRY_FOR_S = 120.0


def _retryable(e: DBAPIError) -> bool:
    if e.connection_invalidated or isinstance(e, OperationalError):
        return True  # lost connection, server restarting, SQLite busy beyond its timeout
    return getattr(e.orig, "pgcode", None) in _RETRY_STATES


def write(engine: Engine, work: Callable[[Connection], T], *, for_s: float = RETRY_FOR_S) -> T:
    """Runs `work` in one transaction, again after a retryable error, for up to `for_s`."""
    deadline = time.monotonic() + for_s
    pause = 0.05
    while True:
        try:
            with engine.begin() as conn:
                return work(conn)
        except DBAPIError as e:
            if not _retryable(e) or time.monotonic() > deadline:
                raise
        time.sleep(pause * (0.5 + random.random()))
        pause = min(pause * 2, 2.0)


def insert_ignoring(conn: Connection, table: sa.Table, row: dict) -> None:
    """INSERT that adds nothing for a row whose unique key is there already."""
    conn.execute(_insert_ignoring(table, tuple(row)), row)


@functools.lru_cache(maxsize=None)
def _insert_ignoring(table: sa.Table, keys: tuple[str, ...]) -> sa.TextClause:
    # Written out once: SQLAlchemy 1.4 compiles its ON CONFLICT constructs again on every use,
    # which costs more than the insert. SQLite and PostgreSQL read the same text.
    names = ", ".join(f'"{k}"' for k in keys)
    values = ", ".join(f":{k}" for k in keys)
    return sa.text(f'INSERT INTO "{table.name}" ({names}) VALUES ({values}) '
                   "ON CONFLICT DO NOTHING").bindparams(
        *(sa.bindparam(k, type_=table.c[k].type) for k in keys))


def describe_error(e: DBAPIError) -> str:
    """The server's or the driver's own message, first line (no statement, no parameters)."""
    lines = str(e.orig).strip().splitlines()
    return f"{type(e.orig).__name__}: {lines[0] if lines else ''}"


# -- migrations ---------------------------------------------------------------------------

def _alembic_config(conn: Connection):
    from alembic.config import Config
    config = Config()
    config.set_main_option("script_location", str(MIGRATIONS))
    config.attributes["connection"] = conn
    return config


def head_revision() -> str:
    from alembic.script import ScriptDirectory
    config = _alembic_config(None)
    return ScriptDirectory.from_config(config).get_current_head()


def current_revision(conn: Connection) -> str | None:
    from alembic.runtime.migration import MigrationContext
    return MigrationContext.configure(conn).get_current_revision()


def known_revisions() -> set[str]:
    from alembic.script import ScriptDirectory
    return {s.revision for s in ScriptDirectory.from_config(_alembic_config(None))
            .walk_revisions()}


def _refuse_newer(conn: Connection, url: URL) -> str | None:
    """The schema's revision; DbError when a newer station's migrations made it."""
    current = current_revision(conn)
    if current is not None and current not in known_revisions():
        raise DbError(f"{shown(url)}: this database was migrated by a newer station (schema "
                      f"revision {current}): update the station")
    return current


def check_schema(conn: Connection) -> None:
    """For a reader that does not migrate: DbError unless the schema is this station's."""
    if _refuse_newer(conn, conn.engine.url) != head_revision():
        raise DbError(f"{shown(conn.engine.url)}: the schema is not current; an administrator "
                      "runs records.py migrate --db URL")


def migrate(engine: Engine, revision: str | None = None) -> None:
    """Brings the schema to the newest revision (or to `revision`, an older one, for the
    tests of the migrations); nothing to do when it is there already.
    Stations that start together take turns (one transaction, an advisory lock on
    PostgreSQL, SQLite's write lock)."""
    from alembic import command
    logging.getLogger("alembic").setLevel(logging.WARNING)  # not on the station's terminal
    head = revision or head_revision()
    with engine.connect() as conn:
        sqlite = conn.dialect.name == "sqlite"
        if sqlite:
            _sqlite_foreign_keys(conn, False)
        try:
            with conn.begin():
                if not sqlite:
                    conn.exec_driver_sql("SELECT pg_advisory_xact_lock(7294001)")
                if _refuse_newer(conn, engine.url) == head:
                    return
                try:
                    command.upgrade(_alembic_config(conn), head)
                except DBAPIError as e:
                    raise DbError(f"{shown(engine.url)}: the schema is not current and this "
                                  f"user cannot bring it up to date ({describe_error(e)}); an "
                                  "administrator runs records.py migrate --db URL") from None
                if sqlite and conn.exec_driver_sql("PRAGMA foreign_key_check").first():
                    raise DbError(f"{shown(engine.url)}: the migration left rows whose "
                                  "foreign keys point nowhere; nothing was changed")
        finally:
            if sqlite:
                _sqlite_foreign_keys(conn, True)


def _sqlite_foreign_keys(conn: Connection, on: bool) -> None:
    """SQLite changes a table (a check, say) only by copying it, and dropping the old one
    would break its rows' references while foreign keys are on; they can be turned off only
    outside a transaction (as SQLite's own procedure for such changes does, with
    foreign_key_check before the commit)."""
    conn.connection.dbapi_connection.execute(f"PRAGMA foreign_keys = {'ON' if on else 'OFF'}")


def open_db(url: URL | str) -> Engine:
    """The engine of a database whose schema is current (migrated here when needed)."""
    engine = connect(url)
    migrate(engine)
    return engine
