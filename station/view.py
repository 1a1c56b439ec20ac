"""What the operator sees of a line of boards tested at once, one slot a board.

On a terminal a live table, one row per slot, redrawn a few times a second, with each board's
verdict in a large coloured block that reads from across the room; off a terminal (CI, a log
file) plain lines, one per event that matters, without a control character in them. The slots
report from their own threads; both views take that.
"""

from __future__ import annotations

import re
import threading
from dataclasses import dataclass
from enum import StrEnum
from typing import Protocol, Sequence, TextIO

from rich.align import Align
from rich.console import Console, RenderableType
from rich.live import Live
from rich.table import Table
from rich.text import Text


class Phase(StrEnum):
    WAITING = "waiting for a board"  # loop mode: switched off, the next board not started yet
    SWITCHING_OFF = "switching off"  # loop mode: the last board's power going off
    BOOTING = "booting"              # powered on, waiting for the shell
    TESTING = "testing"
    DONE = "done"                    # verdict known
    LOST = "lost"                    # the board could not be reached / was lost; note says why
    STOPPED = "stopped"              # Ctrl-C stopped the slot
    OUT_OF_SERVICE = "out of service"  # fixture errors in a row: the operator brings it back


@dataclass(frozen=True)
class SlotStatus:
    slot: str                    # the slot's name (labgrid target name), e.g. "slot1"
    phase: Phase
    serial: str | None = None    # the board's serial number once read
    step: int = 0                # the step running now (1-based), 0 when none
    steps: int = 0               # steps in the plan
    command: str = ""            # the step's command, e.g. "mcu_test 4"
    title: str = ""              # the step's title
    left_s: float | None = None  # seconds left of the step's expected time
    passed: int = 0              # measurements passed so far
    judged: int = 0              # measurements judged so far
    total: int = 0               # measurements in the plan
    verdict: str | None = None   # "pass" / "fail" / "stopped" when the board is done
    boards: int = 0              # boards finished in this slot so far (loop mode)
    note: str = ""               # a short reason (lost: why; the record's path when done)
    run_uid: str | None = None   # the board's run, for its record if the slot's process dies
    bound_s: float | None = None  # past this from its power-on, the slot's board hangs


class View(Protocol):
    def update(self, status: SlotStatus) -> None: ...
    def say(self, text: str) -> None: ...
    def warn(self, slot: str, text: str) -> None: ...
    def close(self) -> None: ...


# Terminal escape sequences as a board's console sends them (CSI, OSC, and two-byte ones),
# dropped whole so that no stray "[31m" is left; then any other control character escaped.
_ESCAPE = re.compile(r"\x1b\[[0-?]*[ -/]*[@-~]|\x1b\][^\x07\x1b]*(?:\x07|\x1b\\)?|\x1b[ -/]*[0-~]"
                     r"|\x9b[0-?]*[ -/]*[@-~]")
_CONTROL = re.compile(r"[\x00-\x1f\x7f-\x9f\u2028\u2029]")


def clean(text: str) -> str:
    """Text from a board made safe to show: no escape sequence, no control character (line
    breaks and tabs become spaces, the others their \\xNN form)."""
    text = _ESCAPE.sub("", text)
    return _CONTROL.sub(lambda m: " " if m.group() in "\t\n\r\u2028\u2029"
                        else f"\\x{ord(m.group()):02x}", text)


def short_title(title: str) -> str:
    """A step's title without its list of what it reads ("mains metering: voltage, ...")."""
    return title.split(":", 1)[0]


def ended(status: SlotStatus) -> str | None:
    """The board's outcome in capitals once the slot is through with it, else None."""
    if status.phase == Phase.DONE:
        return (status.verdict or "done").upper()
    if status.phase in (Phase.LOST, Phase.STOPPED, Phase.OUT_OF_SERVICE):
        return status.phase.value.upper()
    return None


# -- off a terminal -------------------------------------------------------------------------

