"""The station end to end against a board's console as it is: busybox ash behind a login
prompt (a user that is not root) on a pseudo-terminal, reached through labgrid's RawSerialPort
and ShellDriver, running this machine's tool against mcu_sim; quiet, and with kernel messages
landing inside the board's output."""

import re
import subprocess
import sys

import pytest

from testkit import program_env, shell_script
from testkit.nullmodem import NullModem
from testkit.stations import LIMITS, TOOL, assert_verdicts, good_sim, read_run

ENV = """imports: [boards.strategy]
targets:
  main:
    resources:
      RawSerialPort: {{port: {port}, speed: 115200}}
    drivers:
      SerialDriver: {{}}
      ShellDriver: {{prompt: 'board\\$ ', login_prompt: 'login: ', username: factory,
                    login_timeout: 20}}
      BoardStrategy: {{}}
"""


@pytest.mark.parametrize("kmsg_s", [0, 0.5], ids=["quiet", "kernel_messages"])
def test_a_good_board_passes_whole_through_its_console(tmp_path, kmsg_s):
    work = tmp_path / "board"
    # The board's tool: this machine's, next to the simulator's link (a plan runs in /tmp).
    tool = shell_script(tmp_path / "mcu_test", f"cd {work} && exec {TOOL} \"$@\"\n")
    with good_sim(work), NullModem(work, kmsg_s=kmsg_s, seed=7) as modem:
        env = tmp_path / "console.yaml"
        env.write_text(ENV.format(port=modem.port))
        done = subprocess.run(
            [sys.executable, "-m", "station", "--limits", str(LIMITS), "--report-dir",
             str(tmp_path / "reports"), "--junitxml", str(tmp_path / "junit.xml"),
             "--lg-env", str(env), "--board-tool", str(tool)],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=240,
            env=program_env())
        messages = modem.messages
    print(done.stdout)
    run = read_run(done.returncode, 0, done.stdout, tmp_path / "reports", tmp_path / "junit.xml")
    assert_verdicts(run.only(), run.cases["main"], {})
    assert run.status == 0 and [t["status"] for t in run.only()["teardown"]] == [0, 0]
    assert re.search(r"overhead \d+\.\d+ s", done.stdout)
    if kmsg_s:
        assert messages > 10  # they did land, and no value went to another step
