"""The labgrid transport: the whole plan in one round trip through the board module, each tool
run's exact bytes back as soon as it ends; on a console (a shell on a pseudo-terminal stands in
for the board's) and over a plain command runner (as over SSH)."""

import os
import re
import time

import pytest

from station.transport import LabgridShell, TransportError, ToolRun
from testkit.shells import ConsoleShell, LocalShell

pytestmark = pytest.mark.skipif(not os.access("/proc/timer_list", os.R_OK),
                                reason="the run report reads /proc/timer_list (root only)")


@pytest.fixture(params=["console", "ssh"])
def board(request, tmp_path):
    from boards.board import Board

    shell = ConsoleShell(tmp_path) if request.param == "console" else LocalShell(tmp_path)
    yield Board(shell=shell, name="local")
    if request.param == "console":
        shell.console.child.close(force=True)


def fake_tool(tmp_path, body):
    tool = tmp_path / "fake_tool"
    tool.write_text("#!/bin/sh\n" + body)
    tool.chmod(0o755)
    return str(tool)


def test_exact_bytes_in_the_order_written_status_and_time(board, tmp_path):
    # a degree sign, a byte that is no UTF-8, standard error between two writes of the output,
    # no newline at the end, and a status of its own; the words are quoted for the board's
    # shell; each run comes back whole, in order, with its own time on the board's clock
    tool = fake_tool(tmp_path, "printf 'ops:%s \\nNTC_Temp:25.02\\302\\260C\\n' \"$1\"\n"
                               "echo oops >&2\nprintf '\\377'\n[ \"$1\" = 0 ] || sleep 0.3\n"
                               "exit $2\n")
    runs = list(LabgridShell(board, tool=tool).run_all([(["21 a", "3"], 10), (["0", "0"], 10)]))
    assert runs[0].stdout == b"ops:21 a \nNTC_Temp:25.02\xc2\xb0C\noops\n\xff"
    assert runs[0].status == 3
    assert runs[1].stdout == b"ops:0 \nNTC_Temp:25.02\xc2\xb0C\noops\n\xff"
    assert runs[1].status == 0
    assert 0.3 <= runs[0].seconds < 1.3 and runs[1].seconds < 0.3


def test_each_run_comes_as_soon_as_it_ends(board, tmp_path):
    tool = fake_tool(tmp_path, "sleep \"$1\"; echo \"slept $1\"\n")
    started = time.monotonic()
    seen = []
    for run in LabgridShell(board, tool=tool).run_all([(["0"], 10), (["1"], 10)]):
        seen.append((run.stdout, time.monotonic() - started))
    assert [out for out, _ in seen] == [b"slept 0\n", b"slept 1\n"]
    assert seen[0][1] < 0.8 <= seen[1][1]


def test_a_run_that_does_not_end_is_cut_at_its_bound_and_the_next_still_runs(board, tmp_path):
    tool = fake_tool(tmp_path, "echo \"started $1\"\n[ \"$1\" = hang ] && exec sleep 30\n"
                               "echo done\n")
    started = time.monotonic()
    first, second = LabgridShell(board, tool=tool).run_all([(["hang"], 1), (["next"], 5)])
    assert isinstance(first, TransportError) and "did not end in 1 s" in str(first)
    assert second == ToolRun(b"started next\ndone\n", 0, second.seconds)
    assert time.monotonic() - started < 10


@pytest.mark.parametrize("fault", ["STOP", "KILL"])  # a hung board; a console that is gone
def test_a_board_that_stops_answering_keeps_what_came_before(tmp_path, fault, monkeypatch):
    # the board's shell stops while the second run is on: the first run is kept, then the
    # transport says that the board is lost (and stays so)
    from boards import board as boards
    from boards.board import Board

    monkeypatch.setattr(boards, "STEP_SLACK_S", 1.0)
    shell = ConsoleShell(tmp_path)
    # every process of the console's session: its shell, the script's subshell, the tool;
    # a moment into the second run, once the first one's line has left the board
    tool = fake_tool(tmp_path, f"[ \"$1\" = 1 ] && sleep 0.5 && "
                               f"pkill -{fault} -s {shell.console.child.pid}\necho ok\n")
    board = Board(shell=shell, name="gone")
    runs = LabgridShell(board, tool=tool).run_all([(["0"], 1), (["1"], 1), (["2"], 1)])
    assert next(runs).stdout == b"ok\n"
    with pytest.raises(TransportError, match="board gone: lost"):
        next(runs)
    with pytest.raises(TransportError):
        next(LabgridShell(board, tool=tool).run_all([(["0"], 1)]))


def test_stopping_early_gives_the_shell_back(tmp_path):
    # the station is stopped after the first run: the script on the board is interrupted
    # and the shell answers the next command at once
    from boards.board import Board

    shell = ConsoleShell(tmp_path)
    tool = fake_tool(tmp_path, "sleep \"$1\"; echo \"slept $1\"\n")
    board = Board(shell=shell, name="local")
    runs = LabgridShell(board, tool=tool).run_all([(["0"], 5), (["20"], 25)])
    assert next(runs).stdout == b"slept 0\n"
    started = time.monotonic()
    runs.close()
    [again] = LabgridShell(board, tool=tool).run_all([(["0"], 5)])
    assert again.stdout == b"slept 0\n"
    assert time.monotonic() - started < 5


def test_one_short_line_is_typed_for_the_whole_plan(tmp_path):
    # a console carries every typed byte twice (typed, echoed): the plan is typed once, and
    # each further run costs a few bytes
    from boards.board import steps_script

    plan = [["mcu_test", "19", "1", "1"]] * 19
    one, many = steps_script(plan[:1], [21000]), steps_script(plan, [21000] * 19)
    assert (len(many) - len(one)) / 18 <= len("; s 21 mcu_test 19 1 1")
    assert len(many) < 1000
    assert not re.search(r"mcu-step rc=\d", many) and "mcu-steps-end" not in many
