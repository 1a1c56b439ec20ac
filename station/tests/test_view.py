"""The operator's view of a line of slots: plain lines off a terminal, the live table on one."""

from __future__ import annotations

import io
import re
import threading
import time

import pytest
from rich.console import Console

from testkit.terminal import no_control_bytes, table_rows
from station.view import LiveView, Phase, PlainView, SlotStatus, clean, make_view

METERING = "mains metering: voltage, current, power, ..."
HOSTILE = "\x1b[2J\x1b]0;owned\x07[bold]red[/bold]\r\nlogin: \x9b31m\x00"


def at_step(slot, serial, step, left, passed=0, judged=0, command="mcu_test 4", title=METERING):
    return SlotStatus(slot, Phase.TESTING, serial, step, 19, command, title, left, passed,
                      judged, 18)


# -- the text a board sends -----------------------------------------------------------------

@pytest.mark.parametrize("raw, shown", [
    ("0c2205435901", "0c2205435901"),
    ("\x1b[31mred\x1b[0m", "red"),                       # colours dropped whole
    ("\x1b]0;title\x07x", "x"),                          # a window title
    ("a\x1b[2Jb\x1bc", "ab"),                            # clear screen, reset
    ("a\rb\nc\td", "a b c d"),                           # line breaks become spaces
    ("bell\x07 nul\x00 del\x7f c1\x85", "bell\\x07 nul\\x00 del\\x7f c1\\x85"),
    ("\x1b7saved\x1b8 \x1b(Bascii", "saved ascii"),          # two-byte and charset escapes
    ("\x9b2Jx", "x"),                                    # the one-byte CSI
    ("[bold]markup[/bold] stays text", "[bold]markup[/bold] stays text"),
])
def test_clean_drops_escapes_and_shows_other_control_characters(raw, shown):
    assert clean(raw) == shown


# -- off a terminal -------------------------------------------------------------------------

class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_plain_lines_for_phases_steps_and_verdicts_not_for_refreshes_nor_control_bytes():
    # A board's text (serial number, note, title, a line said) may hold escapes and markup:
    # none of it gets through.
    out = Terminal()
    view = make_view(["slot1", "slot2"], out, tty=False)  # told: plain, even on a terminal
    feed = [
        SlotStatus("slot1", Phase.BOOTING, note=HOSTILE),
        SlotStatus("slot2", Phase.BOOTING),
        SlotStatus("slot1", Phase.BOOTING),  # the same again
        at_step("slot1", None, 1, 0.3, command="mcu_test 0 0", title="MCU work mode"),
        at_step("slot1", None, 1, 0.1, command="mcu_test 0 0", title="MCU work mode"),
        at_step("slot2", "0c2205435901", 4, 1.4, 3, 3),
        at_step("slot2", "0c2205435901", 4, 1.2, 3, 3),
        at_step("slot2", "0c2205435901", 4, None, 3, 3),  # the step's tool run ended
        at_step("slot1", "0c2205435900", 3, 3.0, 2, 2, "mcu_test 6", "serial number"),
        at_step("slot2", "0c2205435901", 5, 0.5, 6, 6, "mcu_test 22", "mains frequency"),
        SlotStatus("slot2", Phase.DONE, "0c2205435901", passed=18, judged=18, total=18,
                   verdict="pass", boards=1, note="reports/0c2205435901_x.json"),
        SlotStatus("slot2", Phase.DONE, "0c2205435901", passed=18, judged=18, total=18,
                   verdict="pass", boards=1, note="reports/0c2205435901_x.json"),
        SlotStatus("slot1", Phase.LOST, "0c2205435900", 3, 19, passed=2, judged=2, total=18,
                   note=HOSTILE),
        SlotStatus("slot1", Phase.WAITING, boards=1),
        SlotStatus("slot2", Phase.WAITING, boards=1),
        SlotStatus("slot1", Phase.BOOTING, boards=1),
        # the next board, booted straight to step 4
        at_step("slot1", "0c22054359\x1b[1m03", 4, 1.4, title="\x1b[5mmains\x1b[0m metering: x"),
        SlotStatus("slot1", Phase.STOPPED, "0c22054359\x1b[1m03", 4, 19, total=18),
        SlotStatus("slot2", Phase.STOPPED, boards=1),
    ]
    for status in feed:
        view.update(status)
    view.say("[ 4/18] mains voltage            230 V            (min 207.0, max 253.0)  PASS")
    view.say("[ 3/18] serial number  " + HOSTILE)
    view.close()
    assert no_control_bytes(out.getvalue().encode())
    assert out.getvalue().splitlines() == [
        "slot1 booting: [bold]red[/bold]  login: \\x00",
        "slot2 booting",
        "slot1 testing",
        "slot1 step 1/19 mcu_test 0 0: MCU work mode (waits 0.3 s)",
        "slot2 0c2205435901 testing",
        "slot2 0c2205435901 step 4/19 mcu_test 4: mains metering (waits 1.4 s)",
        "slot1 0c2205435900 step 3/19 mcu_test 6: serial number (waits 3.0 s)",
        "slot2 0c2205435901 step 5/19 mcu_test 22: mains frequency (waits 0.5 s)",
        "slot2 0c2205435901: PASS, 18 of 18 passed: reports/0c2205435901_x.json",
        "slot1 0c2205435900: LOST, 2 of 18 passed: [bold]red[/bold]  login: \\x00",
        "slot1 waiting for a board (1 done)",
        "slot2 waiting for a board (1 done)",
        "slot1 booting",
        "slot1 0c2205435903 testing",
        "slot1 0c2205435903 step 4/19 mcu_test 4: mains metering (waits 1.4 s)",
        "slot1 0c2205435903: STOPPED, 0 of 18 passed",
        "slot2: STOPPED",
        "[ 4/18] mains voltage            230 V            (min 207.0, max 253.0)  PASS",
        "[ 3/18] serial number  [bold]red[/bold]  login: \\x00",
    ]


