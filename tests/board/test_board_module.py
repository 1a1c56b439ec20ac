"""boards/board.py and its labgrid adapter on this machine, without a board: a plan's result
lines over a local shell, the simulator's start and stop, the environment template, and the two places
where labgrid versions keep the pytest run's environment."""

import importlib
import os
import shlex
import signal
import time

import pytest

from boards import board as boards
from boards import labgrid_adapter, shell_plan, simulator
from testkit import shell_script
from testkit.shells import LocalShell
from testkit.board_target import INFO

SIM = os.environ.get("MCU_SIM", str(boards.DEFAULT_SIM))


def local_board():
    return boards.Board(shell=LocalShell(), name="local")


def test_run_brings_back_output_error_status_and_wall_time():
    b = local_board()
    run = b.run(["sh", "-c", "printf 'a\\0b'; sleep 0.2; printf 'e\\n' >&2; exit 7"])
    assert (run.out, run.err, run.status, run.killed, run.term_sent) == (b"a\0b", b"e\n", 7,
                                                                         False, False)
    assert run.wall_ms >= 200  # the board's clock around the run, not the round trip's


def test_sigterm_at_kill_after_only_while_it_runs():
    b = local_board()
    run = b.run(["sleep", "5"], timeout_ms=10000, kill_after_ms=300)
    assert (run.status, run.term_sent) == (-signal.SIGTERM, True)
    assert 300 <= run.wall_ms < 5000
    run = b.run(["true"], timeout_ms=10000, kill_after_ms=300)
    assert (run.status, run.term_sent) == (0, False)


@pytest.mark.parametrize("merged", [False, True])
def test_a_step_that_leaves_a_process_behind_does_not_hold_the_plan(merged):
    started = time.monotonic()
    run = local_board().run(["sh", "-c", "sleep 60 & echo left"], merged=merged)
    assert (run.out, run.status) == (b"left\n", 0)
    assert time.monotonic() - started < 30  # not the 60 s of the process left behind


def result_line(tmp_path, out: bytes, rc=0, t0=100, t1=104) -> str:
    """What a board's plan prints for a step with this output (its own script's code)."""
    (tmp_path / "abcd1234.1.o").write_bytes(out)
    return LocalShell(tmp_path).run(f"{shell_plan.FUNCTIONS}N=abcd1234 n=1 m=1 rc={rc} t0={t0} "
                                     f"t1={t1} j=0; q")[0][0]


def test_a_result_line_round_trip_and_what_damage_it_refuses(tmp_path):
    data = bytes(range(256)) * 40
    line = result_line(tmp_path, data)
    assert shell_plan.parse_result(line, "abcd1234", [5000]) == (
        1, shell_plan.Run(data, b"", 0, 40, False, False))
    flipped = line[:60] + ("A" if line[60] != "A" else "B") + line[61:]
    kernel = line[:30] + "[   61.402113] random: crng init done" + line[30:]
    for damaged in (flipped, line[:-1], line[:40] + line[41:], kernel,
                    line.replace("abcd1234", "abcd1235"),  # another run's line
                    line.replace("mcu-step 1 ", "mcu-step 2 ")):  # another step's number
        assert shell_plan.parse_result(damaged, "abcd1234", [5000, 5000]) is None
    assert shell_plan.parse_result(line, "abcd1234", []) is None  # no such step


def test_a_result_rebuilt_from_two_copies_each_damaged_in_its_own_place(tmp_path):
    data = bytes(range(256)) * 4
    line = result_line(tmp_path, data)
    lost = line[:50] + line[51:]
    changed = line[:90] + ("A" if line[90] != "A" else "B") + line[91:]
    kernel = line[:120] + "[   61.402113] random: crng" + line[120:]  # a message half cut
    whole = (1, shell_plan.Run(data, b"", 0, 40, False, False))
    for a, b in [(lost, changed), (changed, lost), (lost, kernel), (changed[:-3], lost)]:
        assert shell_plan.parse_result(a, "abcd1234", [5000]) is None
        assert shell_plan.mend(a, b, "abcd1234", [5000]) == whole
    # the same byte lost from both: nothing to choose from
    assert shell_plan.mend(lost, lost, "abcd1234", [5000]) is None
    other_step = result_line(tmp_path, data[:-1])  # another run's output: many differences
    assert shell_plan.mend(lost, other_step[:40] + other_step[41:], "abcd1234", [5000]) is None


