"""A program as a person sees it on a terminal: its screens in a real tmux, whether its text
holds a control byte, and the rows of the station's live table on a screen."""

from __future__ import annotations

import re
import shlex
import shutil
import subprocess
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

import pytest

from testkit import program_env


def no_control_bytes(data: bytes) -> bool:
    """Nothing but printable UTF-8 and line ends: no ESC, CR, BEL, NUL, DEL or C1 codes."""
    text = data.decode("utf-8")
    return not re.search(r"[\x00-\x09\x0b-\x1f\x7f-\x9f]", text)


def table_rows(lines: list[str], slots) -> list[tuple[str, range]]:
    """The slots' rows among the lines of a live table, in the table's order: each from the line
    that names the slot in the first column to the next slot's row or the table's bottom edge."""
    first = [line.split("│")[1].strip() if line.startswith("│") else None for line in lines]
    starts = [i for i, cell in enumerate(first) if cell in slots]
    ends = starts[1:] + [next((j for j in range(starts[-1], len(lines))
                               if lines[j].startswith("└")), len(lines))] if starts else []
    return [(first[i], range(i, end)) for i, end in zip(starts, ends)]


@dataclass
class TmuxRun:
    screens: list[str]   # the pane's text at each capture that differed from the one before
    status: int | None   # the program's exit status; None if it still ran at the timeout


def run_in_tmux(argv: list[str], cwd: Path, size: tuple[int, int]) -> TmuxRun:
    """Runs argv, a project program, in cwd in a detached tmux pane of this size on a server of
    its own and captures the screen every 0.25 s until the program ends (its last screen
    included) or for two minutes at most."""
    tmux = shutil.which("tmux")
    if tmux is None:
        pytest.skip("tmux is not installed")
    env = program_env()
    env.pop("TMUX", None)  # not nested in a tmux that runs the tests
    # The shell around the program keeps its status, then holds the pane open with the
    # program's last screen as it left it (tmux's own remain-on-exit writes over the bottom
    # line, and at times leaves the program a zombie whose status it never reports).
    kept = Path(tempfile.mkdtemp(prefix="tmux-run-")) / "status"
    # A server of its own, its socket in the same folder (gone with it), no user's config.
    base = [tmux, "-S", str(kept.parent / "socket"), "-f", "/dev/null"]

    def tmux_do(*args: str) -> str:
        return subprocess.run(base + list(args), env=env, capture_output=True, text=True,
                              check=True, timeout=10).stdout

    command = (f"{shlex.join(argv)}; echo $? >{shlex.quote(str(kept))}.new && "
               f"mv {shlex.quote(str(kept))}.new {shlex.quote(str(kept))}; exec sleep 86400")
    try:
        tmux_do("new-session", "-d", "-s", "run", "-x", str(size[0]), "-y", str(size[1]),
                "-c", str(cwd), command)
        deadline = time.monotonic() + 120
        screens: list[str] = []
        status = None
        while True:
            ended = kept.exists()  # before the capture, so that the last one is the final screen
            screen = tmux_do("capture-pane", "-p", "-t", "run")
            if not screens or screens[-1] != screen:
                screens.append(screen)
            if ended:
                status = int(kept.read_text())
                break
            if time.monotonic() > deadline:
                break
            time.sleep(0.25)
    finally:
        subprocess.run(base + ["kill-server"], env=env, capture_output=True, timeout=10)
        shutil.rmtree(kept.parent, ignore_errors=True)
    return TmuxRun(screens, status)
