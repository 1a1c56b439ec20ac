"""The virtual line (boards/virtual_line.py, boards/labgrid/line.yaml) and the console rate
option of the labgrid adapter, with stand-ins for QEMU. The station's line tests boot the
real virtual line (station/tests/test_line.py)."""

import os
import shlex
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

from boards import board as boards
from boards import labgrid_adapter as lg, simulator
from boards import virtual_line as line
from testkit import program_env
from testkit.board_target import INFO, write_artifacts

SIM = os.environ.get("MCU_SIM", str(boards.DEFAULT_SIM))
needs_sim = pytest.mark.skipif(not os.access(SIM, os.X_OK), reason=f"no simulator at {SIM}")


def write_env(path: Path, options: str) -> Path:
    path.write_text(f"{options}targets:\n  main:\n    drivers: {{}}\n")
    return path


def test_console_rate_option(tmp_path, monkeypatch):
    def rate(options):
        env = lg.open_environment(write_env(tmp_path / "env.yaml", options))
        return lg.console_bps(env.get_target("main"))

    assert rate("") == 0  # a real board's environment: paced by its UART
    assert rate("options:\n  console_bps: '9600'\n") == 9600
    for bad in ("fast", "-1"):
        with pytest.raises(ValueError, match=rf"env.yaml: option console_bps: '{bad}'"):
            rate(f"options:\n  console_bps: '{bad}'\n")
    # The virtual boards' template: LG_CONSOLE_BPS as set, else full speed.
    for given, expected in ((None, 0), ("115200", 115200)):
        if given is None:
            monkeypatch.delenv("LG_CONSOLE_BPS", raising=False)
        else:
            monkeypatch.setenv("LG_CONSOLE_BPS", given)
        for key, value in boards.labgrid_environ(INFO, "/tmp/x/mcu.sock").items():
            monkeypatch.setenv(key, value)
        env = lg.open_environment(boards.TEMPLATE)
        assert lg.console_bps(env.get_target("main")) == expected


# -- the line's environment --------------------------------------------------------------------

def test_each_slot_is_a_virtual_board_with_its_own_mcu_socket(monkeypatch, tmp_path):
    monkeypatch.setenv("LG_CONSOLE_BPS", "115200")
    values = line.line_environ(INFO, str(tmp_path))
    line.board_in_every_slot(str(tmp_path))
    assert "LG_MCU_SOCKET" not in values
    for key, value in values.items():
        monkeypatch.setenv(key, value)
    env = lg.open_environment(line.LINE)
    names = list(env.config.get_targets())
    assert names == ["slot1", "slot2", "slot3", "slot4"]
    for n, name in enumerate(names, 1):
        target = env.get_target(name)
        qemu = target.get_driver("QEMUDriver", activate=False)
        shell = target.get_driver("ShellDriver", activate=False)
        sock = f"{tmp_path}/slot{n}.sock"
        assert sock == line.slot_socket(str(tmp_path), n)
        assert shlex.split(qemu.extra_args) == boards.qemu_args(INFO, sock, "null")
        assert (qemu.machine, qemu.cpu, qemu.memory, qemu.boot_args) == (
            "malta", "24Kf", "128M", "console=ttyS2")
        assert (shell.prompt, shell.login_timeout) == ("mipsel# ", 60)
        assert lg.console_bps(target) == 115200
        assert lg.presence(target) is True  # a board in every slot, until a test takes it out
    assert env.config.get_tool("qemu") == str(boards.HERE / "labgrid" / "qemu-system-mipsel")
    assert env.config.get_image_path("kernel") == INFO.kernel


def test_serial_numbers_and_slot_options():
    assert simulator.serial_number(0x4C0000000000, 2, 3) == "4c0000002003"
    with pytest.raises(ValueError, match="more than 12 hex digits"):
        simulator.serial_number(0xFFFFFFFFF000, 1, 1)
    assert line.parse_sim_options(["1=--set version=9", "2=--fail x", "1=--delay 5"], 2) == {
        1: ("--set", "version=9", "--delay", "5"), 2: ("--fail", "x")}
    for bad in ("3=--fail x", "--fail x", "one=--fail x"):
        with pytest.raises(ValueError, match="SLOT in 1..2"):
            line.parse_sim_options([bad], 2)


# -- the simulators' keeper, against stand-ins for QEMU ----------------------------------------

class StandInQemu:
    """Serves a Unix socket as QEMU does (server=on,wait=off): one peer at a time; quit() closes
    it and removes the file."""

    def __init__(self, path: str, drop_first: bool = False):
        with_old = os.path.exists(path)
        if with_old:
            os.unlink(path)
        self.path, self.listener = path, socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(path)
        self.listener.listen(1)
        self.drop_first, self.peer = drop_first, None

    def serve(self) -> None:
        """Accepts the peer waiting (if any): dropping the first one when told to."""
        self.listener.settimeout(0.05)
        try:
            peer, _ = self.listener.accept()
        except socket.timeout:
            return
        if self.drop_first:
            self.drop_first = False
            peer.close()
            return
        self.peer = peer

    def quit(self) -> None:
        if self.peer:
            self.peer.close()
        self.listener.close()
        os.unlink(self.path)


