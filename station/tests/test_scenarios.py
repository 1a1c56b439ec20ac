"""Whole station runs against a simulated MCU set up as a good or a faulty board.

Each scenario starts `mcu_sim` with its own options, runs the station as an operator would
(python3 -m station), and checks the exit status, the JUnit XML and the JSON record.
The simulator and the tool come from a build: MCU_SIM, and MCU_TOOL (the tool variant whose
device is `ttyMCU` in its working directory).

The board is a virtual one when STATION_BOARD names it (mipsel, ...): the station reaches it
through labgrid with boards/labgrid/<board>.yaml, and the simulator serves its MCU UART on the
socket that QEMU opens; its kernel and root file system come from boards/build.sh (cached).
Otherwise the station runs MCU_TOOL on this machine against the simulator's pseudo-terminal.
"""

from __future__ import annotations

import os
import re
import tempfile
from pathlib import Path

import pytest

from boards import board
from boards.simulator import SimKeeper, Slot
from testkit import program_env
from testkit.stations import (ALL, BOARD, GOOD_SN, LIMITS, SIM, SOURCE, STEPS, TOOL, WAITS_S,
                              StationRun, assert_verdicts, console_env, db_runs, good_sim,
                              run_station, vanishing_tool)

# What one step may take beyond its wait: starting the tool here, or typing the command on
# the board's console and bringing the output back through it.
STEP_ALLOWANCE_S = 2.0 if BOARD else 0.5


@pytest.fixture
def station(tmp_path):
    """Runs the station against a board whose MCU is the simulator with given options."""
    sims = []

    def run(*sim_options, limits=LIMITS, tool=None, cwd: Path | None = None) -> StationRun:
        """cwd: start the station there, every path on its command line relative to it."""
        if BOARD and tool is None:
            # QEMU (started by labgrid) serves the MCU's UART on a socket; the keeper connects
            # the simulator once QEMU serves it, while the board is still booting.
            with tempfile.TemporaryDirectory(prefix="mcu-st.", dir="/tmp") as sockets:
                socket = str(Path(sockets) / "mcu.sock")
                with SimKeeper([Slot(1, socket, sim_options)], SIM, tmp_path / "sim", base=None):
                    return run_station(tmp_path, "--station-name", "ci", "--lg-env",
                                       str(SOURCE / "boards" / "labgrid" / f"{BOARD}.yaml"),
                                       limits=limits, timeout=300,
                                       env=program_env(**board.virtual_environ(BOARD, socket)))
        work = tmp_path / "board"
        sims.append(good_sim(work, sim_options))
        tool, work = (os.path.relpath(p, cwd) if cwd else str(p) for p in (tool or TOOL, work))
        return run_station(tmp_path, "--station-name", "ci", "--local-tool", tool,
                           "--local-dir", work, limits=limits, cwd=cwd, timeout=300)

    yield run
    for sim in sims:
        sim.stop()


def assert_only(run: StationRun, failing: dict[str, str]):
    """Exactly the named measurements have the given verdicts; every other one passed."""
    assert_verdicts(run.only(), run.cases["main"], failing)
    assert run.status == (0 if not failing else 1)


def test_good_board(station):
    run = station(*GOOD_SN)
    assert_only(run, {})
    record = run.only()
    assert (record["serial_number"], record["station"]) == ("0c2205435900", "ci")
    assert record["start"] <= record["end"] and record["unrecognised_output"] == []
    by_name = {m["name"]: m for m in record["measurements"]}
    assert (by_name["mains_voltage"]["value"], by_name["mains_voltage"]["unit"],
            by_name["mains_voltage"]["limits"]) == (230.0, "V", {"min": 207.0, "max": 253.0})
    assert by_name["ntc_temperature"]["value"] == 25.02
    _, props = run.cases["main"]["mains_voltage"]
    assert (props["value"], props["unit"], props["min"], props["max"]) == ("230.0", "V", "207.0",
                                                                          "253.0")
    assert "BOARD 0c2205435900: PASS, 18 of 18 passed" in run.stdout
    # after the plan every relay of the limits file is switched off again, and said so
    assert [(t["command"], t["status"]) for t in record["teardown"]] == [
        ("mcu_test 19 1 0", 0), ("mcu_test 19 2 0", 0)]
    assert "Relay Control:1" in record["teardown"][0]["output"]


def test_voltage_not_a_number(station):
    # The MCU's float is a NaN: the tool prints it as such; the record holds no value (strict
    # JSON has no NaN), the tool's text in the detail, and the measurement fails.
    run = station(*GOOD_SN, "--set", "voltage=bits:0x7FC00000")
    assert_only(run, {"mains_voltage": "fail"})
    [voltage] = [m for m in run.only()["measurements"] if m["name"] == "mains_voltage"]
    assert voltage["value"] is None and voltage["unit"] == "V"
    assert re.fullmatch(r"the tool printed -?nan", voltage["detail"])
    assert re.search(r"\] mains voltage +- +\(min 207.0, max 253.0\)  FAIL  the tool printed",
                     run.stdout)
    assert run.cases["main"]["mains_voltage"][1]["value"] == ""


