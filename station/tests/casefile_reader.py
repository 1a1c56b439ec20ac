"""A small reader of the end-to-end case files: the words of `args` and the `stdout:` block."""

from __future__ import annotations

import shlex
from dataclasses import dataclass
from pathlib import Path

CASES = Path(__file__).resolve().parents[2] / "tests" / "e2e" / "cases"


@dataclass(frozen=True)
class Case:
    name: str
    args: tuple[str, ...]
    sim: tuple[str, ...]
    stdout: bytes | None


def read_case(path: Path) -> Case:
    args: tuple[str, ...] = ()
    sim: list[str] = []
    stdout: list[str] | None = None
    block: list[str] | None = None
    for line in path.read_text(encoding="utf-8").split("\n"):
        if block is not None:
            if line == "end":
                block = None
            elif line.startswith("|"):
                body, mark = line[1:-1], line[-1]
                block.append(body + ("\n" if mark == "$" else ""))
            continue
        if line.startswith("args"):
            args = tuple(shlex.split(line[4:]))
        elif line.startswith("sim "):
            sim.extend(shlex.split(line[4:]))
        elif line == "stdout:":
            stdout = block = []
        elif line.startswith("file ") and line.rstrip().endswith(":") or " repeat " in line:
            block = []
    text = None if stdout is None else "".join(stdout).encode("utf-8")
    return Case(path.stem, args, tuple(sim), text)


def all_cases() -> list[Case]:
    return [read_case(p) for p in sorted(CASES.glob("*.case"))]
