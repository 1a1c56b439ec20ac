"""The verdicts, each decided once: a measurement's, and a board's run's.

Their values are the texts of the records, the JUnit XML and the database (whose check
constraints are made from these enums).
"""

from __future__ import annotations

from enum import StrEnum
from typing import Iterable


class Verdict(StrEnum):
    """A measurement's outcome."""

    PASS = "pass"
    FAIL = "fail"                  # read, and outside its limits
    NO_ANSWER = "no answer"        # no reply frame from the MCU
    BAD_CHECKSUM = "bad checksum"  # the reply came with a wrong checksum
    ERROR = "error"                # the tool could not be run or could not use the UART
    NOT_RUN = "not run"            # the run ended before this measurement


class RunVerdict(StrEnum):
    """A board's run."""

    PASS = "pass"
    FAIL = "fail"
    NO_BOOT = "no boot"              # the board never reached its shell: the board's failure
    FIXTURE_ERROR = "fixture error"  # the station's fixture failed: not the board's failure
    WRONG_BOARD = "wrong board"  # the serial number on its label is not the one its MCU has
    STOPPED = "stopped"  # the operator stopped the station; what was measured is kept
    REFUSED = "refused"  # tested as often as the line allows (--retests): not tested further
    ABORTED = "aborted"  # the run broke off (the database's reading of a run never finished)


def run_verdict(verdicts: Iterable[Verdict], stopped: bool,
                fault: RunVerdict | None = None) -> RunVerdict:
    """A run passes when it has measurements and every one passed; a run that the operator
    stopped before its last measurement was judged is stopped. fault: the board never ran its
    plan (no boot, fixture error), whatever else happened."""
    verdicts = list(verdicts)
    if fault is not None:
        return fault
    if stopped:
        return RunVerdict.STOPPED
    ok = bool(verdicts) and all(v == Verdict.PASS for v in verdicts)
    return RunVerdict.PASS if ok else RunVerdict.FAIL


def sql_in(column: str, enum: type[StrEnum]) -> str:
    """A check constraint's text: the column holds one of the enum's values."""
    return f"{column} IN ({', '.join(repr(str(v)) for v in enum)})"
