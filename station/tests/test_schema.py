"""The migrations make the schema that db.py describes, on SQLite and on a throwaway PostgreSQL
15 cluster: nothing for autogenerate to migrate, every constraint under its convention's name."""

from __future__ import annotations

import itertools

import pytest
import sqlalchemy as sa
from alembic.autogenerate import compare_metadata
from alembic.runtime.migration import MigrationContext

from station import db
from testkit.pgcluster import PgCluster

DATABASES = itertools.count()


@pytest.fixture(scope="module")
def pg():
    with PgCluster() as cluster:
        yield cluster


@pytest.fixture(params=["sqlite", "postgresql"])
def engine(request, tmp_path):
    if request.param == "sqlite":
        url = f"sqlite:///{tmp_path}/results.sqlite"
    else:
        url = request.getfixturevalue("pg").create_database(f"t{next(DATABASES)}")
    engine = db.connect(url)
    yield engine
    engine.dispose()


@pytest.fixture
def conn(engine):
    db.migrate(engine)
    with engine.connect() as conn:
        yield conn


def render_item(kind, obj, autogen_context):
    # Alembic 1.8 quotes the SQL of an expression default on a text column as a string
    # ('CURRENT_USER'), which PostgreSQL then finds unequal to CURRENT_USER.
    if kind == "server_default" and isinstance(getattr(obj, "arg", None), sa.sql.ClauseElement):
        return str(obj.arg.compile(dialect=autogen_context.dialect))
    return False


def sqlite_empty_text_default(d, dialect) -> bool:
    # Alembic 1.8 reads SQLite's DEFAULT '' back as the expression ('') (its test for a quoted
    # constant wants one character at least), so an empty text default never matches.
    if dialect.name != "sqlite" or d[0] != "modify_default" or None in (d[5], d[6]):
        return False
    wanted = d[6].arg if isinstance(d[6].arg, str) else d[6].arg.compile(dialect=dialect)
    return d[5].arg.text == "('')" and str(wanted) in ("", "''")


def differences(conn, metadata: sa.MetaData) -> list[tuple]:
    opts = {"compare_type": True, "compare_server_default": True, "render_item": render_item}
    found = compare_metadata(MigrationContext.configure(conn, opts=opts), metadata)
    flat = itertools.chain.from_iterable(d if isinstance(d, list) else [d] for d in found)
    return [d for d in flat if not sqlite_empty_text_default(d, conn.dialect)]


def test_the_migrations_make_the_tables_of_the_metadata(conn):
    assert differences(conn, db.metadata) == []
    # Alembic compares neither names of keys and checks nor the checks' text: reflected here.
    inspector = sa.inspect(conn)
    made, described = set(), set()
    for name, table in db.metadata.tables.items():
        reflected = [inspector.get_pk_constraint(name), *inspector.get_foreign_keys(name),
                     *inspector.get_unique_constraints(name), *inspector.get_indexes(name),
                     *inspector.get_check_constraints(name)]
        made |= {(name, r["name"]) for r in reflected}
        described |= {(name, c.name) for c in [*table.constraints, *table.indexes]}
        if conn.dialect.name == "sqlite":  # PostgreSQL gives back its own rewriting of a check
            assert ({r["name"]: r["sqltext"] for r in inspector.get_check_constraints(name)}
                    == {c.name: str(c.sqltext) for c in table.constraints
                        if isinstance(c, sa.CheckConstraint)})
    assert made == described


def test_a_schema_the_migrations_do_not_make_is_reported(conn):
    changed = sa.MetaData(naming_convention=db.metadata.naming_convention)
    for table in db.metadata.tables.values():
        table.to_metadata(changed)
    runs = changed.tables["runs"]
    runs.append_column(sa.Column("operator", sa.Text))
    runs.c.limits_sha256.type = sa.Integer()
    runs.indexes.discard(next(ix for ix in runs.indexes if ix.name == "ix_runs_started_at"))
    changed.tables["measurements"].c.detail.server_default = sa.DefaultClause("-")

    def what(d):  # (operation, table, column or index)
        if isinstance(d[1], sa.Index):
            return d[0], d[1].table.name, d[1].name
        return d[0], d[2], d[3] if isinstance(d[3], str) else d[3].name

    assert {what(d) for d in differences(conn, changed)} == {
        ("add_column", "runs", "operator"), ("modify_type", "runs", "limits_sha256"),
        ("remove_index", "runs", "ix_runs_started_at"),
        ("modify_default", "measurements", "detail")}


def test_an_older_schema_keeps_its_runs_and_takes_the_new_verdicts(engine):
    """0003 widens the runs' verdict check (SQLite copies the table its measurements point
    at); every check and key holds after it."""
    db.migrate(engine, "0002")
    now = db.now()

    def run(uid: str, verdict: str):
        return db.runs.insert().values(run_uid=uid, station="s", product="p",
                                       limits_file="l.yaml", limits_sha256="0",
                                       started_at=now, verdict=verdict)

    with engine.begin() as conn:
        run_id = conn.execute(run("old", "pass")).inserted_primary_key[0]
        measurement = dict(run_id=run_id, position=1, name="n", title="t", limits="{}",
                           verdict="pass")
        conn.execute(db.measurements.insert().values(measurement))
    with pytest.raises(sa.exc.IntegrityError), engine.begin() as conn:
        conn.execute(run("early", "no boot"))
    db.migrate(engine)
    with engine.begin() as conn:
        for verdict in ("no boot", "fixture error"):
            conn.execute(run(verdict, verdict))
        assert conn.execute(sa.select(db.measurements.c.run_id)).scalars().all() == [run_id]
        assert conn.execute(sa.select(db.runs.c.run_uid).order_by(db.runs.c.id)).scalars() \
            .all() == ["old", "no boot", "fixture error"]
    # Known verdicts only, one measurement of a name in a run, and the run it belongs to.
    for bad in (run("bad", "no verdict"), db.runs.update().values(verdict="ok"),
                db.measurements.insert().values(measurement),
                db.measurements.insert().values({**measurement, "name": "m",
                                                 "verdict": "passed"}),
                db.measurements.insert().values({**measurement, "run_id": run_id + 99})):
        with pytest.raises(sa.exc.IntegrityError), engine.begin() as conn:
            conn.execute(bad)
