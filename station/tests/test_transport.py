"""The labgrid transport: the tool run through the board module, its exact bytes back."""

import os
import subprocess

import pytest

from transport import LabgridShell, TransportError

pytestmark = pytest.mark.skipif(not os.access("/proc/timer_list", os.R_OK),
                                reason="the run report reads /proc/timer_list (root only)")


class LocalShell:
    """Stands in for a labgrid shell (CommandProtocol.run): runs the command with /bin/sh."""

    def __init__(self, cwd):
        self.cwd = cwd

    def run(self, cmd, timeout=30.0):
        done = subprocess.run(["/bin/sh", "-c", cmd], cwd=self.cwd, capture_output=True,
                              timeout=timeout)
        return done.stdout.decode().splitlines(), [], done.returncode


def board(tmp_path):
    from board import Board

    return Board(shell=LocalShell(tmp_path), name="local")


def fake_tool(tmp_path, body):
    tool = tmp_path / "fake_tool"
    tool.write_text("#!/bin/sh\n" + body)
    tool.chmod(0o755)
    return str(tool)


def test_exact_bytes_in_the_order_written_and_status(tmp_path):
    # a degree sign, a byte that is no UTF-8, standard error between two writes of the output,
    # no newline at the end, and a status of its own; the words are quoted for the board's shell
    tool = fake_tool(tmp_path, "printf 'ops:%s \\nNTC_Temp:25.02\\302\\260C\\n' \"$1\"\n"
                               "echo oops >&2\nprintf '\\377'\nexit 3\n")
    run = LabgridShell(board(tmp_path), tool=tool).run(["21 a"], 10)
    assert run.stdout == b"ops:21 a \nNTC_Temp:25.02\xc2\xb0C\noops\n\xff"
    assert run.status == 3


def test_a_tool_that_does_not_end_is_a_transport_error(tmp_path):
    tool = fake_tool(tmp_path, "echo started\nexec sleep 30\n")
    with pytest.raises(TransportError, match="did not end in 1 s"):
        LabgridShell(board(tmp_path), tool=tool).run([], 1)


def test_a_board_that_does_not_answer_is_a_transport_error(tmp_path):
    class SilentShell:
        def run(self, cmd, timeout=30.0):
            return ["sh: can't access tty; job control turned off"], [], 0

    from board import Board

    with pytest.raises(TransportError, match="board mute: the board's shell gave no run report"):
        LabgridShell(Board(shell=SilentShell(), name="mute")).run(["0", "1"], 5)