def sim_args(pid: int) -> list[str]:
    with open(f"/proc/{pid}/cmdline", "rb") as f:
        return [w.decode() for w in f.read().split(b"\0")[:-1]]


def serve_until(qemu: StandInQemu, keeper: simulator.SimKeeper, slot: int, serials: int,
                timeout: float = 10):
    """Serves the socket until the keeper's slot has its simulator of the given board count."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        qemu.serve()
        sim = keeper.simulator(slot)
        if qemu.peer is not None and sim is not None and len(keeper.serials(slot)) == serials:
            return sim
    raise AssertionError(f"slot {slot}: no simulator of board {serials}: "
                         f"{keeper.serials(slot)}, notes {NOTES}")


NOTES: list[str] = []


@needs_sim
def test_keeper_gives_each_fresh_qemu_the_next_serial_and_stops_every_simulator(tmp_path):
    d = tempfile.mkdtemp(prefix="mcu-line.", dir="/tmp")
    slots = [simulator.Slot(1, line.slot_socket(d, 1)),
             simulator.Slot(2, line.slot_socket(d, 2), ("--set", "sn=00000000abcd"))]
    base = 0x4C0000000000
    NOTES.clear()
    try:
        with simulator.SimKeeper(slots, SIM, tmp_path, base, note=NOTES.append) as keeper:
            time.sleep(0.2)  # no socket yet: no simulator
            assert keeper.serials(1) == keeper.serials(2) == []
            # A fresh QEMU that drops its first connection: the same board, the same serial.
            qemu1 = StandInQemu(slots[0].socket, drop_first=True)
            qemu2 = StandInQemu(slots[1].socket)
            sim1 = serve_until(qemu1, keeper, 1, 1)
            sim2 = serve_until(qemu2, keeper, 2, 1)
            assert keeper.serials(1) == ["4c0000001001"]
            args = sim_args(sim1.proc.pid)
            assert args[args.index("--socket") + 1:args.index("--socket") + 4] == [
                slots[0].socket, "--set", "sn=4c0000001001"]
            assert any("trying again" in n or "ended" in n for n in NOTES)  # the dropped one
            # A slot's own serial number comes after the keeper's: mcu_sim's last --set wins.
            args = sim_args(sim2.proc.pid)
            assert args.index("sn=00000000abcd") > args.index("sn=4c0000002001")

            qemu1.quit()  # a power cycle: the simulator ends, the next QEMU is the next board
            sim1.proc.wait(5)
            qemu1 = StandInQemu(slots[0].socket)
            sim1b = serve_until(qemu1, keeper, 1, 2)
            assert keeper.serials(1) == ["4c0000001001", "4c0000001002"]
            assert "sn=4c0000001002" in sim_args(sim1b.proc.pid)
            assert (tmp_path / "slot1" / "sim-4c0000001002.out").exists()
            assert sim2.proc.poll() is None and keeper.serials(2) == ["4c0000002001"]
        assert sim1b.proc.returncode == 0 and sim2.proc.returncode == 0  # stopped, SIGTERM
        assert keeper.error is None
        qemu1.quit()
        qemu2.quit()
    finally:
        for leftover in Path(d).iterdir():
            leftover.unlink()
        os.rmdir(d)


# -- the command line ------------------------------------------------------------------------

def line_cli(tmp_path, *args, **popen):
    return subprocess.Popen([sys.executable, "-m", "boards.virtual_line", "run", "mipsel",
                             "--artifacts", str(write_artifacts(tmp_path)), "--mcu-sim", SIM,
                             *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            start_new_session=True, env=program_env(), **popen)


def test_run_gives_the_command_the_line_and_its_status(tmp_path):
    proc = line_cli(tmp_path, "--slots", "2", "--bps", "9600", "--",
                    "sh", "-c", "env | grep '^LG_' | sort; exit 5")
    out, err = proc.communicate(timeout=30)
    assert proc.returncode == 5, err
    env = dict(l.split("=", 1) for l in out.decode().splitlines())
    assert env["LG_CONSOLE_BPS"] == "9600"
    assert env["LG_LINE_DIR"].startswith("/tmp/mcu-line.")
    assert not os.path.exists(env["LG_LINE_DIR"])  # made for the run, removed after it
    assert env["LG_BOARD_DIR"] == str(tmp_path)

    proc = line_cli(tmp_path, "--slots", "5", "--", "true")
    assert proc.wait(30) == 1 and b"--slots 5: " in proc.stderr.read()
    proc = line_cli(tmp_path, "--slots", "1", "--dir", "/tmp/" + "d" * 100, "--", "true")
    assert proc.wait(30) == 1 and b"longer than a socket's path" in proc.stderr.read()


def test_run_passes_an_interrupt_on_and_exits_with_the_commands_status(tmp_path):
    ready = tmp_path / "ready"
    proc = line_cli(tmp_path, "--slots", "1", "--",
                    "sh", "-c", f"trap 'exit 7' INT; touch {ready}; sleep 20 & wait")
    deadline = time.monotonic() + 30
    while not ready.exists():
        assert proc.poll() is None and time.monotonic() < deadline
        time.sleep(0.05)
    proc.send_signal(signal.SIGINT)  # to line.py alone: no terminal sent it to the command
    assert proc.wait(60) == 7  # after the board's power-off
