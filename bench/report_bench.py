#!/usr/bin/python3
"""How long the line report takes over a line's month: 10,000 synthetic runs of 18
measurements, written into a fresh database, then station/report.py run on it as a quality
engineer would (a new process), with --timing for its query and plot times.

    /usr/bin/python3 -m bench.report_bench [--runs N] [--db URL] [--keep DIR] [--repeat N]

The runs follow the plan and the limits of station/limits/mcu_board.yaml, in four slots per
station: readings spread around the middle of their ranges (a few beyond them), readings that
get no answer or a bad checksum, boards that fail and come back for a retest, runs that the
operator stopped, runs that the station aborted and runs that simply never finished. The
random seed is fixed, so every database holds the same runs. --db URL puts them into that
(empty) database; otherwise an SQLite file. The report's CPU is the whole process's,
interpreter and imports included.
"""

from __future__ import annotations

import argparse
import json
import random
import resource
import subprocess
import sys
import tempfile
import time
import uuid
from collections import Counter
from datetime import datetime, timedelta, timezone
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]

from station import db
from station.limits import load_limits
from station.measurements import build_plan

SEED = 20240611
STATIONS = ("line1-st1", "line1-st2", "line1-st3")
START = datetime(2024, 6, 1, 6, 0, tzinfo=timezone.utc)
LIMITS_FILE = ROOT / "station" / "limits" / "mcu_board.yaml"

# Readings as (mean, standard deviation), in the measurement's unit.
SPREAD = {"mains_voltage": (230.5, 7.0), "mains_current": (1490, 150), "mains_power": (325, 16),
          "mains_frequency": (50.0, 0.28), "temperature": (255, 38), "humidity": (470, 95),
          "ntc_temperature": (27.0, 5.2)}


class Synthetic:
    """Makes runs one at a time; every random choice comes from one seeded generator."""

    def __init__(self, seed: int = SEED):
        self.random = random.Random(seed)
        self.plan = build_plan(load_limits(LIMITS_FILE))
        self.sha256 = __import__("hashlib").sha256(LIMITS_FILE.read_bytes()).hexdigest()

    def reading(self, m) -> tuple[float | None, str | None]:
        r = self.random
        if m.name in SPREAD:
            mean, sd = SPREAD[m.name]
            value = r.gauss(mean, sd)
            return (round(value) if m.check.unit in ("mA", "W", "raw") else round(value, 2)), None
        if m.name == "firmware_version":
            return (7 if r.random() < 0.7 else 8) if r.random() > 0.002 else 6, None
        if m.name == "work_mode":
            return None, "application" if r.random() > 0.001 else "bootloader"
        if m.name == "zero_cross":
            return None, "normal" if r.random() > 0.003 else "err"
        if m.name == "ir_send":
            return None, "success" if r.random() > 0.006 else "fail"
        if m.name == "rs485_loopback":
            return (100 if r.random() > 0.004 else r.choice((0, 50, 90))), None
        if m.name == "fct_result":
            return (1 if r.random() > 0.003 else 0), None
        if m.commanded is not None:  # a relay read back
            return (m.commanded if r.random() > 0.0008 else 1 - m.commanded), None
        raise AssertionError(f"no synthetic reading for {m.name}")

    def measure(self, m, serial: str) -> dict:
        describe = m.check.describe()
        row = {"name": m.name, "title": m.title, "unit": m.check.unit,
               "low": describe.get("min"), "high": describe.get("max"),
               "limits": json.dumps(describe), "value_num": None, "value_text": None,
               "detail": ""}
        lost = self.random.random()
        if lost < 0.0004:
            return row | {"verdict": "no answer", "detail": "no reply frame"}
        if lost < 0.0006:
            return row | {"verdict": "bad checksum", "detail": "checksum:12 == 13"}
        if m.name == "serial_number":
            value = (None, serial)
        else:
            value = self.reading(m)
        row["value_num"], row["value_text"] = value
        verdict = m.check(value[0] if value[1] is None else value[1])
        return row | {"verdict": "pass" if verdict else "fail"}

    def run(self, station: str, serial: str, at: datetime) -> tuple[dict, list[dict]]:
        r = self.random
        fate = r.random()
        stop_at = len(self.plan)
        verdict_if_cut = None
        if fate < 0.012:          # the station died: no verdict, no end
            stop_at, verdict_if_cut = r.randrange(0, len(self.plan)), None
        elif fate < 0.016:        # the station knew it broke off
            stop_at, verdict_if_cut = r.randrange(0, len(self.plan)), "aborted"
        elif fate < 0.019:        # the operator stopped the station
            stop_at, verdict_if_cut = r.randrange(0, len(self.plan)), "stopped"
        rows = []
        for position, m in enumerate(self.plan[:stop_at], 1):
            rows.append(self.measure(m, serial) | {"position": position})
        cut = stop_at < len(self.plan)
        read_serial = next((row["value_text"] for row in rows
                            if row["name"] == "serial_number" and row["verdict"] == "pass"),
                           None)
        if cut:
            verdict = verdict_if_cut
        else:
            verdict = "pass" if all(row["verdict"] == "pass" for row in rows) else "fail"
        duration = timedelta(seconds=22 * max(len(rows), 1) / len(self.plan) + r.random())
        run_uid = str(uuid.UUID(int=r.getrandbits(128)))
        run = {"run_uid": run_uid, "station": station,
               # One of four slots, taken from the run's id: no draw from the seeded
               # generator, so every other choice stays as it was.
               "slot": f"slot{1 + int(run_uid[:8], 16) % 4}",
               "product": "mcu-board", "limits_file": "station/limits/mcu_board.yaml",
               "limits_sha256": self.sha256, "tool_version": "1.0",
               "firmware_version": next((str(row["value_num"]) for row in rows if row["name"]
                                         == "firmware_version" and row["value_num"] is not None),
                                        None),
               "started_at": at,
               "ended_at": None if verdict is None else at + duration, "verdict": verdict,
               "serial": read_serial}
        # The times and bytes a station keeps (none when it died), drawing nothing more.
        seconds = duration.total_seconds()
        kept = {"duration_s": round(seconds, 1), "board_ready_s": round(0.05 * seconds, 1),
                "steps_s": round(0.9 * seconds, 1), "tool_s": round(0.88 * seconds, 2),
                "console_read": 4700 + int(run_uid[9:12], 16) % 100, "console_written": 771}
        run |= kept if verdict is not None else dict.fromkeys(kept)
        return run, rows

    def line(self, count: int):
        """`count` runs over about a month: new boards, and failed ones back for a retest."""
        r = self.random
        at = START
        step = timedelta(days=30) / count
        retests: list[tuple[datetime, str]] = []
        made = 0
        while made < count:
            at += step * (0.5 + r.random())
            if retests and retests[0][0] <= at:
                serial = retests.pop(0)[1]
            else:
                serial = "%012x" % r.getrandbits(48)
            run, rows = self.run(r.choice(STATIONS), serial, at)
            made += 1
            if run["verdict"] != "pass" and r.random() < 0.8:
                retests.append((at + timedelta(minutes=r.uniform(10, 240)), serial))
                retests.sort()
            yield run, rows