class TornOut(io.StringIO):
    """A stream that takes a line a character at a time and lets other threads run in
    between, as a pipe's partial writes do: lines written without the view's lock tear."""

    def write(self, s):
        for ch in s:
            super().write(ch)
            time.sleep(0)
        return len(s)


def slot_feed(slot: str, serial: str, steps: int) -> list[SlotStatus]:
    feed = [SlotStatus(slot, Phase.BOOTING)]
    for step in range(1, steps + 1):
        for left in (0.5, 0.3, 0.1, None):
            feed.append(at_step(slot, serial, step, left, step - 1, step - 1,
                                f"mcu_test {step}", f"step {step}: what it reads"))
    feed.append(SlotStatus(slot, Phase.DONE, serial, passed=steps, judged=steps, total=steps,
                           verdict="pass"))
    return feed


def all_end(*work, until: float) -> bool:
    """Runs each callable in a thread of its own: whether all have ended by until (monotonic)."""
    threads = [threading.Thread(target=w, daemon=True) for w in work]
    for t in threads:
        t.start()
    for t in threads:
        t.join(max(until - time.monotonic(), 0))
    return not any(t.is_alive() for t in threads)


def test_plain_lines_from_slot_threads_stay_whole_and_in_each_slots_order():
    slots = [f"slot{i}" for i in range(1, 5)]
    feeds = {s: slot_feed(s, f"0c22054359{i:02d}", 12) for i, s in enumerate(slots)}
    # Each slot's lines, as one slot alone prints them.
    alone = {}
    for s, feed in feeds.items():
        one = io.StringIO()
        view = PlainView([s], one)
        for status in feed:
            view.update(status)
        alone[s] = one.getvalue().splitlines()
        assert len(alone[s]) == 1 + 1 + 12 + 1  # booting, testing, the steps, the verdict

    out = TornOut()
    view = make_view(slots, out)
    assert all_end(*[lambda f=feed: [view.update(x) for x in f] for feed in feeds.values()],
                   lambda: [view.say(f"line {i}") for i in range(40)],
                   until=time.monotonic() + 60)
    lines = out.getvalue().splitlines()
    for s in slots:
        assert [line for line in lines if line.split(" ")[0] == s] == alone[s]
    assert [line for line in lines if line.startswith("line ")] == [f"line {i}"
                                                                     for i in range(40)]
    assert len(lines) == sum(map(len, alone.values())) + 40


# -- on a terminal --------------------------------------------------------------------------

def rendered(view: LiveView, slots: list[str], width: int = 120) -> dict[str, list]:
    """The slots' rows as a terminal of this width gets them: lines of (text, style) each."""
    console = Console(file=io.StringIO(), width=width, force_terminal=True,
                      color_system="standard")
    lines = [[(seg.text, seg.style) for seg in line] for line in
             console.render_lines(view.rows(), console.options.update(width=width), pad=False)]
    rows = table_rows([text_of(line) for line in lines], slots)
    assert [slot for slot, _ in rows] == slots  # each once, in the order given
    return {slot: [lines[i] for i in span] for slot, span in rows}


def text_of(line) -> str:
    return "".join(t for t, _ in line)


def backgrounds(line) -> set[str]:
    return {style.bgcolor.name for _, style in line if style and style.bgcolor}


# A board's outcome: the word its row shows, in a block of its colour.
OUTCOMES = [
    (SlotStatus("slot4", Phase.DONE, "0c22", passed=18, judged=18, total=18, verdict="pass"),
     "PASS", "green"),
    (SlotStatus("slot5", Phase.DONE, "0c22", passed=16, judged=18, total=18, verdict="fail"),
     "FAIL", "red"),
    (SlotStatus("slot6", Phase.DONE, "0c22", passed=3, judged=3, total=18, verdict="stopped"),
     "STOPPED", "red"),
    (SlotStatus("slot7", Phase.STOPPED, total=18), "STOPPED", "red"),
    (SlotStatus("slot8", Phase.LOST, "0c22", 5, 19, total=18, note="no shell"), "LOST", "red"),
]


