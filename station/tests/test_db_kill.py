"""A station killed (SIGKILL, the station and its tool at once) at random moments of its run,
again and again into one database, SQLite and PostgreSQL (as a member of mcu_station): every
measurement whose line the station printed is in the database exactly once with the verdict
it printed, nothing else but perhaps the one measurement committed just before the kill, and
the run reads as running until its lease runs out, then as aborted, and close-stale closes it.

The station runs the tool here (--local-tool) against mcu_sim on a pseudo-terminal. The
moments come from a seed printed at the start (KILL_SEED=... repeats a sequence).
"""

from __future__ import annotations

import os
import random
import re
import signal
import subprocess
import threading
import time
from datetime import timedelta

import pytest
import sqlalchemy as sa

from station import db
from station.records import LEASE_S, close_stale
from testkit import program_env
from testkit.pgcluster import PgCluster
from testkit.stations import WAITS_S, good_sim as start_sim, station_command

PLAN_SIZE = 18  # measurements in LIMITS
KILLS = 6
PRINTED = re.compile(r"\[\s*(\d+)/\d+\] .*\)  (PASS|FAIL|NO ANSWER|BAD CHECKSUM|ERROR|NOT RUN)"
                     r"(?:  |$)")


def start_station(command: list[str], kill_after: int | None):
    """The station started, its output read as it comes into `lines`; `trigger` is set when
    the line of measurement `kill_after` has been printed."""
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, start_new_session=True, env=program_env())
    lines, trigger = [], threading.Event()

    def read() -> None:
        for line in proc.stdout:
            lines.append(line)
            printed = PRINTED.match(line)
            if printed and int(printed.group(1)) == kill_after:
                trigger.set()
    reader = threading.Thread(target=read)
    reader.start()
    return proc, lines, trigger, reader


def held(engine, station: str) -> tuple[list[dict], dict[int, tuple[str, str]]]:
    """The station's runs, with their outcome now ("outcome") and once a lease taken now has
    run out ("later"), and its measurements: position -> (name, verdict)."""
    later = db.now() + timedelta(seconds=LEASE_S)
    with engine.connect() as conn:
        runs = [dict(r._mapping) for r in conn.execute(
            sa.select(db.runs, db.run_outcome(db.now()).label("outcome"),
                      db.run_outcome(later).label("later"))
            .where(db.runs.c.station == station))]
        measured = conn.execute(
            sa.select(db.measurements.c.position, db.measurements.c.name,
                      db.measurements.c.verdict)
            .join(db.runs).where(db.runs.c.station == station)).all()
    by_position = {p: (n, v) for p, n, v in measured}
    assert len(by_position) == len(measured), f"{station}: a position held twice: {measured}"
    return runs, by_position


@pytest.fixture(params=["sqlite", "postgresql"])
def url(request, tmp_path):
    if request.param == "sqlite":
        yield f"sqlite:///{tmp_path}/results.sqlite"
    else:
        with PgCluster() as cluster:
            db.migrate(db.connect(cluster.create_database()))
            cluster.create_user("kill_station", "mcu_station")
            yield cluster.url("kill_station")


def test_a_station_killed_at_any_moment_keeps_what_it_printed(url, tmp_path):
    seed = int(os.environ.get("KILL_SEED", time.time_ns() % 1_000_000))
    print(f"KILL_SEED={seed}")
    rng = random.Random(seed)
    engine = db.open_db(url)
    sim = start_sim(tmp_path / "board")
    mid_run, checked = 0, 0
    try:
        for kill in range(KILLS):
            name = f"kill-{kill}"
            # Half the kills at a moment anywhere in the run (the station's start included),
            # half just after a measurement's line, when the next one is being committed.
            kill_after = rng.randint(1, PLAN_SIZE - 1) if kill % 2 else None
            # A run lasts at least the tool's fixed waits: a moment before their end is in it.
            wait_s = 60.0 if kill_after else rng.uniform(0.5, WAITS_S - 1.0)
            proc, lines, trigger, reader = start_station(
                station_command(tmp_path, url, name=name), kill_after)
            trigger.wait(wait_s)
            os.killpg(proc.pid, signal.SIGKILL)
            status = proc.wait(30)
            reader.join(30)
            # position -> verdict, of every measurement line the station printed
            printed = {int(m[1]): m[2].lower() for m in map(PRINTED.match, lines) if m}
            print(f"{name}: killed after {sorted(printed)} (status {status})")
            assert status == -signal.SIGKILL, "".join(lines)
            if kill_after:
                assert max(printed) >= kill_after, "".join(lines)

            runs, kept = held(engine, name)
            assert len(runs) <= 1
            if not runs:  # killed before the run row went in: nothing may be there
                assert not printed and not kept
                continue
            [row] = runs
            assert (row["verdict"], row["outcome"], row["later"], row["ended_at"]) == \
                (None, db.RUNNING, "aborted", None)
            assert close_stale(engine, db.now(), name) == 0  # its lease still holds
            # Every printed line is in, as printed; beyond them at most the next one.
            assert {p: kept[p][1] for p in printed if p in kept} == printed
            extra = sorted(set(kept) - set(printed))
            assert extra in ([], [max(printed, default=0) + 1]), (printed, kept)
            # The board is known once its serial number is read (a busy machine can make the
            # MCU's answer late: then the run has no board).
            serial = kept.get(3, (None, None))[1]
            if serial == "pass":
                assert row["board_id"] is not None
            elif serial in ("no answer", "bad checksum", "error"):
                assert row["board_id"] is None
            checked += len(printed)
            mid_run += 0 < len(printed) < PLAN_SIZE
    finally:
        sim.kill()
    # A while later, the dead station's runs are closed as aborted, once.
    later = db.now() + timedelta(seconds=LEASE_S)
    stations = [f"kill-{kill}" for kill in range(KILLS)]
    closed = sum(close_stale(engine, later, station) for station in stations)
    assert closed == sum(len(held(engine, station)[0]) for station in stations)
    assert sum(close_stale(engine, later, station) for station in stations) == 0
    print(f"{engine.dialect.name}: {KILLS} kills, {mid_run} in the middle of a run, "
          f"{checked} printed measurements found in the database")
    assert mid_run >= KILLS // 2
