"""The line report over a small line whose figures are worked out by hand here: the same
answers from SQLite and from PostgreSQL (a throwaway cluster), the filters, the CSV export,
and the page as headless Chromium draws it."""

from __future__ import annotations

import csv
import math
import re
import shutil
import subprocess
from datetime import date, datetime, timedelta, timezone
from pathlib import Path

import pytest

from station import db
from station import report
from testkit import program_env

UTC = timezone.utc
T0 = datetime(2024, 3, 4, tzinfo=UTC)
DAY1, DAY2 = date(2024, 3, 4), date(2024, 3, 5)
PG_BIN = Path("/usr/lib/postgresql/15/bin/postgres")
ROOT = Path(__file__).resolve().parents[2]


def at(day: int, hour: int, minute: int = 0) -> datetime:
    return T0 + timedelta(days=day, hours=hour, minutes=minute)


def kind(name, title, unit, low, high, limits):
    return {"name": name, "title": title, "unit": unit, "low": low, "high": high,
            "limits": limits}


SERIAL = kind("serial_number", "serial number", None, None, None, '{"pattern": "b[0-9]+"}')
FW = kind("firmware_version", "MCU firmware version", None, 7.0, None, '{"min": 7}')
VOLT = kind("mains_voltage", "mains voltage", "V", 207.0, 253.0, '{"min": 207.0, "max": 253.0}')
VOLT_WIDE = VOLT | {"low": 200.0, "high": 260.0, "limits": '{"min": 200.0, "max": 260.0}'}
NTC = kind("ntc_temperature", "relay NTC", "°C", 5.0, 45.0, '{"min": 5.0, "max": 45.0}')
ZEROS = "000000000000"  # what every unprogrammed board reads: no board
LIMITS_TEXT = "product: mcu-plug\nmains_voltage: {min: 207.0, max: 253.0, unit: V}\n"


def run(uid, serial, station, slot, start, verdict, volt, *, fw=(7, "pass"),
        product="mcu-plug", sha="ab" * 32, volt_limits=VOLT):
    """A run as fill() takes it; the serial number is judged valid unless it is ZEROS."""
    serial_m = ((SERIAL, None, "no answer") if serial is None else
                (SERIAL, serial, "fail" if serial == ZEROS else "pass"))
    ntc = (NTC, None, "not run") if volt[1] == "not run" else (NTC, 25.02, "pass")
    taken = [serial_m, (FW, *fw), (volt_limits, *volt), ntc]
    return uid, serial, station, slot, product, sha, start, verdict, taken


IN, FAIL = "pass", "fail"
LINE = [
    # Ten boards fail their first run at A (firmware 6) and pass their retest at B.
    *(run(f"a{i:02}", f"b{i:02}", "A", "1" if i % 2 else "2", at(0, 9, i), "fail",
          (225.0 if i % 2 else 235.0, IN), fw=(6, FAIL), product="mcu-board")
      for i in range(1, 11)),
    *(run(f"r{i:02}", f"b{i:02}", "B", "1" if i <= 5 else "2", at(1, 8, i), "pass",
          (230.0, IN), product="mcu-board") for i in range(1, 11)),
    # b14's first run never finished (the console failed, 300 V in it counts nowhere).
    run("b14x", "b14", "A", "1", at(0, 10), None, (300.0, FAIL), fw=(None, "error")),
    run("b14", "b14", "A", "1", at(0, 10, 30), "pass", (230.0, IN)),
    # Two unprogrammed boards: runs, but no board.
    run("u1", ZEROS, "A", "1", at(0, 11), "fail", (230.0, IN)),
    run("u2", ZEROS, "A", "2", at(0, 11, 10), "fail", (230.0, IN)),
    run("b11", "b11", "B", "1", at(0, 9), "pass", (240.0, IN)),
    run("b12", "b12", "B", "2", at(0, 9, 30), "pass", (220.0, IN)),
    # 23:30 UTC is already the next day at the station (+02:00): it counts on day 1.
    run("b13x", "b13", "B", "3", at(0, 23, 30).astimezone(timezone(timedelta(hours=2))),
        "fail", (260.0, FAIL)),
    run("b13y", "b13", "A", "2", at(1, 9), "fail", (200.0, FAIL)),
    # No serial number read; judged with other limits (another limits file).
    run("n1", None, "B", "3", at(1, 12), "fail", (230.0, IN), sha="cd" * 32,
        volt_limits=VOLT_WIDE),
    run("b15", "b15", "B", "3", at(1, 13), "stopped", (None, "not run")),
    # A board that never booted: no serial number, no measurement. A fixture error on b11
    # before its pass: finished, but not b11's first run.
    ("nb1", None, "A", "2", "mcu-plug", "ab" * 32, at(1, 10), "no boot", []),
    ("fe1", "b11", "B", "1", "mcu-plug", "ab" * 32, at(0, 8, 50), "fixture error",
     [(SERIAL, "b11", "pass"), (FW, 7, "pass"), (VOLT, None, "not run"),
      (NTC, None, "not run")]),
]