def test_live_rows_in_the_order_given_full_or_a_line_each_as_the_terminal_size_allows():
    # Each slot with its step, tally and verdict. Eight slots in 80 x 24: one line a slot,
    # none wider than the terminal; made taller, the same view draws its full rows again.
    slots = ["slot2", "slot1", "slot3"] + [status.slot for status, _, _ in OUTCOMES]
    view = LiveView(slots, io.StringIO(), width=120, height=40)
    try:
        view.update(at_step("slot2", "0c2205435901", 4, 0.84, 12, 12))
        view.update(SlotStatus("slot1", Phase.BOOTING, boards=3))
        for status, _, _ in OUTCOMES:
            view.update(status)
        rows = rendered(view, slots)
        view.update(at_step("slot1", "0c2205435902", 4, 0.84, 12, 13))
        view.warn("slot2", "warning: labgrid said " + "so " * 40 + HOSTILE)
        view.console.size = (80, 24)
        short = rendered(view, slots, width=80)
        view.console.size = (120, 40)
        tall = rendered(view, slots)
        view.update(SlotStatus("slot2", Phase.BOOTING))  # its next board: the warning gone
        view.console.size = (80, 24)
        after = rendered(view, slots, width=80)
    finally:
        view.close()
    text = {slot: "\n".join(map(text_of, lines)) for slot, lines in rows.items()}
    line = {slot: text_of(lines[0]) for slot, lines in short.items()}
    for shown in ("0c2205435901", "4/19 mcu_test 4 mains metering", "0.8 s left",
                  "12/18 passed", "testing"):
        assert shown in text["slot2"]
    assert "3 boards" in text["slot1"] and "booting" in text["slot1"]
    assert "passed" not in text["slot1"]
    assert "waiting for a board" in text["slot3"]
    assert not any(backgrounds(row) for s in slots[:3] for row in rows[s])  # no verdict yet
    for status, word, colour in OUTCOMES:  # a block several lines tall, or one line
        coloured = [row for row in rows[status.slot] if backgrounds(row)]
        assert len(coloured) >= 3 and len(tall[status.slot]) >= 3, status
        assert all(backgrounds(row) == {colour} for row in coloured), status
        assert sum(word in text_of(row) for row in coloured) == 1, status
        assert all(style.bold for row in coloured for t, style in row if word in t), status
        assert word in line[status.slot] and backgrounds(short[status.slot][0]) == {colour}
    assert all(len(lines) == 1 for lines in short.values()), short
    assert all(len(text) <= 80 for text in line.values())
    assert "4/19 mains metering" in line["slot1"] and "12/18" in line["slot1"]
    assert {style.color.name for t, style in short["slot1"][0] if "12/18" in t} == {"red"}
    assert "4/19 warning: labgrid said so" in line["slot2"] and line["slot2"].count("…")
    assert "warning" not in text_of(after["slot2"][0])
    assert "labgrid said so" in "\n".join(map(text_of, tall["slot2"]))


@pytest.mark.parametrize("stream, tty", [(Terminal, None), (io.StringIO, True)])
def test_live_view_on_a_stream_prints_lines_above_and_leaves_the_last_rows(stream, tty):
    out = stream()
    view = make_view(["slot1", "slot2"], out, tty=tty)
    view.update(at_step("slot1", "0c22" + HOSTILE, 2, 1.0))
    view.say("[ 1/18] MCU work mode  " + HOSTILE)
    view.update(SlotStatus("slot1", Phase.DONE, "0c2205435900", passed=18, judged=18,
                           total=18, verdict="pass", note=HOSTILE))
    view.update(SlotStatus("slot2", Phase.LOST, note=HOSTILE))
    view.close()
    view.close()  # a second close is harmless
    text = out.getvalue()
    assert "\x1b[2J" not in text and "\x1b]" not in text and "\x07" not in text
    assert "\x9b" not in text and "\x00" not in text  # (rich itself moves with CRs)
    plain = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", text)
    assert "[ 1/18] MCU work mode  [bold]red[/bold]  login: \\x00" in plain
    last = plain[plain.rindex("┏"):]  # the rows as close() left them
    assert "PASS" in last and "LOST" in last and "0c2205435900" in last
    assert "[bold]red[/bold]" in last and "testing" not in last
    assert plain.index("MCU work mode") < plain.rindex("┏")


def test_live_view_takes_updates_and_lines_from_threads_while_it_redraws():
    view = LiveView([f"slot{i}" for i in range(4)], io.StringIO(), width=120,
                    refresh_per_second=100)
    stop = time.monotonic() + 0.5

    def slot(name):
        n = 0
        while time.monotonic() < stop:
            n += 1
            view.update(at_step(name, "0c22", n % 19 + 1, 1.0))
            view.say(f"{name} line {n}")

    patience = time.monotonic() + 10
    slots_ended = all_end(*[lambda n=f"slot{i}": slot(n) for i in range(4)], until=patience)
    closed = all_end(view.close, until=max(patience, time.monotonic() + 0.5))
    assert slots_ended and closed, "the view deadlocked"
