#!/usr/bin/python3
"""Several stations writing into one results database at once, without a tool or a board:
writer processes replay a recorded run (bench/recorded_run.json, a good board against the
simulator) as a station writes it: the run row, each measurement in a transaction of its own,
the verdict. Each run is another board (its own serial number) with readings scattered a
little around the recorded ones and judged again against the recorded limits.

    /usr/bin/python3 -m bench.records_load [--db URL] [--writers 8] [--runs 1000]
                                           [--kill-one] [--folder DIR]

Without --db it makes a fresh database in a temporary folder (under --folder, default /tmp):
an SQLite file, or with --postgres a throwaway PostgreSQL 15 cluster on a Unix socket whose
writers log in as a member of mcu_station. --kill-one SIGKILLs one writer a third of the way
through its runs, in the middle of a run. Afterwards it counts what each writer reported as
committed against what the database holds, prints measurement rows per second, and ends
with status 1 if a row is missing or extra, a writer failed, or a run reads wrongly.
"""

from __future__ import annotations

import argparse
import os
import random
import signal
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]

import sqlalchemy as sa

from station import db
from station.measurements import Result, Verdict
from station.records import DbRecords, FinishedRun, RunStart, read_record

RECORDED = Path(__file__).resolve().parent / "recorded_run.json"
KILL_AT_POSITION = 7  # the victim dies after this measurement of its run


# -- a writer ---------------------------------------------------------------------------------

def replayed(results: tuple[Result, ...], rng: random.Random) -> list[Result]:
    """The recorded measurements with each numeric reading moved by about 1 %, judged again."""
    out = []
    for r in results:
        value, verdict = r.value, r.verdict
        low, high = r.limits.get("min"), r.limits.get("max")
        if isinstance(value, float) and (low is not None or high is not None):
            value = round(value * (1 + rng.gauss(0, 0.01)), 3)
            inside = (low is None or value >= low) and (high is None or value <= high)
            verdict = Verdict.PASS if inside else Verdict.FAIL
        out.append(Result(r.name, r.title, value, r.unit, r.limits, verdict, r.detail))
    return out


def writer(url: str, index: int, runs: int) -> None:
    """Prints `<run> <position>` after each measurement's commit and `<run> done` after the
    verdict's; any error ends the process with its traceback."""
    recorded_run = read_record(RECORDED)
    recorded_start, recorded = recorded_run.start, recorded_run.results
    engine = db.connect(url)
    rng = random.Random(index)
    for n in range(runs):
        started = db.now()
        start = RunStart(run_uid=f"load-{os.getpid()}-{index}-{n}", station=f"load-{index}",
                         product=recorded_start.product, limits_file=recorded_start.limits_file,
                         limits_sha256="0" * 64, started_at=started)
        record = DbRecords(engine, start)
        results = replayed(recorded, rng)
        serial = f"{index:02x}{n:010x}"
        for position, r in enumerate(results, 1):
            if r.name == "serial_number":
                r.value = serial
            record.measured(position, r)
            print(n, position, flush=True)
        run = FinishedRun(product=start.product, limits_file=start.limits_file,
                          station=start.station, transport=None, start=started, end=db.now(),
                          duration_s=0.0, board_ready_s=None, steps_s=None,
                          results=tuple(results), unrecognised=())
        record(run)
        print(n, "done", flush=True)


# -- the load ---------------------------------------------------------------------------------

@dataclass
class Writer:
    index: int
    runs: int
    proc: subprocess.Popen
    victim: bool
    measured: int = 0        # measurement commits reported
    runs_done: int = 0       # verdict commits reported
    killed: bool = False
    stderr: str = ""