def fill(engine) -> None:
    db.migrate(engine)
    with engine.begin() as conn:
        # One limits file's text is kept, the other's not.
        conn.execute(db.limits_texts.insert().values(sha256="ab" * 32, text=LIMITS_TEXT,
                                                     first_seen=T0))
        boards: dict[str, int] = {}
        for uid, serial, station, slot, product, sha, start, verdict, taken in LINE:
            if serial and serial not in boards:
                boards[serial] = conn.execute(db.boards.insert().values(
                    serial_number=serial, first_seen=start)).inserted_primary_key[0]
            run_id = conn.execute(db.runs.insert().values(
                run_uid=uid, board_id=boards.get(serial), station=station, slot=slot,
                product=product, limits_file="limits/mcu_board.yaml", limits_sha256=sha,
                started_at=start, verdict=verdict,
                ended_at=None if verdict is None else start + timedelta(seconds=20),
                steps_s=None if verdict == "no boot" else 10.0 + start.minute % 7,
                )).inserted_primary_key[0]
            for position, (what, value, judged) in enumerate(taken, 1):
                number = value if isinstance(value, (int, float)) else None
                conn.execute(db.measurements.insert().values(
                    run_id=run_id, position=position, value_num=number,
                    value_text=value if isinstance(value, str) else None, verdict=judged,
                    **what))


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
def engine(request, monkeypatch):
    """PostgreSQL's session runs in Tokyo time, so that a day taken in the session's zone
    instead of UTC shows."""
    monkeypatch.setenv("PGTZ", "Asia/Tokyo")
    engine = db.connect(request.getfixturevalue(f"{request.param}_url"), reader=True)
    yield engine
    engine.dispose()


@pytest.fixture
def line(engine):
    return report.load(engine, serial="b13")


def test_yields_count_each_board_once_across_stations(line):
    # (runs, outcomes, boards whose first finished run was here, of them passed, retests)
    assert {(r.station, r.day): (r.runs, r.outcomes, r.boards, r.first_passed, r.retests)
            for r in report.grouped(line.yields, "station", "day")} == {
        # b01-b10 fail first here; b14's aborted run is not its first finished one; u1, u2
        # read 000000000000: no board.
        ("A", DAY1): (14, {"pass": 1, "fail": 12, "aborted": 1}, 11, 1, 0),
        # b13 came back from B; nb1 has no board.
        ("A", DAY2): (2, {"fail": 1, "no boot": 1}, 0, 0, 1),
        # b11, b12 pass; b13 fails; b11's fixture error is not its first run.
        ("B", DAY1): (4, {"pass": 2, "fail": 1, "fixture error": 1}, 3, 2, 0),
        ("B", DAY2): (12, {"pass": 10, "fail": 1, "stopped": 1}, 0, 0, 10),  # retests
    }
    whole = report.combine(line.yields)
    # 32 runs, 30 finished (13 passed, a no boot, a fixture error); 14 boards: b11, b12, b14
    # passed first, all but b13 passed last; b01-b10 at B and b13 at A are retests.
    assert (whole.runs, whole.finished, whole.boards) == (32, 30, 14)
    assert (whole.first_pass_yield, whole.final_yield, whole.run_yield, whole.retest_rate) \
        == (3 / 14, 13 / 14, 13 / 30, 11 / 30)
    assert line.aborted_total == 1 and [r.run_uid for r in line.aborted] == ["b14x"]


