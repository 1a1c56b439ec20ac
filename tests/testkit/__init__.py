"""What the tests share: the simulator and the station's runs (stations), a real PostgreSQL
(pgcluster), the end-to-end cases (casefile, targets, board_target), the sigrok decoder's runs
(linkdecode) and a terminal (terminal)."""

from __future__ import annotations

import os
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[2]


def program_env(**extra: str) -> dict[str, str]:
    """The environment of a project program started from a test (python3 -m station, ...):
    its packages found from wherever it starts, no byte-code left in the tree."""
    path = os.pathsep.join(p for p in (str(SOURCE), os.environ.get("PYTHONPATH")) if p)
    return {**os.environ, "PYTHONPATH": path, "PYTHONDONTWRITEBYTECODE": "1", **extra}


def shell_script(path: Path, body: str) -> Path:
    """An executable /bin/sh script at path with that body: a stand-in tool."""
    path.write_text("#!/bin/sh\n" + body)
    path.chmod(0o755)
    return path
