"""The line report over a small line whose figures are worked out by hand here: the same
answers from SQLite and from PostgreSQL (a throwaway cluster), and the page as headless
Chromium draws it."""

from __future__ import annotations

import math
import re
import shutil
import statistics
import subprocess
from datetime import datetime, timedelta, timezone
from pathlib import Path

import pytest

from station import db
from station import report
from station.verdicts import RunVerdict
from testkit import program_env

UTC = timezone.utc
DAY1, DAY2 = "2024-03-04", "2024-03-05"
T0 = datetime(2024, 3, 4, tzinfo=UTC)
PG_BIN = Path("/usr/lib/postgresql/15/bin/postgres")


def at(day: int, hour: int, minute: int = 0) -> datetime:
    return T0 + timedelta(days=day, hours=hour, minutes=minute)


def kind(name, title, unit, low, high, limits):
    return {"name": name, "title": title, "unit": unit, "low": low, "high": high,
            "limits": limits}


SERIAL = kind("serial_number", "serial number", None, None, None, '{"pattern": "s[0-9]"}')
FW = kind("firmware_version", "MCU firmware version", None, 7.0, None, '{"min": 7}')
VOLT = kind("mains_voltage", "mains voltage", "V", 207.0, 253.0, '{"min": 207.0, "max": 253.0}')
VOLT_WIDE = VOLT | {"low": 200.0, "high": 260.0, "limits": '{"min": 200.0, "max": 260.0}'}
RELAY = kind("relay1_on", "relay 1 on", None, None, None, '{"equals": 1}')

# (run, serial read, station, start, verdict, [(measurement, value, verdict)])
LINE = [
    ("r1", "s1", "A", at(0, 9), "fail",
     [(SERIAL, "s1", "pass"), (FW, 7, "pass"), (VOLT, 260.0, "fail"), (RELAY, 0, "fail")]),
    ("r2", "s1", "A", at(0, 10), "pass",
     [(SERIAL, "s1", "pass"), (FW, 8, "pass"), (VOLT, 231.0, "pass"), (RELAY, 1, "pass")]),
    # 23:30 UTC is already the next day at the station (+02:00): it counts on day 1.
    ("r3", "s2", "A", at(0, 23, 30).astimezone(timezone(timedelta(hours=2))), "pass",
     [(SERIAL, "s2", "pass"), (FW, 7, "pass"), (VOLT, 229.0, "pass"), (RELAY, 1, "pass")]),
    ("r4", "s3", "A", at(1, 8), None, [(SERIAL, "s3", "pass"), (FW, 7, "pass")]),
    ("r5", "s3", "A", at(1, 9), "pass",
     [(SERIAL, "s3", "pass"), (FW, 9, "pass"), (VOLT, 233.5, "pass"), (RELAY, 1, "pass")]),
    ("r6", "s4", "B", at(1, 8), "stopped",
     [(SERIAL, "s4", "pass"), (FW, 7, "pass"), (VOLT, None, "not run")]),
    ("r7", "s4", "B", at(1, 9), "pass",
     [(SERIAL, "s4", "pass"), (FW, 8, "pass"), (VOLT, 228.0, "pass"), (RELAY, 1, "pass")]),
    ("r8", None, "B", at(0, 11), "aborted", [(SERIAL, None, "no answer")]),
    ("r9", "s5", "B", at(0, 12), "pass",
     [(SERIAL, "s5", "pass"), (FW, 7, "pass"), (VOLT, 230.5, "pass"), (RELAY, 1, "pass")]),
    ("r10", "s5", "A", at(1, 13), "fail",
     [(SERIAL, "s5", "pass"), (FW, 6, "fail"), (VOLT, 0.0, "fail"), (RELAY, 1, "pass")]),
    ("r11", "s6", "B", at(1, 14), "pass", [(SERIAL, "s6", "pass"), (VOLT_WIDE, 240.0, "pass")]),
    ("r12", None, "B", at(0, 10, 30), "fail", [(SERIAL, None, "bad checksum")]),
]

# Worked out by hand from LINE: (station, day): runs, pass, fail, stopped, aborted, first
# runs passed, first runs finished.
YIELDS = {
    ("A", DAY1): (3, 2, 1, 0, 0, 1, 2),  # s1 failed first, s2 passed first
    ("A", DAY2): (3, 1, 1, 0, 1, 0, 1),  # s3's first run died (not counted); s5 failed first
    ("B", DAY1): (3, 1, 1, 0, 1, 1, 1),  # r8 and r12 read no serial number: no board
    ("B", DAY2): (3, 2, 0, 1, 0, 1, 1),  # s4 was stopped first (not counted); s6 passed
}


