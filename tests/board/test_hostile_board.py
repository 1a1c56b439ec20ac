"""A virtual board as awkward as a real one (boards/hostile.py), booted once with every option:
kernel messages on its console, a lossy console line paced at 115200 bit/s both ways, a login
that is not root, no gzip, the tool at a 60-character path. It boots a board of its own (not the
session's --lg-env board): ctest board_hostile.mipsel.

    /usr/bin/python3 -m pytest tests/board/test_hostile_board.py
"""

import contextlib
import hashlib
import os
import re
import secrets
import shutil
import statistics
import tempfile
import time

import pytest

from boards import board as boards
from boards import labgrid_adapter as lg

TOOL = "/usr/local/lib/factory-test/board-tools/current/bin/mcu_test"  # 60 characters
KMSG_MS = 400
OPTIONS = (f"kmsg:{KMSG_MS},lossy:0.002,seed:11,login:factory:s3cret,without:gzip,"
           f"tool-path:{TOOL}")
STAMP = re.compile(rb"\[ *(\d+\.\d{6})\] ")  # the kernel's time before each console message
BYTE_S = 10 / 115200


@pytest.fixture(scope="module")
def board():
    sim = os.environ.get("MCU_SIM", str(boards.DEFAULT_SIM))
    if not os.access(sim, os.X_OK):
        pytest.fail(f"no simulator at {sim} (MCU_SIM)", pytrace=False)
    info = boards.artifacts("mipsel")
    sockets = tempfile.mkdtemp(prefix="mcu-board.", dir="/tmp")
    saved = dict(os.environ)
    os.environ.update(LG_HOSTILE=OPTIONS, LG_CONSOLE_BPS="115200")
    os.environ.update(boards.labgrid_environ(info, os.path.join(sockets, "mcu.sock")))
    b = boards.Board(lg.open_environment(boards.TEMPLATE).get_target("main"), "mipsel", sim)
    try:
        b.start()
        yield b
    finally:
        b.close()
        os.environ.clear()
        os.environ.update(saved)
        shutil.rmtree(sockets, ignore_errors=True)


def ask(b, command: str, tries: int = 6) -> tuple[str, int]:
    """command's output and status, typed at the prompt. The board sends the output's MD5 with
    it: an answer that the console garbled (a kernel message inside it, a damaged byte) is
    asked for again, after a Ctrl-C that also ends a line that a lost quote left open."""
    console = b.shell.console
    for _ in range(tries):
        tag = secrets.token_hex(4)
        # The typed tag is split by quotes: its echo cannot match.
        split = f"\"{tag[:4]}\"'{tag[4:]}'"
        console.sendline(f"o=$({command} 2>&1); s=$?; h=$(printf %s \"$o\" | md5sum); "
                         f"echo \"<\"{split}\" $s ${{h%% *}} $o \"{split}\">\"")
        try:
            _, _, match, _ = console.expect(
                rf"<{tag} (\d+) ([0-9a-f]{{32}}) (.*?) {tag}>".encode(), timeout=10)
        except lg.TIMEOUTS:
            console.write(b"\x03")
            continue
        text = match.group(3).replace(b"\r\n", b"\n")
        if hashlib.md5(text).hexdigest() == match.group(2).decode():
            return text.decode(), int(match.group(1))
        console.write(b"\x03")
    pytest.fail(f"no whole answer to '{command}' in {tries} tries; console log:\n{b.log()}")


def test_a_hostile_board_is_hostile_in_every_way_and_the_tool_still_runs(board, tmp_path):
    log = board.console_log
    # The login: a user's shell, not root's; the MCU's UART is its group's.
    assert b"mipsel login: " in log and b"Password: " in log and re.search(rb"mipsel\$ ", log)
    uid, status = ask(board, "id -u")
    assert (status, uid.isdigit(), uid) == (0, True, "1000")
    groups, _ = ask(board, "id -Gn")
    assert "dialout" in groups.split()
    assert re.match(r"crw-rw---- +1 root +dialout ", ask(board, "ls -l /dev/ttyS4")[0])
    # No gzip for the shell, while the other applets are there.
    out, status = ask(board, "command -v gzip")
    assert out == "" and status != 0
    assert ask(board, "command -v tar") == ("/bin/tar", 0)
    # The tool, as that user, at its place and at the long path, against the simulator.
    for n, tool in enumerate(("mcu_test", TOOL)):
        work = tmp_path / f"run{n}"
        work.mkdir()
        with board.simulator(work, "--set", "version=9"):
            out, status = ask(board, f"{tool} 0 1")
        assert status == 0 and out.endswith("ver:9 "), out  # $(...) took the last newline
        assert "AA 03 32 32 BB" in (work / "sim.log").read_text()

    # The shell's line editor (busybox's FEATURE_EDITING_MAX_LEN 1024) keeps 1,022 characters
    # of a typed line, 1,023 with its newline, and drops the rest: a line of 1,100 arrives
    # whole over the paced console, and the shell cuts it.
    board.console.damaging = False  # whole, to count what the shell kept
    try:
        mark = len(log)
        started = time.monotonic()
        board.shell.console.sendline("v=" + "x" * 1098)
        assert time.monotonic() - started >= 1101 * BYTE_S  # typed at the line's rate
        length, _ = ask(board, "echo ${#v}")
    finally:
        board.console.damaging = True
    assert int(length) + len("v=") == 1022
    assert b"not found" not in log[mark:]  # the rest was dropped, not read as the next line

    # Kernel messages: 30 gaps between them on the board's own clock, read from a quiet shell
    # (whole: a changed digit would move a message in time).
    stamps = []
    waited = time.monotonic()
    board.console.damaging = False
    try:
        while len(stamps) < 31 and time.monotonic() - waited < 120:
            with contextlib.suppress(*lg.TIMEOUTS):
                _, _, match, _ = board.shell.console.expect(STAMP, timeout=10)
                stamps.append(float(match.group(1)))
    finally:
        board.console.damaging = True
    gaps = [b - a for a, b in zip(stamps, stamps[1:])]
    assert len(gaps) == 30, f"{len(stamps)} kernel messages in 120 s"
    mean = statistics.mean(gaps)
    # Exponential gaps: the mean as given (a mean of 30 lies within 0.4 and 2 times its own
    # but once in 50,000 runs), and about as spread as they are long (equal gaps give 0).
    assert 0.4 * KMSG_MS / 1000 <= mean <= 2 * KMSG_MS / 1000, gaps
    assert statistics.stdev(gaps) / mean >= 0.5, gaps

    # The lossy line damages its share of what the board prints (10,000 bytes and their
    # echo), and counts it.
    meter = board.console
    rx, damaged = meter.rx, meter.rx_dropped + meter.rx_corrupted
    for _ in range(4):  # again when the typed line was damaged
        tag = secrets.token_hex(4)
        board.shell.console.sendline(f"yes xxxxxxxxx | head -c 10000; "
                                     f"echo \"{tag[:4]}\"'{tag[4:]}'")
        with contextlib.suppress(*lg.TIMEOUTS):  # unless the line damaged the tag
            board.shell.console.expect(tag, timeout=15)
        if meter.rx - rx >= 10000:
            break
        board.shell.console.write(b"\x03")
    read, hits = meter.rx - rx, meter.rx_dropped + meter.rx_corrupted - damaged
    assert read >= 10000
    assert abs(hits - 0.002 * read) <= 5 * (0.002 * read) ** 0.5, (hits, read)
    print(f"console: {meter}; 30 gaps between kernel messages: mean {mean:.3f} s, "
          f"standard deviation {statistics.stdev(gaps):.3f} s")
