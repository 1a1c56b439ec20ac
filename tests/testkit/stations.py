"""The station as the tests run it: the product's limits and plan, the build's simulator and
tool, and how a run's outputs read (its JSON records, its JUnit XML)."""

from __future__ import annotations

import json
import os
import re
import sys
import time
import xml.etree.ElementTree as ET
from dataclasses import dataclass
from pathlib import Path

import pytest
import sqlalchemy as sa

from boards.simulator import SimProcess, SimulatorError, sim_process
from station import db
from testkit import SOURCE, Spawned, shell_script

STATION = SOURCE / "station"
LIMITS = STATION / "limits" / "mcu_board.yaml"
SIM = os.environ.get("MCU_SIM", str(SOURCE / "build" / "default" / "sim" / "mcu_sim"))
TOOL = os.environ.get("MCU_TOOL", str(SOURCE / "build" / "default" / "mcu_test_sim"))
BOARD = os.environ.get("STATION_BOARD", "")
GOOD_SN = ["--set", "sn=0C2205435900"]

# The plan of LIMITS, in its order.
ALL = ["work_mode", "firmware_version", "serial_number", "mains_voltage", "mains_current",
       "mains_power", "mains_frequency", "zero_cross", "temperature", "humidity",
       "ntc_temperature", "relay1_on", "relay1_off", "relay2_on", "relay2_off",
       "rs485_loopback", "ir_send", "fct_result"]
# The tool's fixed waits over the whole plan: 19 runs of the tool.
WAITS_S = 0.3 + 0.3 + 3 + 1.4 + 0.5 * 4 + 8 * 0.5 + 0.4 + 2 + 5
STEPS = 19


def strict_json(text: str):
    """The record as a strict JSON reader sees it: NaN and Infinity are refused."""
    def refuse(token):
        raise ValueError(f"not JSON: {token}")
    return json.loads(text, parse_constant=refuse)


def junit_cases(path: Path) -> list[tuple[str, str, dict[str, str]]]:
    """The JUnit XML's cases: (name, pass / failure / error / skipped, properties); none
    when the file is not there."""
    if not path.exists():
        return []
    cases = []
    for case in ET.parse(path).getroot().iter("testcase"):
        state = next((tag for tag in ("failure", "error", "skipped")
                      if case.find(tag) is not None), "pass")
        props = {p.get("name"): p.get("value") for p in case.iter("property")}
        cases.append((case.get("name"), state, props))
    return cases


# A JUnit case's name: test_measurement[NN-name], on a line test_measurement[slot-NN-name],
# a slot's later boards test_measurement[slot-bN-NN-name]; board after board
# test_measurement[slot-serial-NN-name] (bN for a serial number not known, -bN after a serial
# number tested again in the slot).
CASE = re.compile(r"test_measurement\[(?:(?P<slot>\w+)-)?(?:(?P<board>\w+?)-)?(?:b\d+-)?"
                  r"(?P<n>\d\d)-(?P<name>\w+)\]")


@dataclass
class StationRun:
    status: int
    seconds: float
    stdout: str
    records: dict[str, list[dict]]  # by slot, in the order the boards started
    record_names: dict[str, list[str]]
    cases: dict[str, dict[str, tuple[str, dict]]]  # slot -> measurement -> (state, properties)
                                                    # of the slot's first board
    case_count: int
    report_dir: Path

    def only(self, slot: str = "main") -> dict:
        """The slot's one record (a station of one board: its slot is main)."""
        [record] = self.records[slot]
        return record


def read_run(status: int, seconds: float, stdout: str, reports: Path, junit: Path,
             single: str = "main", plan: list[str] | None = ALL) -> StationRun:
    """A finished station run: its records in reports, its JUnit XML (the cases of a station
    of one board under the slot name single; each case numbered by its place in the plan)."""
    records: dict[str, list[dict]] = {}
    names: dict[str, list[str]] = {}
    loaded = [(strict_json(p.read_text(encoding="utf-8")), p.name) for p in reports.glob("*.json")]
    for record, name in sorted(loaded, key=lambda r: r[0]["start"]):
        records.setdefault(record["slot"], []).append(record)
        names.setdefault(record["slot"], []).append(name)
    cases: dict[str, dict[str, tuple[str, dict]]] = {}
    found = junit_cases(junit)
    assert len({name for name, _, _ in found}) == len(found), "two cases of one name"
    for name, state, props in found:  # in the order the boards started
        m = CASE.fullmatch(name)
        assert m, name
        assert plan is None or plan[int(m["n"]) - 1] == m["name"]
        cases.setdefault(m["slot"] or single, {}).setdefault(m["name"], (state, props))
    return StationRun(status, seconds, stdout, records, names, cases, len(found), reports)


def value(record: dict, name: str):
    """The value of the record's one measurement of that name."""
    [m] = [m for m in record["measurements"] if m["name"] == name]
    return m["value"]