def fill(engine) -> None:
    db.migrate(engine)
    with engine.begin() as conn:
        boards: dict[str, int] = {}
        for uid, serial, station, start, verdict, taken in LINE:
            if serial and serial not in boards:
                boards[serial] = conn.execute(db.boards.insert().values(
                    serial_number=serial, first_seen=start)).inserted_primary_key[0]
            run_id = conn.execute(db.runs.insert().values(
                run_uid=uid, board_id=boards.get(serial), station=station,
                product="mcu-board", limits_file="limits/mcu_board.yaml",
                limits_sha256="ab" * 32, started_at=start, verdict=verdict,
                ended_at=None if verdict is None else start + timedelta(seconds=20),
                )).inserted_primary_key[0]
            for position, (what, value, judged) in enumerate(taken, 1):
                number = value if isinstance(value, (int, float)) else None
                conn.execute(db.measurements.insert().values(
                    run_id=run_id, position=position, value_num=number,
                    value_text=value if isinstance(value, str) else None, verdict=judged,
                    **what))


def values(what: dict, passing: bool | None = None) -> list[float]:
    """The numbers LINE holds for one measurement and limits, of runs that passed or not."""
    return [v for _, _, _, _, verdict, taken in LINE for m, v, _ in taken
            if m == what and v is not None
            and (passing is None or (verdict == "pass") == passing)]


@pytest.fixture(scope="module")
def sqlite_url(tmp_path_factory):
    url = str(db.sqlite_url(tmp_path_factory.mktemp("line") / "results.sqlite"))
    engine = db.connect(url)
    fill(engine)
    engine.dispose()
    return url


@pytest.fixture(scope="module")
def postgresql_url():
    if not PG_BIN.exists():
        pytest.skip("PostgreSQL 15 is not installed")
    from testkit.pgcluster import PgCluster
    with PgCluster() as cluster:
        engine = db.connect(cluster.create_database())
        fill(engine)
        engine.dispose()
        # The report reads as a quality engineer's login, which may only read.
        cluster.create_user("quality", "mcu_report")
        yield cluster.url(user="quality")


@pytest.fixture(params=["sqlite", "postgresql"])
def line(request, monkeypatch):
    """The report's data of LINE; PostgreSQL's session runs in Tokyo time, so that a day
    taken in the session's zone instead of UTC shows."""
    monkeypatch.setenv("PGTZ", "Asia/Tokyo")
    url = request.getfixturevalue(f"{request.param}_url")
    engine = db.connect(url)
    try:
        data = report.load(engine, serial="s1")
        data.engine = engine
        yield data
    finally:
        engine.dispose()


def test_yield_and_first_pass_yield_per_station_and_day(line):
    got = {(r.station, r.day.isoformat()): (r.runs, r.passed, r.failed, r.stopped, r.aborted,
                                            r.first_passed, r.first_finished)
           for r in line.yields}
    assert got == YIELDS
    totals = {t.station: (t.runs, t.yield_, t.first_pass_yield) for t in report.totals(line.yields)}
    assert totals == {"A": (6, 3 / 5, 1 / 3), "B": (6, 3 / 4, 1.0),
                      "all stations": (12, 6 / 9, 3 / 5)}


def test_failures_count_every_failing_verdict_but_not_measurements_never_run(line):
    assert [(f.name, f.by_verdict) for f in line.failures] == [
        ("mains_voltage", {"fail": 2}), ("serial_number", {"no answer": 1, "bad checksum": 1}),
        ("firmware_version", {"fail": 1}), ("relay1_on", {"fail": 1})]


def test_statistics_of_each_measurement_and_limits_over_the_passing_runs(line):
    groups = {(g.name, g.limits.low, g.limits.high): g for g in line.numerics}
    assert list(groups) == [("firmware_version", 7.0, None), ("mains_voltage", 200.0, 260.0),
                            ("mains_voltage", 207.0, 253.0), ("relay1_on", None, None)]
    for what, g in ((FW, groups["firmware_version", 7.0, None]),
                    (VOLT, groups["mains_voltage", 207.0, 253.0])):
        good = values(what, passing=True)
        mean, sd = statistics.fmean(good), statistics.stdev(good)
        assert (g.values, g.passing) == (len(values(what)), len(good))
        assert g.mean == pytest.approx(mean, rel=1e-12)
        assert g.sd == pytest.approx(sd, rel=1e-9)
        sides = [s for s in (what["high"] and what["high"] - mean,
                             what["low"] and mean - what["low"]) if s is not None]
        assert g.cpk == pytest.approx(min(sides) / (3 * sd), rel=1e-9)
    # One value of runs that passed: no spread, no Cpk; no limits: no Cpk.
    single = groups["mains_voltage", 200.0, 260.0]
    assert (single.values, single.mean, single.sd, single.cpk) == (1, 240.0, None, None)
    relay = groups["relay1_on", None, None]
    assert relay.sd == pytest.approx(statistics.stdev(values(RELAY, True))) \
        and relay.cpk is None


