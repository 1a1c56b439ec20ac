"""The labgrid transport: a plan run on the board's shell through boards.shell_plan, each tool
run's exact bytes back as soon as it ends; on a console (busybox ash, the board's own shell,
interactive in a pseudo-terminal, stands in for the board's) and over a plain command runner
(as over SSH). The console is also made hostile: kernel messages landing inside the board's
lines, and bytes lost both ways."""

import os
import random
import secrets
import subprocess
import time
from unittest.mock import ANY

import pytest

from boards import shell_plan
from boards.board import Board, BoardUnsupported
from station.transport import LabgridShell, TransportError, ToolRun
from testkit import shell_script
from testkit.shells import ConsoleShell, LocalShell


@pytest.fixture(params=["console", "ssh"])
def board(request, tmp_path):
    shell = ConsoleShell(tmp_path) if request.param == "console" else LocalShell(tmp_path)
    yield Board(shell=shell, name="local")
    if request.param == "console":
        shell.console.child.close(force=True)


def fake_tool(tmp_path, body, name="fake_tool"):
    return str(shell_script(tmp_path / name, body))


def console_board(tmp_path, name: str, damaged=None) -> Board:
    """A board whose shell is typed on a PtyConsole (wrapped in damaged, if given)."""
    shell = ConsoleShell(tmp_path)
    if damaged is not None:
        shell.console = damaged(shell.console)
    return Board(shell=shell, name=name)


def test_exact_bytes_in_the_order_written_status_and_time(board, tmp_path):
    # a degree sign, a byte that is no UTF-8, standard error between two writes of the output,
    # no newline at the end, and a status of its own; the words are quoted for the board's
    # shell; each run comes back whole, in order, with its own time on the board's clock, as
    # soon as it ends (the first long before the second); the last step's result is in before
    # the teardown has run: the plan is not stopped then
    tool = fake_tool(tmp_path, "printf 'ops:%s \\nNTC_Temp:25.02\\302\\260C\\n' \"$1\"\n"
                               "echo oops >&2\nprintf '\\377'\n[ \"$1\" = 0 ] || sleep 1\n"
                               "exit $2\n")
    started = time.monotonic()
    runs, came = [], []
    transport = LabgridShell(board, tool=tool)
    for run in transport.run_all([(["0", "0"], 10), (["21 a", "3"], 10)], [(["off", "0"], 5)]):
        runs.append(run)
        came.append(time.monotonic() - started)
    assert runs[0].stdout == b"ops:0 \nNTC_Temp:25.02\xc2\xb0C\noops\n\xff"
    assert runs[0].status == 0
    assert runs[1].stdout == b"ops:21 a \nNTC_Temp:25.02\xc2\xb0C\noops\n\xff"
    assert runs[1].status == 3
    assert runs[0].seconds < 0.3 and 1.0 <= runs[1].seconds < 2.0
    assert came[0] + 0.8 <= came[1]
    assert transport.teardown == [ToolRun(b"ops:off \nNTC_Temp:25.02\xc2\xb0C\noops\n\xff", 0,
                                          transport.teardown[0].seconds)]
    if isinstance(board.shell, ConsoleShell):
        assert board.console_counts().stops == 0


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
    monkeypatch.setattr(shell_plan, "STEP_SLACK_S", 1.0)
    monkeypatch.setattr(shell_plan, "ANSWER_S", 1.0)
    board = console_board(tmp_path, "gone")
    # every process of the console's session: its shell, the script, the tool; a moment into
    # the second run, once the first one's line has left the board
    tool = fake_tool(tmp_path, f"[ \"$1\" = 1 ] && sleep 0.5 && "
                               f"pkill -{fault} -s {board.shell.console.child.pid}\necho ok\n")
    runs = LabgridShell(board, tool=tool).run_all([(["0"], 1), (["1"], 1), (["2"], 1)])
    assert next(runs).stdout == b"ok\n"
    with pytest.raises(TransportError, match="board gone: lost"):
        next(runs)
    with pytest.raises(TransportError):
        next(LabgridShell(board, tool=tool).run_all([(["0"], 1)]))