def test_throughput_per_station_and_day(line):
    got = {(t.station, t.day): (t.finished, t.hours, t.boards_per_hour, t.median_test_s)
           for t in line.throughput}
    # (finished runs, seconds from the first start to the last end (each ends 20 s after its
    # start), median test time: 10 + minute % 7 s, none for nb1, which never booted)
    expected = {("A", DAY1): (13, 7760, 12.0),   # a01 09:01 to u2 11:10:20
                ("A", DAY2): (2, 3620, 10.0),    # b13y 09:00 to nb1 10:00:20
                ("B", DAY1): (4, 52820, 11.5),   # fe1 08:50 to b13x 23:30:20
                ("B", DAY2): (11, 14360, 12.0)}  # r01 08:01 to n1 12:00:20
    assert got == {k: (n, pytest.approx(s / 3600), pytest.approx(n * 3600 / s), median)
                   for k, (n, s, median) in expected.items()}


def test_a_slot_that_fails_more_than_its_neighbours_stands_out(line):
    slots = {(s.station, s.slot): (s.finished, s.failed, s.not_the_boards, s.z, s.stands_out)
             for s in report.slot_rows(line.yields)}
    # B3: 2 of 2 failed, B1 (with its fixture error, finished) and B2 0 of 13: p = 2/15,
    # z = 1 / sqrt(2/15 * 13/15 * (1/2 + 1/13)) = sqrt(15). A2 (8 of 8, nb1's no boot too)
    # against A1 (6 of 7): z = (1/7) / sqrt(14/15 * 1/15 * (1/8 + 1/7)) = sqrt(60) / 7.
    assert slots == {("A", "1"): (7, 6, 0, pytest.approx(-math.sqrt(60) / 7), False),
                     ("A", "2"): (8, 8, 0, pytest.approx(math.sqrt(60) / 7), False),
                     ("B", "1"): (7, 0, 1, pytest.approx(-0.25 / math.sqrt(13 / 420)), False),
                     ("B", "2"): (6, 0, 0, pytest.approx(-2 / 9 / math.sqrt(13 / 405)), False),
                     ("B", "3"): (2, 2, 0, pytest.approx(math.sqrt(15)), True)}


def test_failures_keep_the_consoles_faults_apart(line):
    assert [(f.name, f.count(report.BOARD_FAULTS), f.by_verdict) for f in line.failures] == [
        ("firmware_version", 10, {"fail": 10, "error": 1}),
        ("mains_voltage", 3, {"fail": 3}),  # b14x's 300 V too: every run counts here
        ("serial_number", 3, {"fail": 2, "no answer": 1}),
        # Whole runs: a board that did not boot is its failure, a fixture error is not.
        ("run: no boot", 1, {"no boot": 1}), ("run: fixture error", 0, {"fixture error": 1})]


def test_capability_over_every_value_of_finished_runs(line):
    groups = {(g.name, g.limits_file.sha256[:2]): g for g in line.numerics}
    # The firmware version has no unit: not numeric. n1 was judged with another limits file
    # (its voltage with other limits, its NTC with the same): apart, after the first one.
    assert list(groups) == [("mains_voltage", "ab"), ("mains_voltage", "cd"),
                            ("ntc_temperature", "ab"), ("ntc_temperature", "cd")]
    assert groups["ntc_temperature", "cd"].limits_file.first_used == at(1, 12)
    volt = groups["mains_voltage", "ab"]
    # 27 values: 5 x 225, 5 x 235, 13 x 230, 240, 220, 260, 200 (not b14x's 300 V, not n1's):
    # mean 230; squares 10 x 25 + 2 x 100 + 2 x 900 = 2250; sd = sqrt(2250 / 26);
    # Cpk = 23 / (3 sd); 260 and 200 out of limits: 2 / 27 = 74,074 ppm.
    sd = math.sqrt(2250 / 26)
    assert (volt.values, volt.passing, volt.out_of_limits) == (27, 13, 2)
    assert (volt.mean, volt.sd) == (pytest.approx(230.0), pytest.approx(sd))
    assert volt.cpk == pytest.approx(23 / (3 * sd)) and volt.ppm == pytest.approx(2e6 / 27)
    assert sum(volt.passing_counts) + sum(volt.failing_counts) + volt.beyond == 27
    # 27 values of 25.02: rounding gives no spread, and no Cpk.
    ntc = groups["ntc_temperature", "ab"]
    assert (ntc.values, ntc.sd, ntc.cpk, ntc.no_cpk) == \
        (27, 0.0, None, "no spread: every value is 25.02")
    for other in (groups["mains_voltage", "cd"], groups["ntc_temperature", "cd"]):
        assert (other.values, other.sd, other.cpk, other.no_cpk) == \
            (1, None, None, "fewer than two values")
    assert groups["mains_voltage", "cd"].limits.low == 200.0


