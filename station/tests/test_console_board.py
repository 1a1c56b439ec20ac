"""The station end to end against a board's console as it is: busybox ash behind a login
prompt (a user that is not root) on a pseudo-terminal, reached through labgrid's RawSerialPort
and ShellDriver, running this machine's tool against mcu_sim; quiet, and with kernel messages
landing inside the board's output."""

import re

import pytest

from testkit import shell_script
from testkit.nullmodem import NullModem
from testkit.stations import TOOL, assert_verdicts, console_env, good_sim, run_station


@pytest.mark.parametrize("kmsg_s", [0, 0.5], ids=["quiet", "kernel_messages"])
def test_a_good_board_passes_whole_through_its_console(tmp_path, kmsg_s):
    work = tmp_path / "board"
    # The board's tool: this machine's, next to the simulator's link (a plan runs in /tmp).
    tool = shell_script(tmp_path / "mcu_test", f"cd {work} && exec {TOOL} \"$@\"\n")
    with good_sim(work), NullModem(work, kmsg_s=kmsg_s, seed=7) as modem:
        env = console_env(tmp_path / "console.yaml", modem.port, "board\\$ ", "factory", 40)
        run = run_station(tmp_path, "--lg-env", str(env), "--board-tool", str(tool), timeout=240)
        messages = modem.messages
    assert_verdicts(run.only(), run.cases["main"], {})
    assert run.status == 0 and [t["status"] for t in run.only()["teardown"]] == [0, 0]
    assert re.search(r"overhead \d+\.\d+ s", run.stdout)
    if kmsg_s:
        assert messages > 10  # they did land, and no value went to another step