def test_silent_mcu(station):
    run = station("--silent")
    assert_only(run, {name: "no answer" for name in ALL})
    record = run.only()
    assert record["serial_number"] is None
    # on time: the tool waited out each of its fixed waits (on its own clock, which a busy
    # machine slows), and the station added a little to each of its 19 runs
    assert WAITS_S <= record["tool_s"]
    assert record["steps_s"] <= record["tool_s"] + STEPS * STEP_ALLOWANCE_S


def test_corrupt_checksums(station):
    run = station(*GOOD_SN, "--fail", "checksum")
    assert_only(run, {name: "bad checksum" for name in ALL})
    assert run.only()["unrecognised_output"] == []


def test_limits_refused_before_anything_runs(station, tmp_path):
    limits = tmp_path / "product.yaml"
    limits.write_text("product: p\nmains:\n  voltage: {min: 250, max: 200, unit: V}\n")
    run = station(limits=limits)
    assert run.status == 2  # the station did not start: nothing run, nothing recorded
    assert f"{limits}:3: mains.voltage.min: 250 is above max 200" in run.stdout
    assert run.records == {} and run.case_count == 0


def test_board_lost_half_way_keeps_what_was_measured(station, tmp_path):
    # The tool answers four times, then is gone: the record keeps the first measurements and
    # says why the rest have no value.
    tool = vanishing_tool(tmp_path / "vanishing_tool")
    run = station(*GOOD_SN, tool=tool)  # on this machine also when a virtual board is chosen
    record = run.only()
    verdicts = [m["verdict"] for m in record["measurements"]]
    assert verdicts[:6] == ["pass"] * 6  # steps 1 to 4: 0 0, 0 1, 6 and 4
    assert set(verdicts[6:]) == {"error"}
    details = [m["detail"] for m in record["measurements"][6:]]
    assert "status" in details[0]  # the fifth run of the tool failed
    assert all("TransportError" in d for d in details[2:])  # then it could not be started
    assert (record["verdict"], run.status, record["serial_number"]) == ("fail", 1, "0c2205435900")


@pytest.mark.parametrize("console", ["missing", "silent"])
def test_unreachable_board(tmp_path, console):
    # A serial console that is not there: the slot's fixture failed, not the board. One that
    # is there but silent (nothing on its other end): the board did not boot. Either way the
    # record lists every measurement, each an error that says why, and the database has it.
    if console == "missing":
        port, verdict, why = tmp_path / "no-such-tty", "fixture error", "fixture failed"
    else:
        ends = os.openpty()  # kept open: the station's end of a line nobody speaks on
        port, verdict, why = os.ttyname(ends[1]), "no boot", "shell is not reachable"
    env = console_env(tmp_path / "board.yaml", port, "# ", "root", 2)
    run = run_station(tmp_path, "--lg-env", str(env), timeout=120)
    assert run.status == 1
    record = run.only()
    assert [m["name"] for m in record["measurements"]] == ALL
    assert {m["verdict"] for m in record["measurements"]} == {"error"}
    assert all(why in m["detail"] for m in record["measurements"])
    assert record["verdict"] == verdict and record["serial_number"] is None
    assert "Traceback" not in run.stdout
    assert run.stdout.splitlines()[-1] == (
        "boards: 0 passed, 0 failed, 0 did not boot, 1 fixture error; slots out of service: 0"
        if console == "missing" else
        "boards: 0 passed, 0 failed, 1 did not boot; slots out of service: 0")
    assert db_runs(run.report_dir, "run_uid", "verdict") == [(record["run_uid"], verdict)]


def test_paths_typed_relative_to_where_the_station_starts(station, tmp_path):
    # As an operator types them at the checkout: the tool, its directory, the limits and the
    # reports, each relative to the directory the station is started in (not the tool's).
    here = tmp_path / "bench"
    (here / "build").mkdir(parents=True)
    tool = here / "build" / "mcu_test_sim"
    tool.symlink_to(TOOL)
    (here / "limits").mkdir()
    limits = here / "limits" / "product.yaml"
    limits.write_text("product: p\nmains:\n  voltage: {min: 207, max: 253, unit: V}\n")
    run = station(limits=limits, tool=tool, cwd=here)
    assert run.status == 0, run.stdout
    assert [(m["name"], m["verdict"], m["value"]) for m in run.only()["measurements"]] == \
        [("mains_voltage", "pass", 230.0)]
    assert re.search(r"^record: \.\./reports/unknown_\d{8}T\d{6}Z\.json$", run.stdout, re.M)
