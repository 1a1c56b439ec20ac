"""The labgrid transport's round trip: a shell command on the board, the exact bytes back."""

import subprocess

import pytest

from transport import LabgridShell, TransportError, decode_shell_output


class LocalShell:
    """Stands in for labgrid's ShellDriver: runs the command with /bin/sh, returns its lines."""

    def __init__(self, cwd):
        self.cwd = cwd
        self.commands = []

    def run(self, cmd, timeout=30.0):
        self.commands.append(cmd)
        done = subprocess.run(["/bin/sh", "-c", cmd], cwd=self.cwd, capture_output=True,
                              timeout=timeout)
        return done.stdout.decode().splitlines(), [], done.returncode


def test_exact_bytes_and_status_come_back(tmp_path):
    # a stand-in tool: a degree sign, a byte that is no UTF-8, no newline at the end,
    # something on standard error, and a status of its own
    tool = tmp_path / "fake_tool"
    tool.write_text("#!/bin/sh\nprintf 'ops:%s \\nNTC_Temp:25.02\\302\\260C\\n\\377' \"$1\"\n"
                    "echo oops >&2\nexit 3\n")
    tool.chmod(0o755)
    shell = LocalShell(tmp_path)
    scratch = tmp_path / "out"
    run = LabgridShell(shell, tool=str(tool), scratch=str(scratch)).run(["21", "a b"], 10)
    assert run.stdout == b"ops:21 \nNTC_Temp:25.02\xc2\xb0C\n\xffoops\n"
    assert run.status == 3
    assert not scratch.exists()  # the board keeps no file behind
    assert "'a b'" in shell.commands[0]  # words are quoted for the board's shell


def test_empty_output_and_broken_answers():
    assert decode_shell_output(["mcu-station-status=0"]).stdout == b""
    with pytest.raises(TransportError, match="no exit status"):
        decode_shell_output(["sh: mcu_test: not found"])
    with pytest.raises(TransportError, match="unexpected line"):
        decode_shell_output(["mcu-station-status=0", " 6f 70", "od: /tmp/x: No such file"])


def test_shell_failures_become_transport_errors():
    class DeadShell:
        def run(self, cmd, timeout=30.0):
            raise TimeoutError("no prompt")

    with pytest.raises(TransportError, match="TimeoutError: no prompt"):
        LabgridShell(DeadShell()).run(["0", "1"], 5)
