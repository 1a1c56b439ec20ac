"""The station's log file: what Python logging gets (labgrid's log lines, warnings, tracebacks
logged by any library) from the station's process and from each slot's, appended to one file in
the report folder, never on the terminal where the operator's view is drawn."""

from __future__ import annotations

import logging
import os
import sys
from pathlib import Path
from typing import Callable

NAME = "station.log"


class LogFile(logging.Handler):
    """Appends each record to the file, opened (its folder made) at the first one; each
    record is one write, so that the processes' records do not interleave."""

    def __init__(self, path: Path, who: str):
        super().__init__()
        self.path = path
        self.fd: int | None = None
        self.setFormatter(logging.Formatter(
            "%(asctime)s " + who.replace("%", "%%") + " %(levelname)s %(name)s: %(message)s"))

    def open(self) -> int:
        if self.fd is None:
            self.path.parent.mkdir(parents=True, exist_ok=True)
            self.fd = os.open(self.path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
        return self.fd

    def emit(self, record: logging.LogRecord) -> None:
        try:
            os.write(self.open(), (self.format(record) + "\n").encode("utf-8", "replace"))
        except Exception:  # noqa: BLE001 -- logging's own way: said on stderr, never raised
            self.handleError(record)

    def close(self) -> None:
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None
        super().close()


def to_file(report_dir: Path, who: str) -> LogFile:
    """This process's logging (and Python's warnings) to report_dir's log file only, from
    warnings up."""
    root = logging.getLogger()
    for handler in list(root.handlers):  # a fork's inherited handler: its file is reopened
        root.removeHandler(handler)
    handler = LogFile(Path(report_dir) / NAME, who)
    root.addHandler(handler)
    logging.captureWarnings(True)
    return handler


class RowNote(logging.Handler):
    """A slot's warnings and worse, one line each, to its row of the view."""

    def __init__(self, note: Callable[[str], None]):
        super().__init__(logging.WARNING)
        self.note = note

    def emit(self, record: logging.LogRecord) -> None:
        try:
            text = record.getMessage().strip() or (
                str(record.exc_info[1]) if record.exc_info else "")
            self.note(f"{record.levelname.lower()}: {text.splitlines()[0] if text else ''}")
        except Exception:  # noqa: BLE001
            self.handleError(record)


def slot_to_file(report_dir: Path, slot: str, note: Callable[[str], None]) -> None:
    """A slot's process: its logging to the log file and, shortened, to its row; whatever
    it (or a library, or a program it starts) writes on its standard error to the file too."""
    handler = to_file(report_dir, f"slot {slot}")
    logging.getLogger().addHandler(RowNote(note))
    sys.stderr.flush()
    os.dup2(handler.open(), 2)
