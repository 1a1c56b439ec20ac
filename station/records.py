"""A board's record: built from the finished run, handed to the outputs that keep it.

The run ends as one `FinishedRun`; each output is a callable that takes it (today the JSON file
per board, `JsonRecords`). The JSON is strict: no NaN or infinity anywhere, since the judge
keeps only finite values (a record that would need one is refused, not written).
"""

from __future__ import annotations

import json
import os
from dataclasses import dataclass
from datetime import datetime
from pathlib import Path
from typing import Callable

from measurements import Result, Verdict


@dataclass(frozen=True)
class FinishedRun:
    """Everything the station knows when the run is over."""

    product: str
    limits_file: str
    station: str
    transport: str | None      # None when the board was never reached
    start: datetime            # UTC
    end: datetime
    duration_s: float
    board_ready_s: float | None
    steps_s: float | None
    results: tuple[Result, ...]  # every measurement of the plan, in its order
    unrecognised: tuple[str, ...]

    @property
    def serial_number(self) -> str | None:
        for r in self.results:
            if r.name == "serial_number" and isinstance(r.value, str):
                return r.value
        return None

    @property
    def passed(self) -> int:
        return sum(r.verdict == Verdict.PASS for r in self.results)

    @property
    def verdict(self) -> Verdict:
        ok = bool(self.results) and self.passed == len(self.results)
        return Verdict.PASS if ok else Verdict.FAIL


Output = Callable[[FinishedRun], object]


def build_record(run: FinishedRun) -> dict[str, object]:
    return {
        "serial_number": run.serial_number,
        "product": run.product,
        "limits_file": run.limits_file,
        "station": run.station,
        "transport": run.transport,
        "start": run.start.isoformat(timespec="seconds"),
        "end": run.end.isoformat(timespec="seconds"),
        "duration_s": run.duration_s,
        "board_ready_s": run.board_ready_s,
        "steps_s": run.steps_s,
        "verdict": run.verdict.value,
        "measurements": [r.as_dict() for r in run.results],
        "unrecognised_output": list(run.unrecognised),
    }


def write_atomically(path: Path, text: str) -> None:
    """Readers see the old file or the whole new one, never a part."""
    tmp = path.with_name(path.name + ".tmp")
    with open(tmp, "w", encoding="utf-8") as out:
        out.write(text)
        out.flush()
        os.fsync(out.fileno())
    os.replace(tmp, path)


class JsonRecords:
    """One JSON file per run in a folder, `<serial number>_<UTC start>.json`."""

    def __init__(self, folder: str | Path):
        self.folder = Path(folder)

    def path(self, run: FinishedRun) -> Path:
        stamp = run.start.strftime("%Y%m%dT%H%M%SZ")
        return self.folder / f"{run.serial_number or 'unknown'}_{stamp}.json"

    def __call__(self, run: FinishedRun) -> Path:
        # Serialised first: a value strict JSON cannot hold raises before any file is touched.
        text = json.dumps(build_record(run), indent=2, ensure_ascii=False, allow_nan=False)
        self.folder.mkdir(parents=True, exist_ok=True)
        path = self.path(run)
        write_atomically(path, text + "\n")
        return path