def test_control_chart_limits_per_station(line):
    volt = next(g for g in line.numerics if g.limits.low == 207.0)
    got = {c.station: (list(c.values.y), c.mean, c.mr_mean, c.limits(),
                       (list(c.out.x), list(c.mr_out.x))) for c in volt.charts}
    assert [(c.count, c.beyond, c.mr_beyond) for c in volt.charts] == [(14, 1, 0), (13, 1, 2)]
    # A: moving ranges 9 x 10, 5, 0, 0, 30: MR-bar 125/13; 200 V (the 14th) below the LCL
    # (202.3). B: 20, 40, 30, then 9 x 0: MR-bar 7.5; 260 V (the 3rd) above the UCL (252.3);
    # the ranges into the 3rd and 4th values, 40 and 30, above UCL_MR (24.5).
    expected = {"A": ([225.0, 235.0] * 5 + [230.0] * 3 + [200.0], 3190 / 14, 125 / 13,
                      ([13], [])),
                "B": ([240.0, 220.0, 260.0] + [230.0] * 10, 3020 / 13, 7.5, ([2], [2, 3]))}
    for station, (values, mean, mr, beyond) in expected.items():
        assert got[station][:3] == (values, pytest.approx(mean), pytest.approx(mr))
        assert got[station][3] == pytest.approx((mean - 2.66 * mr, mean + 2.66 * mr,
                                                 3.267 * mr))
        assert got[station][4] == beyond


@pytest.mark.parametrize("serial, kinds", [
    ("b13", [("b13x", "first run"), ("b13y", "retest 1")]),       # B, then A
    ("b14", [("b14x", "not finished"), ("b14", "first run")]),
    ("b11", [("fe1", "fixture error (not the board's)"), ("b11", "first run")]),
    (ZEROS, [("u1", "no board (serial number not valid)"),
             ("u2", "no board (serial number not valid)")]),
])
def test_a_board_history_names_its_first_run_and_retests(engine, serial, kinds):
    history = report.load(engine, serial=serial).history
    assert [(h.run.run_uid, h.kind) for h in history] == kinds


@pytest.mark.parametrize("filters, expected", [
    # The ten boards of the first product alone: FPY 0 %, final yield 100 %.
    (report.Filters(products=("mcu-board",)), (20, 10, 0.0, 1.0, 0.5, 0.5)),
    # B's second day alone: b01-b10's runs there are their first finished ones.
    (report.Filters(stations=("B",), since=datetime(2024, 3, 5, tzinfo=UTC)),
     (12, 10, 1.0, 1.0, 10 / 11, 0.0)),
    (report.Filters(until=datetime(2024, 3, 5, tzinfo=UTC)), (18, 14, 3 / 14, 3 / 14,
                                                               3 / 17, 0.0)),
    (report.Filters(limits_sha=("cd",)), (1, 0, None, None, 0.0, 0.0)),
])
def test_filters_choose_the_runs_every_figure_counts(engine, filters, expected):
    whole = report.combine(report.load(engine, filters=filters).yields)
    assert (whole.runs, whole.boards, whole.first_pass_yield, whole.final_yield,
            whole.run_yield, whole.retest_rate) == expected


def test_the_definitions_are_the_docs_word_for_word():
    docs = " ".join((ROOT / "docs" / "records.md").read_text(encoding="utf-8").split())
    for term, text in report.DEFINITIONS:
        assert f"**{term}**: {text}" in docs, term