def fill(engine, count: int, seed: int = SEED) -> str:
    """Writes `count` synthetic runs into a migrated database, in one transaction; returns
    the serial number of a board with the most runs (one to try --serial on)."""
    synthetic = Synthetic(seed)
    board_ids: dict[str, int] = {}
    boards, run_rows, measurement_rows = [], [], []
    for run, rows in synthetic.line(count):
        serial = run.pop("serial")
        if serial is not None and serial not in board_ids:
            board_ids[serial] = len(board_ids) + 1
            boards.append({"id": board_ids[serial], "serial_number": serial,
                           "first_seen": run["started_at"]})
        run_id = len(run_rows) + 1
        run_rows.append(run | {"id": run_id, "board_id": board_ids.get(serial)})
        measurement_rows += [row | {"run_id": run_id} for row in rows]
    with engine.begin() as conn:
        conn.execute(db.boards.insert(), boards)
        conn.execute(db.runs.insert(), run_rows)
        for i in range(0, len(measurement_rows), 20000):
            conn.execute(db.measurements.insert(), measurement_rows[i:i + 20000])
        if conn.dialect.name == "postgresql":
            for table in ("boards", "runs", "measurements"):
                conn.exec_driver_sql(f"SELECT setval('{table}_id_seq', "
                                     f"(SELECT max(id) FROM {table}))")
            conn.exec_driver_sql("ANALYZE")
    runs_of = Counter(run["board_id"] for run in run_rows if run["board_id"] is not None)
    retested = runs_of.most_common(1)[0][0]
    return next(serial for serial, board in board_ids.items() if board == retested)


def measure(url: str, count: int, out: Path, repeat: int) -> None:
    engine = db.connect(url)
    db.migrate(engine)
    started = time.perf_counter()
    serial = fill(engine, count)
    engine.dispose()
    print(f"filled {count} runs in {time.perf_counter() - started:.1f} s; a board with "
          f"retests: {serial}", flush=True)
    for _ in range(repeat):
        started = time.perf_counter()
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        done = subprocess.run([sys.executable, "-m", "station.report", "--db", url,
                               "--out", str(out), "--timing"], stderr=subprocess.PIPE,
                              text=True)
        wall = time.perf_counter() - started
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
        if done.returncode != 0:
            raise SystemExit(f"report.py ended with {done.returncode}: {done.stderr}")
        # The whole process: interpreter and imports too (its peak RSS it says itself).
        print(f"{done.stderr.strip()}; wall {wall:.2f} s, cpu {cpu:.2f} s with the "
              f"interpreter and imports, {out.stat().st_size / 1e6:.1f} MB of HTML",
              flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=10_000)
    parser.add_argument("--db", metavar="URL", help="an empty database to fill (default: an "
                        "SQLite file in the folder)")
    parser.add_argument("--repeat", type=int, default=3, help="reports to time (default 3)")
    parser.add_argument("--keep", type=Path, help="write the database (SQLite) and the "
                        "report into this folder and leave them there")
    args = parser.parse_args()
    folder = args.keep or Path(tempfile.mkdtemp(prefix="report-bench."))
    folder.mkdir(parents=True, exist_ok=True)
    out = folder / "report.html"
    if args.db:
        measure(args.db, args.runs, out, args.repeat)
    else:
        path = folder / "results.sqlite"
        path.unlink(missing_ok=True)
        measure(str(db.sqlite_url(path)), args.runs, out, args.repeat)
    if args.repeat:
        print(f"report: {out}")


if __name__ == "__main__":
    main()