class PlainView:
    """One plain line per phase change, step change and verdict of each slot."""

    def __init__(self, slots: Sequence[str], out: TextIO):
        self.out = out
        self.lock = threading.Lock()
        self.last: dict[str, SlotStatus | None] = {slot: None for slot in slots}

    def update(self, status: SlotStatus) -> None:
        with self.lock:
            before = self.last.get(status.slot)
            self.last[status.slot] = status
            for line in self._events(before, status):
                self._write(line)

    def _events(self, before: SlotStatus | None, now: SlotStatus) -> list[str]:
        head = clean(now.slot) + (f" {clean(now.serial)}" if now.serial else "")
        note = f": {clean(now.note).strip()}" if now.note.strip() else ""
        new_phase = before is None or before.phase != now.phase
        lines = []
        outcome = ended(now)
        if outcome is not None:
            if new_phase or before.verdict != now.verdict:
                tally = f", {now.passed} of {now.total} passed" if now.total else ""
                lines.append(f"{head}: {outcome}{tally}{note}")
            return lines
        if new_phase:
            boards = f" ({now.boards} done)" if now.phase == Phase.WAITING and now.boards else ""
            lines.append(f"{head} {now.phase.value}{boards}{note}")
        if now.phase == Phase.TESTING and now.step and (
                new_phase or (before.step, before.command) != (now.step, now.command)):
            waits = f" (waits {now.left_s:.1f} s)" if now.left_s is not None else ""
            lines.append(f"{head} step {now.step}/{now.steps} {clean(now.command)}: "
                         f"{clean(short_title(now.title))}{waits}")
        return lines

    def say(self, text: str) -> None:
        with self.lock:
            self._write(clean(text))

    def warn(self, slot: str, text: str) -> None:
        pass  # the station's log file has it; these lines stay the slots' own events

    def _write(self, line: str) -> None:
        self.out.write(line + "\n")
        self.out.flush()

    def close(self) -> None:
        with self.lock:
            self.out.flush()


# -- on a terminal --------------------------------------------------------------------------

GOOD = "bold black on green"
BAD = "bold white on red"
VERDICT_WIDTH = 13
VERDICT_LINES = 3
SAID_LINES = 3  # the latest lines said above the rows stay in sight below a terminal's top