def test_a_long_control_chart_draws_few_points_and_keeps_the_extremes():
    from array import array
    n = 10 * report.CHART_POINTS + 7
    values = array("d", (20.0 + (i % 5) for i in range(n)))
    values[n // 3], values[n - 1] = 60.0, -20.0  # beyond the control limits, both sides
    chart = report.ControlChart.of("S", values)
    assert (chart.count, chart.beyond, chart.mr_beyond) == (n, 2, 3)
    assert chart.mean == pytest.approx(math.fsum(values) / n)
    for drawn in (chart.values, chart.ranges):
        assert len(drawn.x) == len(drawn.y) <= report.CHART_POINTS + 2
    assert (max(chart.values.y), min(chart.values.y)) == (60.0, -20.0)
    assert max(chart.ranges.y) == 40.0 and chart.ranges.x.max() <= n - 1
    assert list(chart.out.x) == [n // 3, n - 1] and list(chart.mr_out.x) == \
        [n // 3, n // 3 + 1, n - 1]


def test_bins_of_whole_numbers_are_whole_and_cover_every_value():
    none = report.Limits(None, None)
    wide = report.choose_bins(0, 1000, none, whole=True)
    assert wide.width == 26 and wide.edges[0] == -0.5 and wide.edges[-1] >= 1000.5
    assert report.choose_bins(5, 5, none, whole=False) == report.Bins(4.45, 1.1 / 40, 40)
    one_sided = report.choose_bins(7, 9, report.Limits(7.0, None), whole=True)
    assert one_sided.edges == [6.5, 7.5, 8.5, 9.5]


def program(module: str, *args: str) -> subprocess.CompletedProcess:
    return subprocess.run(["/usr/bin/python3", "-m", module, *args],
                          capture_output=True, text=True, timeout=120, env=program_env())


def test_the_commands_refuse_what_is_wrong_and_export_the_chosen_runs(sqlite_url, tmp_path):
    out, empty = tmp_path / "r.html", tmp_path / "empty.sqlite"
    for url, more, status, said in [
            ("postgresql://qe:s3cr3t-pw@/results?host=/nowhere", [], 1, [".pgpass"]),
            (f"sqlite:///{empty}", [], 1, [str(empty), "missing"]),
            (sqlite_url, ["--serial", "b99"], 1, ["'b99'"]),
            (sqlite_url, ["--since", "May"], 2, ["--since 'May'"])]:
        done = program("station.report", "--db", url, "--out", str(out), *more)
        assert done.returncode == status and all(words in done.stderr for words in said), url
        assert "s3cr3t-pw" not in done.stderr + done.stdout and not out.exists()
    # The export writes the chosen runs and their measurements.
    done = program("station.records", "export", "--db", sqlite_url, "--csv",
                   str(tmp_path / "csv"), "--station", "A", "--until", "2024-03-04")
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("14 runs and 56 measurements written")
    runs, measured = (list(csv.DictReader((tmp_path / "csv" / f"{name}.csv").read_text(
        encoding="utf-8").splitlines())) for name in ("runs", "measurements"))
    assert [r["run_uid"] for r in runs] == [f"a{i:02}" for i in range(1, 11)] + \
        ["b14x", "b14", "u1", "u2"]
    b14x = runs[10]
    assert (b14x["verdict"], b14x["serial_number"], b14x["slot"], b14x["ended_at"]) == \
        ("aborted", "b14", "1", "")
    assert runs[0]["started_at"] == "2024-03-04T09:01:00+00:00"
    assert [(m["name"], m["value_num"], m["value_text"], m["verdict"])
            for m in measured if m["run_uid"] == "a01"] == [
        ("serial_number", "", "b01", "pass"), ("firmware_version", "6.0", "", "fail"),
        ("mains_voltage", "225.0", "", "pass"), ("ntc_temperature", "25.02", "", "pass")]


CHROMIUM = ["/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
            "--disable-quic", "--no-first-run", "--disable-background-networking",
            "--disable-component-update", "--disable-sync"]


@pytest.mark.skipif(not shutil.which("/usr/bin/chromium"), reason="Chromium is not installed")
def test_the_page_in_a_browser_shows_the_figures_and_their_numbers(sqlite_url, tmp_path):
    from PIL import Image
    page, shot = tmp_path / "report.html", tmp_path / "shot.png"
    done = program("station.report", "--db", sqlite_url, "--out", str(page), "--serial",
                   "b13", "--timing")
    assert done.returncode == 0, done.stderr
    assert "query" in done.stderr and "plot" in done.stderr
    text = page.read_text()
    # Self-contained: nothing that a browser would fetch.
    assert "<script" not in text and "src=" not in text and "@import" not in text
    assert not re.search(r'url\((?!#)|href="(?!#)', text)
    # One browser both draws the page and gives its document as it parsed it.
    browser = subprocess.run(CHROMIUM + [f"--user-data-dir={tmp_path / 'profile'}", "--dump-dom",
                                         f"--screenshot={shot}", "--window-size=1280,3600",
                                         page.as_uri()],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                             timeout=90)
    assert browser.returncode == 0
    dom = browser.stdout
    # The cards: boards, first-pass (3/14), final (13/14) and run yield (13/28), retest rate
    # (11/28); the slot that stands out, with its z; the voltage's Cpk, sd and ppm; the
    # station A chart's UCL; the board's retest; a definition.
    sd = math.sqrt(2250 / 26)
    for figure in ('<b>14</b><span>boards</span>', "21.4 %", "92.9 %", "43.3 %", "36.7 %",
                   '<tr class="hot"><td>B</td><td>3</td>', f"{math.sqrt(15):.3g} ⚠",
                   f"{23 / (3 * sd):.3g}", f"{sd:.4g}", "74074.1 ppm",
                   f"<td>{3190 / 14 + 2.66 * 125 / 13:.4g}</td>", "retest 1",
                   "no spread: every value is 25.02", report.DEFINITIONS[2][1],
                   # A's first day: 13 finished runs in 2 h 9 min 20 s; B's, median 11.5 s.
                   f"<td>{13 * 3600 / 7760:.3g}</td>", "<td>11.5</td>",
                   "mains_voltage: {min: 207.0, max: 253.0, unit: V}",
                   "Its text is not in the database."):
        assert figure in dom, figure
    # The yield and throughput panels, the Pareto chart, then a figure per measurement and
    # limits file.
    assert dom.count("<svg") == 3 + 4 and dom.count('class="measure"') == 4
    image = Image.open(shot).convert("RGB")
    assert image.size == (1280, 3600)
    colours = image.getcolors(maxcolors=1 << 20)
    painted = sum(n for n, c in colours if c != (255, 255, 255))
    assert painted > 0.05 * 1280 * 3600
    # The bars of the histograms and of the Pareto chart are drawn, filled (their outlines
    # and the legends' keys alone are a few hundred pixels).
    counts = {c: n for n, c in colours}
    assert counts.get((0x3b, 0x7d, 0xd8), 0) > 3_000
    assert counts.get((0xd9, 0x53, 0x4f), 0) > 3_000


def test_an_empty_database_and_odd_rows_still_make_a_page(tmp_path, monkeypatch):
    engine = db.connect(str(db.sqlite_url(tmp_path / "empty.sqlite")))
    db.migrate(engine)
    empty = report.render(report.load(engine))
    assert "No runs." in empty and "No measurement failed." in empty and "<svg" not in empty
    # A station name that is markup, a measurement whose every run failed, two runs that
    # never ended, of which only the newest is listed, and a run whose station still holds
    # its lease: running, not aborted.
    monkeypatch.setattr(report, "ABORTED_SHOWN", 1)
    with engine.begin() as conn:
        for uid, verdict, start, lease in (
                ("x1", "fail", at(0, 1), None), ("x2", None, at(0, 2), None),
                ("x3", None, at(0, 3), None), ("x4", None, at(0, 4), db.now() + timedelta(1))):
            run_id = conn.execute(db.runs.insert().values(
                run_uid=uid, station="<b>st&1</b>", product="p", limits_file="l.yaml",
                limits_sha256="0" * 64, started_at=start, verdict=verdict,
                lease_until=lease)).inserted_primary_key[0]
            if verdict:
                conn.execute(db.measurements.insert().values(
                    run_id=run_id, position=1, value_num=300.0, verdict="fail", **VOLT))
    data = report.load(engine)
    # One moment for the whole report: past x4's lease, every figure reads it as aborted.
    later = report.load(engine, at=db.now() + timedelta(2))
    engine.dispose()
    assert later.aborted_total == 3 and [r.run_uid for r in later.aborted] == ["x4"]
    assert report.combine(later.yields).outcomes == {"fail": 1, "aborted": 3}
    (volt,) = data.numerics
    assert (volt.values, volt.passing, volt.mean, volt.sd, volt.cpk) == (1, 0, 300.0, None, None)
    assert [r.run_uid for r in data.aborted] == ["x3"] and data.aborted_total == 2
    assert report.combine(data.yields).outcomes == {"fail": 1, "aborted": 2, "running": 1}
    page = report.render(data)
    assert "<b>st&1</b>" not in page and "&lt;b&gt;st&amp;1&lt;/b&gt;" in page
    assert "2 runs aborted" in page and "newest 1 shown" in page and "<th>running</th>" in page
    # Yield, failures, the one measurement; no throughput to draw (x1 has no end, no times).
    assert page.count("<svg") == 3


def test_the_same_data_makes_the_same_page(engine):
    """Pages of one database can be compared line by line: no time stamps, no random ids."""
    moment = datetime(2024, 4, 1, tzinfo=UTC)
    first, second = (report.render(report.load(engine, serial="b14", at=moment))
                     for _ in range(2))
    assert first == second and 'id="m-mains_voltage-abababab"' in first
    assert "running or aborted at 2024-04-01 00:00:00 UTC" in first