def test_histograms_put_each_value_in_its_bin_and_count_far_outliers_apart(line):
    for g in line.numerics:
        what = next(m for m in (FW, VOLT, VOLT_WIDE, RELAY)
                    if (m["name"], m["low"], m["high"]) == (g.name, g.limits.low, g.limits.high))
        edges = g.bins.edges
        for passing, counts in ((True, g.passing_counts), (False, g.other_counts)):
            expected = [0] * g.bins.count
            for v in values(what, passing):
                for i in range(g.bins.count):
                    expected[i] += edges[i] <= v < edges[i + 1]
            assert counts == expected, (g.name, passing)
        assert sum(g.passing_counts) + sum(g.other_counts) + g.beyond == g.values
    volt = next(g for g in line.numerics if g.limits.low == 207.0)
    assert volt.beyond == 1  # 0 V, far below 207 V: it does not stretch the axis
    assert volt.bins.edges[0] <= 207.0 and volt.bins.edges[-1] >= 260.0
    # States and versions: one bin per whole number, the value in its middle.
    relay = next(g for g in line.numerics if g.name == "relay1_on")
    assert relay.bins.edges == [-0.5, 0.5, 1.5]


def test_aborted_runs_are_never_passes_and_a_board_history_shows_its_retest(line):
    assert [(r.run_uid, r.verdict, r.outcome) for r in line.aborted] == [
        ("r4", None, RunVerdict.ABORTED), ("r8", "aborted", RunVerdict.ABORTED)]
    assert line.aborted_total == 2 and line.aborted[0].judged == 2
    assert [(h.run.run_uid, h.attempt, h.run.outcome) for h in line.history] == [
        ("r1", 1, RunVerdict.FAIL), ("r2", 2, RunVerdict.PASS)]
    assert [(m.position, m.name, m.value, m.verdict) for m in line.history[0].measurements] == [
        (1, "serial_number", "s1", "pass"), (2, "firmware_version", "7", "pass"),
        (3, "mains_voltage", "260", "fail"), (4, "relay1_on", "0", "fail")]
    assert line.history[0].measurements[2].limits == "min 207.0, max 253.0"
    # s5 went to B, then to A: a first run at each station, no retest.
    other = report.load(line.engine, serial="s5").history
    assert [(h.run.run_uid, h.run.station, h.attempt) for h in other] == [
        ("r9", "B", 1), ("r10", "A", 1)]
    assert (line.runs, line.products) == (12, ["mcu-board"])
    assert line.first_start == at(0, 9)


def test_bins_of_whole_numbers_are_whole_and_cover_every_value():
    none = report.Limits(None, None)
    wide = report.choose_bins(0, 1000, none, whole=True)
    assert wide.width == 26 and wide.edges[0] == -0.5 and wide.edges[-1] >= 1000.5
    assert report.choose_bins(5, 5, none, whole=False) == report.Bins(4.45, 1.1 / 40, 40)
    one_sided = report.choose_bins(7, 9, report.Limits(7.0, None), whole=True)
    assert one_sided.edges == [6.5, 7.5, 8.5, 9.5]


