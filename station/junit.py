"""The JUnit XML of a station run: one test case per board and measurement, with the
measurement's value, unit, limits and verdict and the board's run id (`run_uid`, its record's
and database run's) as properties (what CI systems and test databases read).

One pass, a case is named `test_measurement[NN-name]`, or `test_measurement[slot-NN-name]` on
a line of several slots. Board after board, every case names its slot and its board's serial
number, `test_measurement[slot1-0c2205435901-NN-name]`; a board whose serial number is not
known, its number in the slot (`slot1-b2-NN-name`), and a serial number tested again in the
slot, both (`slot1-0c2205435901-b3-NN-name`). A measurement that did not pass is a failure.
"""

from __future__ import annotations

import re
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

    def __init__(self, path: str | Path, several_slots: bool, looping: bool = False):
        self.path, self.several_slots, self.looping = Path(path), several_slots, looping
        self.started = datetime.now(timezone.utc)
        self.runs: list[FinishedRun] = []

    def __call__(self, run: FinishedRun) -> None:
        self.runs.append(run)

    def write(self) -> None:
        suite = ET.Element("testsuite", name="station", timestamp=self.started.isoformat(
            timespec="seconds"), hostname=socket.gethostname())
        boards: dict[str | None, int] = {}
        heads: set[str] = set()
        tests = failures = 0
        for run in sorted(self.runs, key=lambda r: r.start):
            boards[run.slot] = n = boards.get(run.slot, 0) + 1
            if self.looping:
                serial = re.sub(r"\W", "_", run.serial_number or "")
                head = f"{run.slot}-{serial or f'b{n}'}-"
                if head in heads:  # the serial number's retest in the slot
                    head += f"b{n}-"
            else:
                head = f"{run.slot}-" if self.several_slots else ""
                if n > 1:
                    head += f"b{n}-"
            heads.add(head)
            for i, result in enumerate(run.results, 1):
                tests += 1
                failures += result.verdict != Verdict.PASS
                suite.append(_case(f"test_measurement[{head}{i:02d}-{result.name}]",
                                   run.slot or "", run.run_uid, result))
        suite.set("tests", str(tests))
        suite.set("failures", str(failures))
        suite.set("errors", "0")
        suite.set("skipped", "0")
        suite.set("time", f"{(datetime.now(timezone.utc) - self.started).total_seconds():.3f}")
        root = ET.Element("testsuites")
        root.append(suite)
        self.path.parent.mkdir(parents=True, exist_ok=True)
        ET.ElementTree(root).write(self.path, encoding="utf-8", xml_declaration=True)


# Characters that XML 1.0 cannot hold at all, even escaped: a console log's escape sequences
# and stray control bytes, written as \xNN instead.
_NOT_XML = re.compile("[^\t\n\r\x20-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]")


def _xml(text: str) -> str:
    return _NOT_XML.sub(lambda m: f"\\x{ord(m.group()):02x}", text)


def _case(name: str, slot: str, run_uid: str | None, r: Result) -> ET.Element:
    case = ET.Element("testcase", classname="station", name=name, time="0")
    props = ET.SubElement(case, "properties")
    values = [("slot", slot), ("run_uid", run_uid or ""), ("value", "" if r.value is None else str(r.value)),
              ("unit", r.unit or ""), *((k, str(v)) for k, v in r.limits.items()),
              ("verdict", r.verdict.value), ("operations", "; ".join(r.operations))]
    if r.detail:
        values.append(("detail", r.detail))
    for key, value in values:
        ET.SubElement(props, "property", name=key, value=_xml(value))
    if r.verdict != Verdict.PASS:
        unit = f" {r.unit}" if r.unit else ""
        value = "" if r.value is None else f", value {r.value}{unit}"
        message = (f"{slot}: {r.title}: {r.verdict.value}{value}, limits {r.limits}"
                   + (f" ({r.detail})" if r.detail else ""))
        ET.SubElement(case, "failure", message=_xml(message)).text = _xml(message)
    return case
