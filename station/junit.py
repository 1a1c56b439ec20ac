"""The JUnit XML of a station run: one test case per board and measurement, with the
measurement's value, unit, limits and verdict as properties (what CI systems and test
databases read).

A case is named `test_measurement[NN-name]`, or `test_measurement[slot-NN-name]` on a line of
several slots; a slot's later boards (board after board) add their number:
`test_measurement[slot1-b2-NN-name]`. A measurement that did not pass is a failure.
"""

from __future__ import annotations

import socket
import xml.etree.ElementTree as ET
from datetime import datetime, timezone
from pathlib import Path

from station.measurements import Result
from station.records import FinishedRun
from station.verdicts import Verdict


class JunitXml:
    """Collects finished runs (an output like the JSON records and the database) and writes
    them as one XML file at the end."""

    def __init__(self, path: str | Path, several_slots: bool):
        self.path, self.several_slots = Path(path), several_slots
        self.started = datetime.now(timezone.utc)
        self.runs: list[FinishedRun] = []

    def __call__(self, run: FinishedRun) -> None:
        self.runs.append(run)

    def write(self) -> None:
        suite = ET.Element("testsuite", name="station", timestamp=self.started.isoformat(
            timespec="seconds"), hostname=socket.gethostname())
        boards: dict[str | None, int] = {}
        tests = failures = 0
        for run in sorted(self.runs, key=lambda r: r.start):
            boards[run.slot] = boards.get(run.slot, 0) + 1
            head = f"{run.slot}-" if self.several_slots else ""
            if boards[run.slot] > 1:
                head += f"b{boards[run.slot]}-"
            for n, result in enumerate(run.results, 1):
                tests += 1
                failures += result.verdict != Verdict.PASS
                suite.append(_case(f"test_measurement[{head}{n:02d}-{result.name}]",
                                   run.slot or "", result))
        suite.set("tests", str(tests))
        suite.set("failures", str(failures))
        suite.set("errors", "0")
        suite.set("skipped", "0")
        suite.set("time", f"{(datetime.now(timezone.utc) - self.started).total_seconds():.3f}")
        root = ET.Element("testsuites")
        root.append(suite)
        self.path.parent.mkdir(parents=True, exist_ok=True)
        ET.ElementTree(root).write(self.path, encoding="utf-8", xml_declaration=True)


def _case(name: str, slot: str, r: Result) -> ET.Element:
    case = ET.Element("testcase", classname="station", name=name, time="0")
    props = ET.SubElement(case, "properties")
    values = [("slot", slot), ("value", "" if r.value is None else str(r.value)),
              ("unit", r.unit or ""), *((k, str(v)) for k, v in r.limits.items()),
              ("verdict", r.verdict.value), ("operations", "; ".join(r.operations))]
    if r.detail:
        values.append(("detail", r.detail))
    for key, value in values:
        ET.SubElement(props, "property", name=key, value=value)
    if r.verdict != Verdict.PASS:
        unit = f" {r.unit}" if r.unit else ""
        value = "" if r.value is None else f", value {r.value}{unit}"
        message = (f"{slot}: {r.title}: {r.verdict.value}{value}, limits {r.limits}"
                   + (f" ({r.detail})" if r.detail else ""))
        ET.SubElement(case, "failure", message=message).text = message
    return case