def run_report(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run(["/usr/bin/python3", "-m", "station.report", *args],
                          capture_output=True, text=True, timeout=120, env=program_env())


def test_the_command_refuses_a_password_and_names_what_is_wrong(tmp_path):
    out = tmp_path / "r.html"
    done = run_report("--db", "postgresql://qe:s3cr3t-pw@/results?host=/nowhere",
                      "--out", str(out))
    assert done.returncode == 1 and "s3cr3t-pw" not in done.stderr + done.stdout
    assert ".pgpass" in done.stderr and not out.exists()
    empty = tmp_path / "empty.sqlite"
    done = run_report("--db", f"sqlite:///{empty}", "--out", str(out))
    assert done.returncode == 1 and str(empty) in done.stderr and "missing" in done.stderr


def test_an_unknown_serial_number_is_an_error(sqlite_url, tmp_path):
    done = run_report("--db", sqlite_url, "--out", str(tmp_path / "r.html"), "--serial", "s9")
    assert done.returncode == 1 and "'s9'" in done.stderr


CHROMIUM = ["/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
            "--disable-quic", "--no-first-run", "--disable-background-networking",
            "--disable-component-update", "--disable-sync"]


def chromium(tmp_path: Path, name: str, *args: str) -> subprocess.Popen:
    profile = tmp_path / f"profile-{name}"
    profile.mkdir()
    return subprocess.Popen(CHROMIUM + [f"--user-data-dir={profile}", *args],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)


@pytest.mark.skipif(not shutil.which("/usr/bin/chromium"), reason="Chromium is not installed")
def test_the_page_in_a_browser_shows_the_figures_and_their_numbers(sqlite_url, tmp_path):
    from PIL import Image
    page, shot = tmp_path / "report.html", tmp_path / "shot.png"
    done = run_report("--db", sqlite_url, "--out", str(page), "--serial", "s1", "--timing")
    assert done.returncode == 0, done.stderr
    assert "query" in done.stderr and "plot" in done.stderr
    text = page.read_text()
    # Self-contained: nothing that a browser would fetch.
    assert "<script" not in text and "src=" not in text and "@import" not in text
    assert not re.search(r'url\((?!#)|href="(?!#)', text)
    url = page.as_uri()
    dump = chromium(tmp_path, "dom", "--dump-dom", url)
    picture = chromium(tmp_path, "shot", f"--screenshot={shot}", "--window-size=1280,2400",
                       url)
    dom, _ = dump.communicate(timeout=90)
    picture.wait(timeout=90)
    assert dump.returncode == 0 and picture.returncode == 0
    # Yield, first-pass yield (per station and of the line), the board's verdicts.
    for figure in ("60.0 %", "33.3 %", "75.0 %", "3/5", "retest 1", "66.7 %", "0.0 %"):
        assert figure in dom, figure
    good = values(VOLT, passing=True)
    mean, sd = statistics.fmean(good), statistics.stdev(good)
    cpk = min(253.0 - mean, mean - 207.0) / (3 * sd)
    assert f"{cpk:.3g}" in dom and f"{sd:.4g}" in dom
    # Two line panels and the Pareto chart, then one histogram per measurement and limits.
    assert dom.count("<svg") == 2 + 4
    assert dom.count('class="measure"') == 4
    image = Image.open(shot).convert("RGB")
    assert image.size == (1280, 2400)
    colours = image.getcolors(maxcolors=1 << 20)
    painted = sum(n for n, c in colours if c != (255, 255, 255))
    assert painted > 0.05 * 1280 * 2400
    # The bars of the histograms and of the Pareto chart are drawn, filled (about 11,000 and
    # 100,000 pixels; their outlines and the legends' keys alone are a few hundred).
    counts = {c: n for n, c in colours}
    assert counts.get((0x3b, 0x7d, 0xd8), 0) > 3_000
    assert counts.get((0xd9, 0x53, 0x4f), 0) > 3_000


def test_an_empty_database_and_odd_rows_still_make_a_page(tmp_path, monkeypatch):
    engine = db.connect(str(db.sqlite_url(tmp_path / "empty.sqlite")))
    db.migrate(engine)
    empty = report.render(report.load(engine))
    assert "No runs." in empty and "No measurement failed." in empty and "<svg" not in empty
    # A station name that is markup, a measurement whose every run failed, two runs that
    # never ended, of which only the newest is listed.
    monkeypatch.setattr(report, "ABORTED_SHOWN", 1)
    with engine.begin() as conn:
        for uid, verdict, start in (("x1", "fail", at(0, 1)), ("x2", None, at(0, 2)),
                                    ("x3", None, at(0, 3))):
            run_id = conn.execute(db.runs.insert().values(
                run_uid=uid, station="<b>st&1</b>", product="p", limits_file="l.yaml",
                limits_sha256="0" * 64, started_at=start, verdict=verdict)).inserted_primary_key[0]
            if verdict:
                conn.execute(db.measurements.insert().values(
                    run_id=run_id, position=1, value_num=300.0, verdict="fail", **VOLT))
    data = report.load(engine)
    engine.dispose()
    (volt,) = data.numerics
    assert (volt.values, volt.passing, volt.mean, volt.sd, volt.cpk) == (1, 0, None, None, None)
    assert [r.run_uid for r in data.aborted] == ["x3"] and data.aborted_total == 2
    page = report.render(data)
    assert "<b>st&1</b>" not in page and "&lt;b&gt;st&amp;1&lt;/b&gt;" in page
    assert "2 runs without a pass or fail" in page and "newest 1 shown" in page
    assert page.count("<svg") == 3  # yield, failures, the one histogram


def test_the_same_data_makes_the_same_page(sqlite_url):
    """Pages of one database can be compared line by line: no time stamps, no random ids."""
    engine = db.connect(sqlite_url)
    try:
        first, second = (report.render(report.load(engine, serial="s5")) for _ in range(2))
    finally:
        engine.dispose()
    assert first == second and 'id="m-mains_voltage"' in first
