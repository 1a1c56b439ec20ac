"""Judging what the tool printed, and the board's record as strict JSON written whole."""

import json
from dataclasses import replace
from datetime import datetime, timezone

import pytest

from station.limits import Range
from station.measurements import Measurement, Result, Step, Verdict, judge, unjudged
from station.mcu_output import read_operation
from station.junit import JunitXml
from station.records import FinishedRun, JsonRecords
from testkit.stations import junit_cases

VOLTAGE = Measurement("mains_voltage", "mains voltage", (Step(1, ("4",), "mains metering"),),
                      "voltage", Range("V", 207.0, 253.0))


@pytest.mark.parametrize("printed", ["nan", "-nan", "inf", "-inf"])
def test_a_reading_that_is_not_finite_fails_without_a_value(printed):
    output = f"---A vol {printed} mv = {printed} V.\n"
    result = judge(VOLTAGE, [read_operation(("4",), output)])
    assert (result.value, result.unit, result.verdict) == (None, "V", Verdict.FAIL)
    assert result.detail == f"the tool printed {printed}"
    assert result.operations == ["mcu_test 4"]


def finished(*results: Result, start=datetime(2026, 12, 6, 19, 41, 18, tzinfo=timezone.utc)):
    return FinishedRun(product="p", limits_file="p.yaml", station="ci", transport=None,
                       start=start, end=start, duration_s=1.0, board_ready_s=None,
                       steps_s=None, results=results, unrecognised=())


def test_the_record_is_strict_json_named_by_serial_number_and_start_and_refused_if_not(tmp_path):
    serial = Result("serial_number", "serial number", "0c2205435900", None, {}, Verdict.PASS)
    out = JsonRecords(tmp_path)
    path = out(finished(serial, unjudged(VOLTAGE, Verdict.NOT_RUN)))
    assert path == tmp_path / "0c2205435900_20261206T194118Z.json"
    record = json.loads(path.read_text(encoding="utf-8"))
    assert record["verdict"] == "fail"
    assert [(m["name"], m["verdict"], m["value"]) for m in record["measurements"]] == \
        [("serial_number", "pass", "0c2205435900"), ("mains_voltage", "not run", None)]
    unknown = out(finished(unjudged(VOLTAGE, Verdict.NO_ANSWER)))
    assert unknown.name == "unknown_20261206T194118Z.json"
    # One that strict JSON cannot hold is refused, and the old one of its name kept.
    before = unknown.read_bytes()
    broken = Result("mains_voltage", "mains voltage", float("nan"), "V", {}, Verdict.FAIL)
    with pytest.raises(ValueError):
        out(finished(broken))
    assert unknown.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([path.name, unknown.name])


def test_junit_cases_board_after_board_named_by_slot_and_serial_number_each_once(tmp_path):
    # A board without a serial number takes its number in the slot; a serial number tested
    # again in the slot, both: no two cases of one name, each with its board's run id. The
    # board that never booted has its console log, escape sequences and all, in the detail.
    serial = Result("serial_number", "serial number", "0c2205435900", None, {}, Verdict.PASS)
    log = "login: \x1b[6n\x00\x07 ok\ttab\r\n"
    runs = [replace(finished(*results, start=datetime(2026, 12, 6, 19, 41, n,
                                                       tzinfo=timezone.utc)),
                    slot=slot, run_uid=f"run{n}")
            for n, (slot, results) in enumerate([
                ("slot1", [serial]), ("slot1", [unjudged(VOLTAGE, Verdict.ERROR, log)]),
                ("slot1", [serial]), ("slot2", [serial])])]
    junit = JunitXml(tmp_path / "junit.xml", several_slots=True, looping=True)
    for run in reversed(runs):
        junit(run)
    junit.write()
    cases = junit_cases(tmp_path / "junit.xml")
    assert [(name, props["run_uid"]) for name, _, props in cases] \
        == [("test_measurement[slot1-0c2205435900-01-serial_number]", "run0"),
            ("test_measurement[slot1-b2-01-mains_voltage]", "run1"),
            ("test_measurement[slot1-0c2205435900-b3-01-serial_number]", "run2"),
            ("test_measurement[slot2-0c2205435900-01-serial_number]", "run3")]
    [_, (_, state, props), *_] = cases
    assert (state, props["detail"]) == ("failure", "login: \\x1b[6n\\x00\\x07 ok\ttab\r\n")


def test_records_that_would_share_a_name_each_keep_a_file_of_their_own(tmp_path, monkeypatch):
    # boards without a serial number in eight slots, started in the same second and written
    # at once: eight whole files, none written over another, no scratch file left; in a
    # folder that refuses hard links, as vfat and SMB do
    import errno
    from concurrent.futures import ThreadPoolExecutor

    def refused(*args, **kw):
        raise OSError(errno.EPERM, "Operation not permitted")
    monkeypatch.setattr("os.link", refused)
    out = JsonRecords(tmp_path)
    runs = [finished(unjudged(VOLTAGE, Verdict.ERROR, f"slot {i}")) for i in range(8)]
    with ThreadPoolExecutor(8) as pool:
        paths = list(pool.map(out, runs))
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(p.name for p in paths)
    assert len(set(paths)) == 8 and paths[0].name.startswith("unknown_20261206T194118Z")
    details = {json.loads(p.read_text())["measurements"][0]["detail"] for p in paths}
    assert details == {f"slot {i}" for i in range(8)}


@pytest.mark.parametrize("where", ["here", "console", "ssh"])
def test_the_tools_build_is_its_packages_version_or_its_binarys_hash(where, tmp_path):
    # Where the tool runs (here, a board's console, SSH): a binary that no package owns, none
    # at all, one of a package.
    import hashlib
    import subprocess

    from station.transport import LabgridShell, LocalTool
    from testkit.shells import ConsoleShell, LocalShell

    own = tmp_path / "mcu_test"
    own.write_bytes(b"#!/bin/sh\n\x00\xff")
    own.chmod(0o755)
    version = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", "coreutils"],
                             capture_output=True, text=True, check=True).stdout
    if where == "here":
        build = lambda tool: LocalTool(tool, str(tmp_path)).tool_build()
    else:
        from boards.board import Board

        shell = ConsoleShell(tmp_path) if where == "console" else LocalShell(tmp_path)
        board = Board(shell=shell, name="local")
        build = lambda tool: LabgridShell(board, tool).tool_build()
    try:
        assert build(str(own)) == "sha256:" + hashlib.sha256(own.read_bytes()).hexdigest()
        assert build(str(tmp_path / "none")) is None
        if where == "here":  # the same script on a board: dpkg's answer is asked once
            assert build("env") == f"coreutils {version}"
    finally:
        if where == "console":
            shell.console.child.close(force=True)


def test_the_stations_version_is_the_projects_release_and_its_sources(tmp_path):
    import re

    import station
    from testkit import SOURCE

    release = re.search(r"project\(mcu_test VERSION (\S+)", (SOURCE / "CMakeLists.txt")
                        .read_text()).group(1)
    assert re.fullmatch(rf"{re.escape(release)}\+[0-9a-f]{{12}}", station.version())
