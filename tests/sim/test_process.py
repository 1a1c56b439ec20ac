"""mcu_sim as a process on each kind of port: a Unix socket served by the test (as QEMU serves a
virtual board's UART), and a pseudo-terminal link; the readiness file on both."""

import os
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

from testkit.stations import SIM

BOUND_S = 5  # every wait for the simulator; a healthy run needs a few milliseconds
VERSION, MODEL = bytes.fromhex("AA 03 32 32 BB"), bytes.fromhex("AA 03 FE FE BB")


@pytest.fixture
def start(tmp_path):
    """Starts mcu_sim with its output in tmp_path/sim.err; kills what is left at the end."""
    procs = []

    def run(*args) -> subprocess.Popen:
        with open(tmp_path / "sim.err", "wb") as err:
            procs.append(subprocess.Popen([SIM, *map(str, args)], stdout=err,
                                          stderr=subprocess.STDOUT))
        return procs[-1]

    yield run
    for proc in procs:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


@pytest.fixture
def short_dir():
    """A folder for a socket, whose path must fit in 107 bytes."""
    with tempfile.TemporaryDirectory(prefix="mcu-sim.", dir="/tmp") as d:
        yield Path(d)


def text_of(path: Path) -> str:
    """The file's text; none while it is not there (the simulator removes a stale one)."""
    try:
        return path.read_text()
    except FileNotFoundError:
        return ""


def test_socket_port_answers_frames_and_ends_when_the_peer_closes(start, short_dir, tmp_path):
    sock, ready = short_dir / "uart.sock", tmp_path / "ready"
    listener = socket.create_server(str(sock), family=socket.AF_UNIX)
    listener.settimeout(BOUND_S)
    sim = start("--socket", sock, "--ready", ready, "--log", tmp_path / "sim.log",
                "--pace", "burst", "--set", "version=9")
    conn, _ = listener.accept()
    conn.settimeout(2)
    replies = conn.makefile("rb")
    deadline = time.monotonic() + BOUND_S
    while not ready.exists():
        assert time.monotonic() < deadline, (tmp_path / "sim.err").read_text()
        time.sleep(0.001)
    assert ready.read_text() == f"{sock}\n"

    # A command in two pieces, then the next one: both answered, in order.
    conn.sendall(VERSION[:2])
    time.sleep(0.005)
    conn.sendall(VERSION[2:])
    assert replies.read(7).hex(" ").upper() == "AA 05 00 32 09 3B BB"
    conn.sendall(MODEL)
    assert replies.read(7).hex(" ").upper() == "AA 05 00 FE 05 03 BB"

    # Half a frame, then the peer goes: logged as incomplete, exit 0, ready file gone.
    conn.sendall(VERSION[:3])
    time.sleep(0.005)
    replies.close()
    conn.close()
    listener.close()
    assert sim.wait(BOUND_S) == 0
    assert not ready.exists()
    log = [line.split(" ", 1)[1] for line in (tmp_path / "sim.log").read_text().splitlines()]
    assert log == ["connect", "AA 03 32 32 BB", "AA 03 FE FE BB", "AA 03 32 incomplete",
                   "disconnect"]
    assert "closed by the peer" in (tmp_path / "sim.err").read_text()


def test_socket_port_without_a_listener_is_a_clear_error(start, short_dir, tmp_path):
    sock = short_dir / "nobody.sock"
    assert start("--socket", sock, "--ready", tmp_path / "ready").wait(BOUND_S) == 1
    assert f"cannot connect to socket {sock}" in (tmp_path / "sim.err").read_text()
    assert not (tmp_path / "ready").exists()


def test_link_port_stopped_the_moment_it_is_ready_still_ends_cleanly(start, tmp_path):
    # Whoever waits for the ready file may stop the simulator at once: even then it ends
    # cleanly, taking its link and ready file with it (not killed by the signal half-way
    # through its start). The ready file names the link's terminal, and a stale one is never
    # taken for it.
    for round_ in range(30):
        link, ready = tmp_path / f"ttyMCU{round_}", tmp_path / f"ready{round_}"
        ready.write_text("stale\n")
        sim = start("--link", link, "--ready", ready)
        deadline = time.monotonic() + BOUND_S
        while (text := text_of(ready)) in ("", "stale\n"):
            assert time.monotonic() < deadline, (tmp_path / "sim.err").read_text()
        assert text == os.readlink(link) + "\n"  # the link was there first
        sim.send_signal(signal.SIGTERM)
        assert sim.wait(BOUND_S) == 0, f"round {round_}: {(tmp_path / 'sim.err').read_text()}"
        assert not os.path.lexists(link) and not ready.exists()