def test_a_stop_lets_the_running_step_end_runs_no_further_one_and_then_the_teardown(board,
                                                                                   tmp_path):
    # stopped while the second step sleeps: it ends as it would have (its mark is written),
    # the third never starts, the teardown runs, and the shell answers the next plan at once
    marks = tmp_path / "marks"
    tool = fake_tool(tmp_path, f"[ \"$1\" = off ] || sleep \"$1\"; echo \"$1\" >>{marks}; "
                               "echo \"slept $1\"\n")
    runs = board.run_steps([[tool, "0"], [tool, "1.5"], [tool, "0.1"]], [5000] * 3,
                           teardown=[[tool, "off"]])
    assert next(runs).out == b"slept 0\n"
    time.sleep(0.5)
    runs.close()
    # over SSH each step is a command of its own: none runs between two
    running = ["1.5"] if isinstance(board.shell, ConsoleShell) else []
    assert marks.read_text().split() == ["0", *running, "off"]
    assert [t.out for t in board.teardown] == [b"slept off\n"]
    started = time.monotonic()
    assert board.run([tool, "0"], 5000).out == b"slept 0\n"
    assert time.monotonic() - started < 3


def test_a_board_without_gzip_is_unsupported_and_runs_nothing(tmp_path):
    board = console_board(tmp_path, "bare")
    applets = tmp_path / ".applets"  # the board's (shells.board_path), all but gzip
    (applets / "gzip").unlink()
    board.shell.console.child.sendline(f"PATH={applets}")
    board.shell.console.child.expect("pty# ")
    marks = tmp_path / "marks"
    with pytest.raises(BoardUnsupported, match="board image unsupported: no gzip"):
        list(board.run_steps([["sh", "-c", f"echo ran >{marks}"]], [5000]))
    assert not marks.exists()


def test_a_byte_lost_from_the_line_that_runs_a_plan_never_runs_it_unseen(tmp_path):
    # every byte of the line, one at a time (but the Base64's middle, which only its MD5
    # sees): either the plan does not run, or it runs once with its answers on the console
    nonce = secrets.token_hex(4)
    script = shell_plan.plan_script(nonce, shell_plan.Preflight("timeout -s KILL"),
                                    [shell_plan.Step(["echo", "hi"], 2000)])
    line = shell_plan.run_line(nonce, script, inline=True)
    payload = line.index(shell_plan.encoded(script))
    ran = 0
    for cut in [*range(payload + 2), *range(payload + len(shell_plan.encoded(script)) - 2,
                                            len(line))]:
        out = subprocess.run(["busybox", "ash", "-c", line[:cut] + line[cut + 1:]],
                             cwd=tmp_path, capture_output=True, timeout=30).stdout.decode()
        if os.path.exists(f"/tmp/{nonce}.run"):
            ran += 1
            lines = out.splitlines()
            assert f"mcu-start {nonce}" in lines and f"mcu-end {nonce} 0" in lines, cut
            assert [shell_plan.parse_result(x, nonce, [2000]) for x in lines
                    if x.startswith("mcu-step")] == [(1, shell_plan.Run(
                        b"hi\n", b"", 0, ANY, False, False))], cut
        subprocess.run(f"rm -rf /tmp/*{nonce[2:]}* {tmp_path}/*", shell=True, check=True)
    assert ran > 0  # cuts in blanks that do not matter


class Damaged:
    """The pseudo-terminal console, each chunk read ("rx") or written ("tx") through
    damage(data, way)."""

    def __init__(self, console):
        self.console = console

    def read(self, size=1, timeout=0.0):
        return self.damage(self.console.read(size, timeout), "rx")

    def write(self, data):
        self.console.write(self.damage(data, "tx"))


class LosesOnce(Damaged):
    """The first chunk that holds `marker` one way losing the byte at the place where `at` is."""

    def __init__(self, console, way: str, marker: bytes, at: bytes):
        super().__init__(console)
        self.way, self.marker, self.at = way, marker, at

    def damage(self, data: bytes, way: str) -> bytes:
        if way == self.way and self.marker in data and not hasattr(self, "done"):
            self.done, k = True, data.index(self.at)
            data = data[:k] + data[k + 1:]
        return data