@dataclass
class Load:
    backend: str
    writers: list[Writer]
    seconds: float
    rows: int                                   # measurement rows in the database
    by_station: dict[str, tuple[int, int, int]] = field(default_factory=dict)
    # station -> (runs, runs with a verdict, measurement rows)
    unfinished: dict[str, list[int]] = field(default_factory=dict)  # station -> run ids

    @property
    def rows_per_s(self) -> float:
        return self.rows / self.seconds

    def problems(self) -> list[str]:
        found = []
        for w in self.writers:
            station = f"load-{w.index}"
            runs, finished, rows = self.by_station.get(station, (0, 0, 0))
            if not w.killed and (w.proc.returncode != 0 or w.stderr):
                found.append(f"{station} ended with {w.proc.returncode}: {w.stderr.strip()}")
            if w.victim and not w.killed:
                found.append(f"{station} ended before it was killed")
            if finished != w.runs_done:
                found.append(f"{station}: {w.runs_done} verdicts reported, {finished} held")
            if w.killed:
                # Killed in the middle of a run: that run is in without a verdict (read as
                # aborted), with what was reported and perhaps the one measurement whose
                # commit went through but whose report did not.
                if runs != w.runs_done + 1 or len(self.unfinished.get(station, [])) != 1:
                    found.append(f"{station}: {runs} runs, {finished} finished after its kill")
                if not w.measured <= rows <= w.measured + 1:
                    found.append(f"{station}: {w.measured} measurements reported, {rows} held")
            else:
                if runs != w.runs or finished != w.runs or self.unfinished.get(station):
                    found.append(f"{station}: {runs} runs, {finished} finished, of {w.runs}")
                if rows != w.measured:
                    found.append(f"{station}: {w.measured} measurements reported, {rows} held")
        return found

    def summary(self) -> str:
        killed = [f"load-{w.index}" for w in self.writers if w.killed]
        return (f"{self.backend}: {len(self.writers)} writers, "
                f"{sum(w.runs_done for w in self.writers)} runs finished, {self.rows} "
                f"measurement rows in {self.seconds:.1f} s: {self.rows_per_s:.0f} rows/s"
                + (f"; killed {', '.join(killed)} part-way" if killed else ""))


def _follow(w: Writer, kill_at: tuple[int, int] | None) -> None:
    """Counts the writer's reports; kills the victim at its mark (its whole group)."""
    for line in w.proc.stdout:
        run, what = line.split()
        if what == "done":
            w.runs_done += 1
        else:
            w.measured += 1
            if kill_at == (int(run), int(what)) and not w.killed:
                w.proc.send_signal(signal.SIGKILL)
                w.killed = True


def load(url: str, writers: int, runs: int, kill_one: bool) -> Load:
    """Runs the writers (`runs` in all, shared out) into a migrated database and counts."""
    engine = db.connect(url)
    backend = engine.dialect.name
    shares = [runs // writers + (i < runs % writers) for i in range(writers)]
    started = time.monotonic()
    crew = []
    for i, share in enumerate(shares):
        proc = subprocess.Popen([sys.executable, "-m", "bench.records_load", "--writer", str(i),
                                 "--db", url, "--runs", str(share)], cwd=ROOT,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        crew.append(Writer(i, share, proc, victim=kill_one and i == 0))
    followers = []
    for w in crew:
        mark = (w.runs // 3, KILL_AT_POSITION) if w.victim else None
        followers.append(threading.Thread(target=_follow, args=(w, mark)))
        followers[-1].start()
    for w, follower in zip(crew, followers):
        w.stderr = w.proc.stderr.read()
        w.proc.wait()
        follower.join()
    seconds = time.monotonic() - started
    result = Load(backend, crew, seconds, 0)
    with engine.connect() as conn:
        counts = conn.execute(
            sa.select(db.runs.c.station, sa.func.count(db.runs.c.id.distinct()),
                      sa.func.count(db.measurements.c.id))
            .select_from(db.runs.outerjoin(db.measurements))
            .group_by(db.runs.c.station))
        for station, n_runs, rows in counts:
            result.by_station[station] = [n_runs, 0, rows]
        finished = conn.execute(sa.select(db.runs.c.station, sa.func.count())
                                .where(db.runs.c.verdict.is_not(None))
                                .group_by(db.runs.c.station))
        for station, n in finished:
            result.by_station[station][1] = n
        for station, run_id in conn.execute(sa.select(db.runs.c.station, db.runs.c.id)
                                            .where(db.runs.c.verdict.is_(None))):
            result.unfinished.setdefault(station, []).append(run_id)
        result.rows = conn.execute(sa.select(sa.func.count()).select_from(db.measurements)
                                   ).scalar_one()
    result.by_station = {k: tuple(v) for k, v in result.by_station.items()}
    engine.dispose()
    return result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--db", metavar="URL", help="a database to write into (migrated)")
    parser.add_argument("--writers", type=int, default=8)
    parser.add_argument("--runs", type=int, default=1000, help="runs in all")
    parser.add_argument("--kill-one", action="store_true", help="SIGKILL one writer part-way")
    parser.add_argument("--folder", default="/tmp", help="where the fresh database goes")
    parser.add_argument("--writer", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.writer is not None:
        writer(args.db, args.writer, args.runs)
        return 0
    with tempfile.TemporaryDirectory(prefix="records-load.", dir=args.folder) as folder:
        url = args.db or f"sqlite:///{folder}/results.sqlite"
        db.migrate(db.connect(url))
        result = load(url, args.writers, args.runs, args.kill_one)
    print(result.summary())
    for problem in result.problems():
        print("problem:", problem)
    return 1 if result.problems() else 0


if __name__ == "__main__":
    sys.exit(main())
