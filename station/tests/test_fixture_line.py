"""Board after board on fixtures as a line has them, reached through labgrid: each slot's console
is busybox ash behind a login on a pseudo-terminal (NullModem), its power switch a command
(ExternalPowerDriver) and its presence input a file (FileDigitalOutputDriver). A board that
never boots, a power switch that fails, the operator who starts each board, a service stop."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
from contextlib import ExitStack
from pathlib import Path

import pytest

from testkit import Spawned, shell_script
from testkit.nullmodem import NullModem
from testkit.stations import TOOL, db_runs, junit_cases, start_sim

# The product's firmware and serial number only: a board in about a second.
LIMITS = """product: mcu-board
firmware: {version_min: 7, work_mode: application}
serial_number: {pattern: '(?!0{12})[0-9a-f]{12}'}
"""
PLAN = ["work_mode", "firmware_version", "serial_number"]
WAITING = r"^slot1 waiting for a board( \(\d+ done\))?: "

# The slot's power switch: "on" fails while broken-power is there; the boards whose numbers
# dead-boards lists (counted from the first power-on) never boot; "off" switches off.
POWER = """cd "$(dirname "$0")"
case $1 in
on) [ -e broken-power ] && { echo "relay does not close" >&2; exit 1; }
    n=$(( $(cat boards-on 2>/dev/null || echo 0) + 1 )); echo $n >boards-on
    [ -e key-sent ] && echo $n >>after-key
    if grep -qx $n dead-boards 2>/dev/null; then : >dead; else rm -f dead; fi
    echo on >power ;;
off) echo off >power ;;
esac
"""

SLOT = """  {name}:
    resources:
      RawSerialPort: {{port: {port}, speed: 115200}}
    drivers:
      SerialDriver: {{}}
      ExternalPowerDriver: {{cmd_on: 'sh {dir}/power.sh on', cmd_off: 'sh {dir}/power.sh off'}}
      FileDigitalOutputDriver: {{name: presence, filepath: {dir}/present}}
      ShellDriver: {{prompt: 'board\\$ ', login_prompt: 'login: ', username: factory,
                    login_timeout: 6}}
      BoardStrategy: {{}}
"""


class FixtureLine:
    """Slots slot1..slotN, each a folder with its fixture's files and its simulator."""

    def __init__(self, tmp: Path, stack: ExitStack, slots: int):
        self.tmp, self.dirs = tmp, [tmp / f"slot{n}" for n in range(1, slots + 1)]
        # The board's tool: this machine's, next to its MCU's link.
        shell_script(tmp / "mcu_test", f'cd "$WORK" && exec {TOOL} "$@"\n')
        (tmp / "limits.yaml").write_text(LIMITS)
        env = "imports: [boards.strategy]\ntargets:\n"
        for n, work in enumerate(self.dirs, 1):
            work.mkdir()
            (work / "power.sh").write_text(POWER)
            (work / "present").write_text("0\n")
            (work / "power").write_text("off\n")
            stack.enter_context(start_sim(["--link", "ttyMCU"], work / "ready",
                                          ["--set", f"sn=0c22054359{n:02d}"],
                                          tmp / f"sim{n}.out", work))
            # The board is up while switched on, unless it is one that never boots.
            modem = stack.enter_context(NullModem(work, powered=lambda work=work: (
                (work / "power").read_text() == "on\n" and not (work / "dead").exists())))
            env += SLOT.format(name=work.name, port=modem.port, dir=work)
        (tmp / "line.yaml").write_text(env)
        self.reports, self.junit = tmp / "reports", tmp / "junit.xml"

    def station(self, *extra: str) -> Spawned:
        """The station on the line, its standard input the slots' keys."""
        return Spawned([sys.executable, "-m", "station", "--lg-env", str(self.tmp / "line.yaml"),
                        "--limits", str(self.tmp / "limits.yaml"), "--report-dir",
                        str(self.reports), "--junitxml", str(self.junit), "--station-name", "ci",
                        "--board-tool", str(self.tmp / "mcu_test"), *extra], self.tmp / "out",
                       stdin=subprocess.PIPE)

    def records(self, slot: str) -> list[dict]:
        """The slot's JSON records in the order of their runs' starts (the database's, to
        the microsecond: a fixture error takes less than the records' second)."""
        found = {r["run_uid"]: r for r in (json.loads(p.read_text())
                                           for p in self.reports.glob("*.json"))}
        return [found.pop(uid) for uid, s in db_runs(self.reports, "run_uid", "slot")
                if s == slot]

    def db_runs(self) -> list[tuple]:
        """(slot, verdict, retest) of each run in the database, by slot and start."""
        return sorted(db_runs(self.reports, "slot", "verdict", "retest"), key=lambda r: r[0])

    def file(self, slot: int, name: str) -> str:
        return (self.dirs[slot - 1] / name).read_text()


@pytest.fixture
def fixture_line(tmp_path):
    with ExitStack() as stack:
        yield lambda slots: FixtureLine(tmp_path, stack, slots)