@pytest.mark.parametrize("way, marker, lost, counted", [
    # the first preflight's line loses a byte where a check then fails: every applet
    # lacking, no clock, an old `timeout`; the second asks again, the board is supported
    ("tx", b"mcu-", b"$a", "retyped"), ("tx", b"mcu-", b"read u", "retyped"),
    ("tx", b"mcu-", b"-s KILL 1", "retyped"),
    # a plan's end that came damaged is asked for: the answer to the ask begins on the line of
    # the prompt that followed the damaged end (the console echoes nothing)
    ("rx", b"mcu-end ", b" 0\r", "asked_again")], ids=["applets", "clock", "timeout", "end"])
def test_a_byte_lost_from_the_preflight_or_a_plans_end_costs_one_exchange(tmp_path, way, marker,
                                                                          lost, counted):
    board = console_board(tmp_path, "lossy", lambda c: LosesOnce(c, way, marker, lost))
    assert board.run(["echo", "ran"], 5000).out == b"ran\n"
    assert getattr(board.console_counts(), counted) == 1


def test_a_plan_longer_than_the_line_editor_keeps_runs_whole(tmp_path):
    # sixty steps of a tool at a 60-character path: several times what busybox ash keeps of
    # one typed line (1,023 characters); every typed line stays far below it
    deep = tmp_path / ("factory-test-" + "x" * (60 - len(str(tmp_path)) - 22)) / "bin"
    deep.mkdir(parents=True)
    tool = fake_tool(deep, "echo \"step $1\"\n", name="mcu_test")
    assert len(tool) >= 60
    board = console_board(tmp_path, "long")
    runs = list(board.run_steps([[tool, str(n)] for n in range(60)], [2000] * 60))
    assert [r.out for r in runs] == [f"step {n}\n".encode() for n in range(60)]
    script = shell_plan.plan_script("0" * 8, shell_plan.Preflight("timeout -s KILL"),
                                    [shell_plan.Step([tool, str(n)], 2000) for n in range(60)])
    assert len(script) > 3 * 1023
    assert max(len(line) for line, _ in shell_plan.chunk_lines("0" * 8, script)) < 300


class HostileConsole(Damaged):
    """Made as a board's real console is: a kernel message lands inside the board's output
    every `every` bytes or so, and each byte is lost with the probability `loss`, both ways
    (seeded, each way on its own: a failing run can be repeated)."""

    MESSAGE = b"[   61.402113] random: crng init done\r\n"

    def __init__(self, console, every: int, loss: float, seed: int):
        super().__init__(console)
        self.every, self.loss = every, loss
        self.ways = {"rx": random.Random(f"{seed}:rx"), "tx": random.Random(f"{seed}:tx")}
        self.messages = self.lost = 0

    def damage(self, data: bytes, way: str) -> bytes:
        out, rng = bytearray(), self.ways[way]
        for byte in data:
            if rng.random() < 1 / self.every:
                out += self.MESSAGE
                self.messages += 1
            if rng.random() < self.loss:
                self.lost += 1
            else:
                out.append(byte)
        return bytes(out) if way == "rx" else bytes(out).replace(self.MESSAGE, b"")


@pytest.mark.parametrize("seed", [1, 2])
def test_on_a_hostile_console_every_result_lands_on_its_own_step(tmp_path, seed):
    # each step prints its own number many times over: a value under another step's number
    # would show; damaged results are asked for again, damaged typed lines typed again; kernel
    # messages are cut out of the lines they land in
    tool = fake_tool(tmp_path, "i=0; while [ $i -lt 40 ]; do echo \"value $i of step $1\"; "
                               "i=$((i+1)); done; exit $1\n")
    board = console_board(tmp_path, "hostile",
                          lambda c: HostileConsole(c, every=400, loss=0.002, seed=seed))
    console = board.shell.console
    try:
        runs = list(board.run_steps([[tool, str(n)] for n in range(1, 13)], [5000] * 12))
    finally:
        print(board.console_counts(), board.log()[-3000:])  # shown when the test fails
    twice = 0
    for n, run in enumerate(runs, 1):
        if isinstance(run, Exception):  # damaged twice: the console's fault, said so
            assert "the console damaged" in str(run)
            twice += 1
            continue
        assert run.out == "".join(f"value {i} of step {n}\n" for i in range(40)).encode()
        assert run.status == n
    counts = board.console_counts()
    assert console.messages > 10 and console.lost > 0 and counts.damaged > 0
    assert counts.kernel_messages > 10
    # a step fails only after its result was asked for again; most come whole
    assert twice <= counts.asked_again and twice <= 3
