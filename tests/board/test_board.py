"""The tool on a board, through labgrid's shell: what only a board shows (its loader, its serial
driver, the UART that the MCU sits on). On a virtual board the MCU is a fresh simulator per test;
tests that need one skip on a real board (fixture sim_work). The end-to-end cases cover the
operations themselves (board_target.py)."""

import os
import shutil
import signal
import tempfile
import threading
import time

import pytest

from boards import board as boards
from boards import labgrid_adapter

USAGE = b"ops:0 \narg err\n"  # mcu_test without arguments (operation 0 without its parameter)
VERSION_QUERY = "AA 03 32 32 BB"


def frames(work):
    """The frames in the simulator's log, without their times (nor the socket's connect)."""
    entries = [line.split(None, 1)[1] for line in (work / "sim.log").read_text().splitlines()]
    return [e for e in entries if e not in ("connect", "disconnect")]


def test_mcu_uart_is_a_character_device(board):
    out, status = board.sh("ls -l /dev/ttyS4 && test -c /dev/ttyS4")
    assert status == 0, f"/dev/ttyS4 on the board: {out}"


@pytest.mark.parametrize("tool", ["mcu_test", "mcu_test-static"])
def test_tool_starts(board, tool):
    """The loader finds what the dynamic program needs; the static one needs nothing."""
    _, installed = board.sh(f"command -v {tool}")
    if installed != 0:
        pytest.skip(f"{tool} is not installed on this board")
    run = board.run([tool], timeout_ms=10000)
    assert (run.out, run.err, run.status) == (USAGE, b"", 0)


def test_tool_sets_the_uart_to_115200_8n1_raw(board):
    """The real serial driver takes the tool's settings (a pseudo-terminal would ignore the
    speed, parity and stop bits); they stay after the tool has closed the port."""
    _, status = board.sh("stty -F /dev/ttyS4 9600 cs7 parenb cstopb icanon echo min 1 time 0")
    assert status == 0
    run = board.run(["mcu_test", "0", "1"], timeout_ms=10000)
    assert run.status == 0 and run.out.startswith(b"ops:0 \nmcu_get version.\n")
    out, status = board.sh("stty -F /dev/ttyS4 -a")
    settings = out.replace(";", " ").split()
    assert status == 0
    assert "115200" in settings, out
    for flag in ("cs8", "-parenb", "-cstopb", "cread", "clocal", "-icanon", "-echo", "-isig",
                 "-opost", "-ixon"):
        assert flag in settings, f"{flag} not set: {out}"
    assert "min = 0" in out and "time = 1" in out, out


def test_a_tool_that_does_not_end_is_stopped_at_its_bound(board):
    """Operation 18 never ends: the board cuts the run at its bound (whole seconds, rounded
    up), it is reported as killed, and the shell answers again at once."""
    started = time.monotonic()
    run = board.run(["mcu_test", "18"], timeout_ms=1500)
    assert run.killed and run.status == -signal.SIGKILL and 2000 <= run.wall_ms < 3000
    assert time.monotonic() - started < 10
    assert board.sh("echo still here") == ("still here\n", 0)


def test_each_run_gets_a_fresh_simulator_with_its_own_state(board, sim_work):
    """The board keeps running while simulators come and go on its MCU UART."""
    for version in (9, 3):
        work = sim_work / f"v{version}"
        work.mkdir()
        with board.simulator(work, "--set", f"version={version}"):
            run = board.run(["mcu_test", "0", "1"], timeout_ms=10000)
        assert run.out.endswith(f"event id:32\nver:{version} \n".encode()), run.out
        assert frames(work) == [VERSION_QUERY]


def test_bytes_sent_without_a_simulator_are_dropped(board, sim_work):
    """With nothing on the MCU UART the query is lost, the wait runs out, and the next
    simulator receives only what is sent while it is connected."""
    run = board.run(["mcu_test", "0", "1"], timeout_ms=10000)
    assert (run.out, run.status) == (b"ops:0 \nmcu_get version.\n", 0)
    assert run.wall_ms >= 300
    with board.simulator(sim_work):
        run = board.run(["mcu_test", "0", "1"], timeout_ms=10000)
    assert run.out.endswith(b"ver:7 \n")
    assert frames(sim_work) == [VERSION_QUERY]


def test_a_simulator_killed_mid_run_leaves_the_board_usable(board, sim_work):
    """A simulator that dies while the tool runs: the run ends as usual (a UART cannot tell),
    and a fresh simulator serves the next run."""
    first = sim_work / "killed"
    first.mkdir()
    with board.simulator(first) as sim:
        # Operation 2 asks twice, 500 ms apart, then waits 1 s: the simulator dies meanwhile.
        killer = threading.Timer(0.6, sim.proc.kill)
        killer.start()
        try:
            run = board.run(["mcu_test", "2"], timeout_ms=10000)
        finally:
            killer.cancel()
        assert sim.proc.wait() == -signal.SIGKILL
    assert (run.status, run.err) == (0, b"") and run.out.startswith(b"ops:2 \n")
    assert run.wall_ms >= 1500
    second = sim_work / "fresh"
    second.mkdir()
    with board.simulator(second):
        run = board.run(["mcu_test", "0", "1"], timeout_ms=10000)
    assert run.out.endswith(b"ver:7 \n")
    assert frames(second) == [VERSION_QUERY]


def test_a_board_without_a_shell_fails_with_its_console_log(board, monkeypatch):
    """A board whose prompt never comes fails within its bound, and the failure holds what the
    console printed (here: a second virtual board, whose shell prompt does not match)."""
    if not board.virtual:
        pytest.skip("boots a second virtual board")
    bound = 8
    # The same board on a socket of its own (a short path: at most 107 bytes), with a prompt
    # that never comes.
    sockets = tempfile.mkdtemp(prefix="mcu-board.", dir="/tmp")
    socket = os.path.join(sockets, "mcu.sock")
    for key, value in boards.virtual_environ(board.name, socket).items():
        monkeypatch.setenv(key, value)
    env = labgrid_adapter.open_environment(board.target.env.config_file)
    shell = env.get_target("main").get_driver("ShellDriver", activate=False)
    shell.prompt, shell.login_timeout = "no-such-prompt# ", bound
    other = boards.Board(env.get_target("main"), sim=board.sim_program)
    started = time.monotonic()
    try:
        with pytest.raises(boards.BoardError) as failure:
            other.start()
    finally:
        took = time.monotonic() - started
        other.close()
        shutil.rmtree(sockets, ignore_errors=True)
    message = str(failure.value)
    assert "no shell after" in message
    assert "console log:" in message and "console [ttyS2] enabled" in message  # the kernel's
    assert bound <= took < 2 * bound + 15  # the login is tried twice (boards/strategy.py)
    with pytest.raises(boards.BoardError):  # a failed board stays failed: no second boot
        other.start()
