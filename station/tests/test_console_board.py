"""The station end to end against a board's console as it is: busybox ash behind a login
prompt (a user that is not root) on a pseudo-terminal, reached through labgrid's RawSerialPort
and ShellDriver, running this machine's tool against mcu_sim; quiet, and with kernel messages
landing inside the board's output."""

import json
import re
import subprocess
import sys

import pytest

from testkit import program_env
from testkit.nullmodem import NullModem
from testkit.stations import ALL, LIMITS, TOOL, good_sim

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
    tool = tmp_path / "mcu_test"
    tool.write_text(f"#!/bin/sh\ncd {work} && exec {TOOL} \"$@\"\n")
    tool.chmod(0o755)
    with good_sim(work), NullModem(work, kmsg_s=kmsg_s, seed=7) as modem:
        env = tmp_path / "console.yaml"
        env.write_text(ENV.format(port=modem.port))
        done = subprocess.run(
            [sys.executable, "-m", "station", "--limits", str(LIMITS), "--report-dir",
             str(tmp_path / "reports"), "--lg-env", str(env), "--board-tool", str(tool)],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=240,
            env=program_env())
        messages = modem.messages
    print(done.stdout)
    [record] = [json.loads(p.read_text()) for p in (tmp_path / "reports").glob("*.json")]
    assert [m["name"] for m in record["measurements"]] == ALL
    assert {m["name"]: m["verdict"] for m in record["measurements"]} == dict.fromkeys(ALL, "pass")
    assert done.returncode == 0 and record["verdict"] == "pass"
    assert [t["status"] for t in record["teardown"]] == [0, 0]
    assert re.search(r"overhead \d+\.\d+ s", done.stdout)
    if kmsg_s:
        assert messages > 10  # they did land, and no value went to another step