def test_a_board_that_never_boots_and_a_broken_power_switch(fixture_line):
    # Slot 1's power switch fails: three fixture errors, then the slot is out of service and
    # ends (nobody can bring it back with --start now). Slot 2 goes on: its second board never
    # boots and is recorded as such; the third passes.
    line = fixture_line(2)
    (line.dirs[0] / "broken-power").touch()
    (line.dirs[1] / "dead-boards").write_text("2\n")
    with line.station("--loop", "3", "--start", "now") as station:
        status = station.proc.wait(240)
    out = station.output()
    assert status == 1
    assert out.splitlines()[-1] == ("boards: 2 passed, 0 failed, 1 did not boot, 3 fixture "
                                    "errors; slots out of service: 1 (slot1)")
    assert "slot1: out of service after 3 fixture errors in a row" in out
    broken = line.records("slot1")
    assert [r["verdict"] for r in broken] == ["fixture error"] * 3
    assert all("power switch on: " in r["measurements"][0]["detail"]
               and "relay does not close" in r["measurements"][0]["detail"] for r in broken)
    verdicts = [r["verdict"] for r in line.records("slot2")]
    assert verdicts == ["pass", "no boot", "pass"]
    dead = line.records("slot2")[1]
    assert dead["serial_number"] is None
    assert "the board's shell is not reachable" in dead["measurements"][0]["detail"]
    assert line.db_runs() == [("slot1", "fixture error", None)] * 3 + [
        ("slot2", "pass", 0), ("slot2", "no boot", None), ("slot2", "pass", 1)]
    # Every board's measurements in the JUnit XML: the dead board's as failures.
    cases = junit_cases(line.junit)
    assert len(cases) == 6 * len(PLAN)
    assert sum(state == "failure" for _, state, _ in cases) == 4 * len(PLAN)
    assert line.file(2, "boards-on") == "3\n" and line.file(2, "power") == "off\n"


def test_the_operator_starts_each_board_and_a_board_left_in_is_not_tested_again(fixture_line):
    # The slot waits switched off until a board is put in; the board left in after its test
    # is not tested again until the operator's key says so; then the board taken out and put
    # in again: its third test, which the line refuses (--retests 2 by default). A SIGTERM (a
    # service stop) while the slot waits ends the station as a stop.
    line = fixture_line(1)
    present = line.dirs[0] / "present"
    with line.station("--loop", "--start", "presence") as station:
        waiting = WAITING + "put a board in"
        station.wait_for(waiting)
        assert not (line.dirs[0] / "boards-on").exists()  # an empty slot is never switched on
        present.write_text("1\n")
        station.wait_for(r"^slot1 0c2205435901: PASS, 3 of 3 passed")
        station.wait_for(waiting, 2)
        assert "(or press its key to test this one again)" in station.output()
        (line.dirs[0] / "key-sent").touch()
        station.key(b"1")  # the operator's word: test it again
        station.wait_for(r"^slot1 0c2205435901: PASS, 3 of 3 passed", 2)
        station.wait_for(waiting, 3)
        present.write_text("0\n")  # taken out, and the next one put in
        station.wait_for(r"^slot1: the board was taken out$")
        present.write_text("1\n")
        station.wait_for(r"^slot1 0c2205435901: REFUSED, 3 of 3 passed")
        station.wait_for(waiting, 4)
        os.kill(station.proc.pid, signal.SIGTERM)
        status = station.proc.wait(60)
    out = station.output()
    assert status == 130
    # The second board started after the key, not before: power-ons 2 and 3 saw it sent.
    assert line.file(1, "after-key") == "2\n3\n"
    records = line.records("slot1")
    assert [(r["verdict"], r["retest"]) for r in records] == [("pass", 0), ("pass", 1),
                                                               ("refused", 2)]
    assert ("slot1: board 0c2205435901 refused: tested 2 times on this line already "
            "(--retests 2)") in out
    assert line.db_runs() == [("slot1", "pass", 0), ("slot1", "pass", 1),
                              ("slot1", "refused", 2)]
    assert line.file(1, "power") == "off\n"
    assert out.splitlines()[-1] == ("boards: 2 passed, 0 failed, 0 did not boot, 1 refused; "
                                    "slots out of service: 0")


def test_the_label_scanned_starts_the_board_and_must_be_its_serial_number(fixture_line):
    # On a station of one slot a scanned label starts the board; its MCU's serial number must
    # be the label's, else the run is the wrong board's and its plan stops there.
    line = fixture_line(1)
    with line.station("--loop", "2") as station:
        waiting = WAITING + "press Enter to start"
        for n, label in enumerate([b"0C2205435901", b"0c2205435999"], 1):
            station.wait_for(waiting, n)
            station.key(label)  # a scanner types the label and Enter
        status = station.proc.wait(60)
    out = station.output()
    assert status == 1
    right, wrong = line.records("slot1")
    assert (right["verdict"], right["scanned_serial"]) == ("pass", "0C2205435901")
    assert (wrong["verdict"], wrong["scanned_serial"]) == ("wrong board", "0c2205435999")
    assert [m["verdict"] for m in wrong["measurements"]] == ["pass"] * 3  # judged, then stopped
    assert "slot1: wrong board: its label says 0c2205435999, its MCU 0c2205435901" in out


def test_a_slot_out_of_service_comes_back_with_its_key(fixture_line):
    # Three fixture errors in a row take the slot out of service; once the switch is mended,
    # the slot's key brings it back and starts its board at once.
    line = fixture_line(1)
    (line.dirs[0] / "broken-power").touch()
    with line.station("--loop", "4") as station:
        for n in range(1, 4):
            station.wait_for(WAITING + "press Enter", n)
            station.key()
        station.wait_for(r"^slot1: OUT OF SERVICE")
        assert "3 fixture errors in a row; 1 brings it back and starts its board" in \
            station.output()
        (line.dirs[0] / "broken-power").unlink()
        station.key()
        status = station.proc.wait(60)
    out = station.output()
    assert status == 1  # every board passed, but the slot went out of service
    assert "slot1: back in service" in out
    assert line.db_runs() == [("slot1", "fixture error", None)] * 3 + [("slot1", "pass", 0)]
    assert out.splitlines()[-1] == ("boards: 1 passed, 0 failed, 0 did not boot, 3 fixture "
                                    "errors; slots out of service: 1 (slot1)")