class LiveView:
    """A rich Live table, one row per slot in the order given. Where the terminal (as it is
    at each refresh) cannot hold every slot's full row, each slot gets one line."""

    def __init__(self, slots: Sequence[str], out: TextIO, *, width: int | None = None,
                 height: int | None = None, refresh_per_second: float = 4):
        self.slots = list(slots)
        self.lock = threading.Lock()      # the statuses
        self.say_lock = threading.Lock()  # one line at a time above the rows
        self.status: dict[str, SlotStatus] = {s: SlotStatus(s, Phase.WAITING) for s in slots}
        self.warning: dict[str, str] = {}  # each slot's latest warning, until its next board
        self.console = Console(file=out, force_terminal=True, width=width, height=height,
                               highlight=False)
        # Only say() writes above the rows; stdout and stderr stay as they are, so that a
        # pytest capture or a log handler on them is not taken over.
        self.live = Live(console=self.console, get_renderable=self.rows,
                         refresh_per_second=refresh_per_second, redirect_stdout=False,
                         redirect_stderr=False)
        self.closed = False
        self.live.start()

    def update(self, status: SlotStatus) -> None:
        with self.lock:
            if status.slot not in self.status:
                self.slots.append(status.slot)
            if status.phase == Phase.BOOTING != self.status[status.slot].phase:
                self.warning.pop(status.slot, None)
            self.status[status.slot] = status

    def warn(self, slot: str, text: str) -> None:
        with self.lock:
            self.warning[slot] = clean(text).strip()

    def say(self, text: str) -> None:
        # Not under self.lock: Live's refresh holds its own lock while it asks rows() for
        # theirs, and printing above the rows takes Live's lock.
        with self.say_lock:
            self.console.print(Text(clean(text)), soft_wrap=True)

    def close(self) -> None:
        with self.lock:
            if self.closed:
                return
            self.closed = True
        self.live.stop()  # its last refresh leaves the final rows on screen

    def rows(self) -> RenderableType:
        with self.lock:
            rows = [(self.status[s], self.warning.get(s, "")) for s in self.slots]
        width, height = self.console.size
        table = self._table(rows, width, compact=False)
        tall = len(self.console.render_lines(table, self.console.options.update(width=width)))
        return table if tall + SAID_LINES <= height else self._table(rows, width, compact=True)

    def _table(self, rows: list[tuple[SlotStatus, str]], width: int, compact: bool) -> Table:
        table = Table(expand=False, show_edge=True, pad_edge=True)
        if not compact:
            table.add_column("slot", no_wrap=True)
            table.add_column("board", no_wrap=True, overflow="ellipsis")
            table.add_column("step", overflow="ellipsis", max_width=52)
            table.add_column("measured", no_wrap=True)
            table.add_column("verdict", width=VERDICT_WIDTH, no_wrap=True, overflow="ellipsis")
            for s, warning in rows:
                table.add_row(*self._row(s, warning))
            return table
        # One line each: the other columns as wide as their text (within reason), the step
        # with its note cut to what is left of the width (5 columns: 16 of borders and padding).
        fixed = [min(max(len(s.slot) for s, _ in rows), 12),
                 min(max(len(s.serial or "-") for s, _ in rows), 16),
                 max(max(len(f"{s.total}/{s.total}") for s, _ in rows), 6), 9]
        step = max(width - 16 - sum(fixed), 8)
        for name, w in zip(("slot", "board", "step", "passed", "verdict"),
                           fixed[:2] + [step] + fixed[2:]):
            table.add_column(name, width=w, no_wrap=True, overflow="ellipsis")
        for s, warning in rows:
            table.add_row(*self._line(s, warning))
        return table

    @staticmethod
    def _row(s: SlotStatus, warning: str) -> tuple[RenderableType, ...]:
        slot = Text(clean(s.slot), style="bold")
        if s.boards:
            slot.append(f"\n{s.boards} board{'s' if s.boards != 1 else ''}", style="dim")
        serial = Text(clean(s.serial) if s.serial else "-")
        outcome = ended(s)
        if s.phase == Phase.TESTING and s.step:
            step = Text(f"{s.step}/{s.steps} {clean(s.command)} {clean(short_title(s.title))}")
            if s.left_s is not None:
                step.append(f"\n{s.left_s:.1f} s left", style="cyan")
        else:
            step = Text(s.phase.value if outcome is None else "", style="dim")
        if s.note.strip():
            step.append(("\n" if step.plain else "") + clean(s.note).strip(),
                        style="red" if s.phase == Phase.LOST else "dim")
        if warning:
            step.append(("\n" if step.plain else "") + warning, style="yellow")
        measured = Text(f"{s.passed}/{s.total} passed" if s.total else "")
        if s.judged > s.passed:
            measured.append(f"\n{s.judged - s.passed} not passed", style="red")
        if outcome is None:
            verdict: RenderableType = Text(s.phase.value.split()[0], style="dim")
        else:
            if len(outcome) > VERDICT_WIDTH:  # OUT OF SERVICE: two lines of the block
                outcome = "\n".join(outcome.rsplit(" ", 1))
            verdict = Align(Text(outcome, justify="center"), align="center", vertical="middle",
                            height=VERDICT_LINES, style=GOOD if outcome == "PASS" else BAD)
        return slot, serial, step, measured, verdict

    @staticmethod
    def _line(s: SlotStatus, warning: str) -> tuple[RenderableType, ...]:
        """The slot's row in one line: the step's number and title (or the phase), then the
        latest warning and the note, cut to the column."""
        outcome = ended(s)
        if s.phase == Phase.TESTING and s.step:
            step = Text(f"{s.step}/{s.steps} ")
            if not warning:
                step.append(clean(short_title(s.title)))
                if s.left_s is not None:
                    step.append(f" {s.left_s:.1f}s", style="cyan")
        else:
            step = Text(s.phase.value + " " if outcome is None else "", style="dim")
        step.append(warning + " " if warning else "", style="yellow")
        if s.note.strip():
            step.append(clean(s.note).strip(), style="red" if s.phase == Phase.LOST else "dim")
        step.rstrip()
        measured = Text(f"{s.passed}/{s.total}" if s.total else "",
                        style="red" if s.judged > s.passed else "")
        if outcome is None:
            verdict = Text(s.phase.value.split()[0], style="dim")
        else:
            verdict = Text(outcome.center(9), style=GOOD if outcome == "PASS" else BAD)
        return (Text(clean(s.slot), style="bold"), Text(clean(s.serial) if s.serial else "-"),
                step, measured, verdict)


def make_view(slots: Sequence[str], out: TextIO, tty: bool | None = None) -> View:
    """A live table on a terminal, plain lines elsewhere (tty None: as out.isatty() says)."""
    if tty is None:
        try:
            tty = out.isatty()
        except (AttributeError, ValueError):  # no isatty, or a closed file
            tty = False
    return LiveView(slots, out) if tty else PlainView(slots, out)