def assert_verdicts(record: dict, cases: dict[str, tuple[str, dict]], failing: dict[str, str]):
    """Exactly the named measurements have the given verdicts and every other one passed, in the
    plan's order, in the JSON record and in its board's JUnit cases (name -> (state, properties))."""
    expected = {name: failing.get(name, "pass") for name in ALL}
    slot = record["slot"]
    assert [m["name"] for m in record["measurements"]] == ALL
    assert {m["name"]: m["verdict"] for m in record["measurements"]} == expected, slot
    assert record["verdict"] == ("fail" if failing else "pass"), slot
    assert list(cases) == ALL
    for name, verdict in expected.items():
        state, props = cases[name]
        assert state == ("pass" if verdict == "pass" else "failure"), (slot, name)
        assert (props["verdict"], props["slot"]) == (verdict, slot or ""), (slot, name)


def db_runs(reports: Path, *columns: str) -> list[tuple]:
    """Each run in the folder's SQLite database, by start and slot: the named columns of the
    run ("serial_number": its board's; "measurements", last: its measurements' verdicts)."""
    engine = db.connect(db.sqlite_url(reports / "results.sqlite"), reader=True)
    named = [db.boards.c.serial_number if c == "serial_number" else db.runs.c[c]
             for c in columns if c != "measurements"]
    with engine.connect() as conn:
        rows = conn.execute(sa.select(db.runs.c.id, *named).select_from(
            db.runs.outerjoin(db.boards, db.runs.c.board_id == db.boards.c.id))
            .order_by(db.runs.c.started_at, db.runs.c.slot)).all()
        found = [tuple(row[1:]) + ((conn.execute(
            sa.select(db.measurements.c.verdict).where(db.measurements.c.run_id == row[0])
            .order_by(db.measurements.c.position)).scalars().all(),)
            if "measurements" in columns else ()) for row in rows]
    engine.dispose()
    return found


def start_sim(port: list[str], ready: Path, options, log: Path, cwd: Path) -> SimProcess:
    """mcu_sim with options on a pseudo-terminal's link, once it is up; what it received in
    cwd/sim.log."""
    try:
        return sim_process(SIM, [*port, "--log", "sim.log", *options], cwd=cwd, ready=ready,
                           out=log)
    except SimulatorError as e:
        pytest.fail(str(e), pytrace=False)


def good_sim(work: Path, options=GOOD_SN) -> SimProcess:
    """mcu_sim on work/ttyMCU, once it is ready: a good board, unless options make it another."""
    work.mkdir(parents=True, exist_ok=True)
    return start_sim(["--link", "ttyMCU"], work / "sim.ready", options, work / "sim.out", work)


def station_command(tmp_path: Path, url: str | None, limits: Path = LIMITS,
                    name: str = "ci", tool: Path | str = TOOL,
                    dirs: list[Path] | None = None) -> list[str]:
    """The station testing the local tool in each of dirs (default: tmp_path/board, good_sim's
    folder)."""
    return [sys.executable, "-m", "station", "--limits", str(limits),
            "--report-dir", str(tmp_path / "reports"), "--junitxml",
            str(tmp_path / "junit.xml"), "--station-name", name, "--local-tool", str(tool),
            *[arg for work in dirs or [tmp_path / "board"] for arg in ("--local-dir", str(work))]
            ] + (["--db", url] if url else [])


def console_env(path: Path, port, prompt: str, username: str, login_timeout: int) -> Path:
    """A labgrid environment at path: one board, main, whose shell is on the serial port.
    labgrid asks for a fresh login prompt (a newline) only after await_login_timeout of
    silence: a kernel message that split the prompt, with more every 0.5 s, must leave it
    that chance."""
    path.write_text("imports: [boards.strategy]\ntargets:\n  main:\n    resources:\n"
                    f"      RawSerialPort: {{port: {port}, speed: 115200}}\n"
                    "    drivers:\n      SerialDriver: {}\n"
                    f"      ShellDriver: {{prompt: '{prompt}', login_prompt: 'login: ', "
                    f"username: {username}, login_timeout: {login_timeout}, "
                    "await_login_timeout: 1}\n"
                    "      BoardStrategy: {}\n")
    return path


def run_station(tmp_path: Path, *args: str, timeout: float, limits: Path = LIMITS,
                cwd: Path | None = None, env: dict | None = None) -> StationRun:
    """python3 -m station with limits and args, its records in tmp_path/reports and its JUnit
    XML in tmp_path/junit.xml, each path typed relative to cwd when it starts there; its output
    printed (shown when a test fails)."""
    def typed(path) -> str:
        return os.path.relpath(path, cwd) if cwd else str(path)

    reports, junit = tmp_path / "reports", tmp_path / "junit.xml"
    started = time.monotonic()
    with Spawned([sys.executable, "-m", "station", "--limits", typed(limits), "--report-dir",
                  typed(reports), "--junitxml", typed(junit), *args], tmp_path / "station.out",
                 env=env, cwd=cwd) as station:
        status = station.proc.wait(timeout)  # past it, the station and its boards are killed
    return read_run(status, time.monotonic() - started, station.output(), reports, junit,
                    plan=ALL if limits == LIMITS else None)


def vanishing_tool(path: Path) -> Path:
    """The local tool that answers four times, then is gone, as a board lost half-way; it
    counts its runs in its own folder."""
    return shell_script(path, f'calls="$(dirname "$0")/calls"\n'
                              f'n=$(cat "$calls" 2>/dev/null || echo 0)\necho $((n + 1)) > "$calls"\n'
                              f'if [ $n -ge 4 ]; then rm -f "$0"; exit 1; fi\nexec {TOOL} "$@"\n')
