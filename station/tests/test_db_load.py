"""Several writers into one database at once (bench/records_load.py): 8 processes replay
1,000 recorded runs of 18 measurements, each measurement committed on its own as a station
does, one writer SIGKILLed a third of the way: no row lost or doubled, no lock or
serialization error reaching a writer, the killed writer's run aborted and the others whole.

The database lives in /dev/shm: the figure printed is what the writers and the locking
cost, not the disk's flushes (docs/records.md has both).
"""

from __future__ import annotations

import os
import tempfile

import pytest


from station import db
from bench import records_load
from testkit.pgcluster import PgCluster

RUNS, WRITERS = 1000, 8
FOLDER = "/dev/shm" if os.path.isdir("/dev/shm") else None


@pytest.mark.parametrize("backend", ["sqlite", "postgresql"])
def test_writers_at_once_lose_and_double_nothing(backend):
    with tempfile.TemporaryDirectory(prefix="records-load.", dir=FOLDER) as folder:
        if backend == "sqlite":
            url = f"sqlite:///{folder}/results.sqlite"
            db.migrate(db.connect(url))
            result = records_load.load(url, WRITERS, RUNS, kill_one=True)
        else:
            os.chmod(folder, 0o755)  # the server's user works in it
            with PgCluster(parent=folder) as pg:
                db.migrate(db.connect(pg.create_database()))
                pg.create_user("load_station", "mcu_station")
                result = records_load.load(pg.url("load_station"), WRITERS, RUNS, kill_one=True)
    print(result.summary())
    assert result.problems() == []
    [victim] = [w for w in result.writers if w.killed]
    assert [w.proc.returncode for w in result.writers if not w.killed] == [0] * (WRITERS - 1)
    # What everyone reported is what is held: the survivors' runs whole, the victim's up to
    # its kill (and perhaps the commit whose report the kill cut off).
    measurements = 18 * sum(w.runs for w in result.writers if not w.killed)
    assert measurements + victim.measured <= result.rows <= measurements + victim.measured + 1
    assert victim.runs_done == victim.runs // 3
    assert len(result.unfinished) == 1