def test_killed_only_when_the_bound_ended_it(tmp_path):
    def parsed(rc, wall_ms, timeout_ms):
        line = result_line(tmp_path, b"", rc, 0, wall_ms // 10)
        return shell_plan.parse_result(line, "abcd1234", [timeout_ms])[1]

    assert parsed(128 + signal.SIGKILL, 1500, 1500).killed
    assert not parsed(128 + signal.SIGKILL, 100, 1500).killed  # killed by someone else
    assert not parsed(0, 1500, 1500).killed
    assert parsed(128 + signal.SIGKILL, 100, 1500).status == -signal.SIGKILL


# -- the simulator ---------------------------------------------------------------------------

needs_sim = pytest.mark.skipif(not os.access(SIM, os.X_OK), reason=f"no simulator at {SIM}")


@needs_sim
def test_sim_process_waits_for_the_port_and_stops_by_pid(tmp_path):
    with simulator.sim_process(SIM, ["--link", "ttyMCU"], cwd=tmp_path) as sim:
        assert os.path.lexists(tmp_path / "ttyMCU") and (tmp_path / "sim.ready").exists()
        assert sim.proc.poll() is None
        # Real-time wherever the machine allows it: CI runs as root.
        policy = os.SCHED_FIFO if os.geteuid() == 0 else os.SCHED_OTHER
        assert os.sched_getscheduler(sim.proc.pid) == policy
    assert sim.proc.returncode == 0
    assert not (tmp_path / "sim.ready").exists()


@needs_sim
def test_a_simulator_that_ends_fails_at_once_with_its_output(tmp_path):
    started = time.monotonic()
    with pytest.raises(simulator.SimulatorError, match="no-such-option") as failure:
        simulator.sim_process(SIM, ["--link", "ttyMCU", "--no-such-option"], cwd=tmp_path,
                           timeout_s=30)
    assert "before its port was up" in str(failure.value)
    assert time.monotonic() - started < 10


def test_a_simulator_that_never_comes_up_is_killed_at_the_bound(tmp_path):
    stuck = shell_script(tmp_path / "stuck", f"echo $$ >{tmp_path}/pid\nexec sleep 60\n")
    with pytest.raises(simulator.SimulatorError, match="not up after 0.5 s"):
        simulator.sim_process(str(stuck), [], cwd=tmp_path, timeout_s=0.5)
    pid = int((tmp_path / "pid").read_text())
    with pytest.raises(ProcessLookupError):
        os.kill(pid, 0)


# -- labgrid -----------------------------------------------------------------------------------

def test_the_template_wires_the_mcu_second_and_labgrids_console_third(monkeypatch):
    for key, value in boards.labgrid_environ(INFO, "/tmp/x/mcu.sock").items():
        monkeypatch.setenv(key, value)
    env = labgrid_adapter.open_environment(boards.HERE / "labgrid" / "mipsel.yaml")
    qemu = env.get_target("main").get_driver("QEMUDriver", activate=False)
    shell = env.get_target("main").get_driver("ShellDriver", activate=False)
    args = shlex.split(qemu.extra_args)
    serials = [args[n + 1] for n, word in enumerate(args) if word == "-serial"]
    assert serials == ["null", "chardev:mcu"]  # QEMUDriver adds the console's: ttyS2
    assert qemu.boot_args == "console=ttyS2"
    assert "socket,id=mcu,path=/tmp/x/mcu.sock,server=on,wait=off" in args
    assert args[args.index("-initrd") + 1] == INFO.initrd
    assert (qemu.machine, qemu.cpu, qemu.memory) == ("malta", "24Kf", "128M")
    assert env.config.get_tool("qemu") == str(boards.HERE / "labgrid" / "qemu-system-mipsel")
    assert env.config.get_image_path("kernel") == INFO.kernel
    assert (shell.prompt, env.config.get_option("mcu_board")) == ("mipsel# ", "mipsel")
    person = boards.qemu_command(INFO, "/tmp/x/mcu.sock")
    assert [person[n + 1] for n, word in enumerate(person) if word == "-serial"] == [
        "mon:stdio", "chardev:mcu"]
    assert person[-2:] == ["-append", "console=ttyS0"]


def test_virtual_board_name_of_an_environment_file(tmp_path, monkeypatch):
    monkeypatch.delenv("LG_BOARD", raising=False)
    assert boards.virtual_board_name(str(boards.HERE / "labgrid" / "mips.yaml")) == "mips"
    real = tmp_path / "mipsel.yaml"
    real.write_text("targets:\n  main:\n    drivers:\n      SSHDriver: {}\n")
    assert boards.virtual_board_name(str(real)) is None
    odd = tmp_path / "lab.yaml"
    odd.write_text((boards.TEMPLATE).read_text())
    with pytest.raises(boards.BoardError, match="lab.yaml: .*not 'lab'"):
        boards.virtual_board_name(str(odd))
    monkeypatch.setenv("LG_BOARD", "mips-nolibc")
    assert boards.virtual_board_name(str(odd)) == "mips-nolibc"


class StandInConfig:
    """A pytest config as far as the adapter reads it."""

    def __init__(self):
        self.stash = pytest.Stash()


def test_environment_of_the_run_with_either_labgrid(monkeypatch):
    import labgrid.pytestplugin.hooks as hooks

    env = object()
    for module in labgrid_adapter._PLUGIN_MODULES:
        monkeypatch.delattr(importlib.import_module(module), "LABGRID_ENV_KEY", raising=False)
    old = StandInConfig()  # python3-labgrid 0.4.1: an attribute of the config
    old._labgrid_env = env
    assert labgrid_adapter.environment(old) is env
    assert labgrid_adapter.environment(StandInConfig()) is None

    key = pytest.StashKey()  # current labgrid: the config's stash under the plugin's key
    monkeypatch.setattr(hooks, "LABGRID_ENV_KEY", key, raising=False)
    current = StandInConfig()
    current.stash[key] = env
    assert labgrid_adapter.environment(current) is env
    assert labgrid_adapter.environment(old) is None  # the attribute is not read then


def test_a_qemu_that_ends_at_once_fails_the_boot_within_a_bound(monkeypatch, tmp_path):
    """labgrid waits for QEMU's console without a bound; a QEMU that refuses its options
    would hold the run forever. It is the virtual board's power that failed: the fixture's."""
    for key, value in boards.labgrid_environ(INFO, str(tmp_path / "mcu.sock")).items():
        monkeypatch.setenv(key, value)
    monkeypatch.setenv("LG_QEMU", "/bin/false")
    monkeypatch.setattr(labgrid_adapter, "QEMU_CONNECT_S", 1.0)
    env = labgrid_adapter.open_environment(boards.TEMPLATE)
    b = boards.Board(env.get_target("main"), name="mipsel")
    started = time.monotonic()
    with pytest.raises(boards.FixtureError, match="board mipsel: power switch on: TimeoutError"):
        b.start()
    assert time.monotonic() - started < 10
