"""The plugin's own tests: the case parser, each check against a made-up run, and the tool runner."""

import dataclasses

import pytest

from testkit import targets
from testkit.casefile import CaseError, Run, check, parse, visible

# What no case file uses. The rest the case files read themselves (every one has comments,
# op1_key_reports two sim lines, fault_line_rate_stream a repeated file), or the checks of a
# run below do (connects, gaps, events, signals, counts).
UNUSED = r"""
args 0 "a b" "" "say \"hi\""
time 300 1000
frame aa 03 32 32 bb
frame AA 05 31 bad checksum
stdout:
|a$b$
end
count 2 |a "b" $
skip board the board has no such port
"""


def case(text):
    return parse("dir/name.case", text)


def test_what_no_case_uses_reads_as_written():
    c = case(UNUSED)
    assert (c.name, c.args) == ("name", ["0", "a b", "", 'say "hi"'])
    assert c.log == ["AA 03 32 32 BB", "AA 05 31 bad checksum"]
    assert (c.stdout, c.counts) == (b"a$b\n", [(b'a "b" \n', 2)])
    assert c.skips == {"board": "the board has no such port"}


@pytest.mark.parametrize("text, message", [
    ("time 0 1\nstdout:\n|a$\nend\nbogus 1", ":5: unknown keyword 'bogus'"),
    ("time 0 1\nstdout:\n|a\nend", ":3: block line must start with '|' and end with '$'"),
    ("time 0 1\nstdout:\nx$\nend", "block line must start with '|'"),
    ("time 0 1\nstdout:\n|a$", "block not closed by 'end'"),
    ("stdout:\n|a$\nend", "every case gives its wall time"),
    ("time 0 1", "every case gives its standard output"),
    ("time 5 1\ncount 1 |a$", "MIN is larger than MAX"),
    ("time 0 x\ncount 1 |a$", "'x' is not a number of milliseconds"),
    ("time 0 1\ncount 1 |\\", "count needs a text"),
    ("time 0 1\ncount x |a$", "'x' is not a whole number"),
    ("time 0 1\ncount 1 a$", "count takes N"),
    ("time 0 1\ncount 1 |a$\nkill-after 5", "kill-after goes with status signal TERM"),
    ("time 0 1\ncount 1 |a$\nstatus signal HUP", "'status' takes one value: TERM or KILL"),
    ("time 0 1\ncount 1 |a$\nevent connect", "event lines need 'connects yes'"),
    ("time 0 1\ncount 1 |a$\nevent open", "'event' takes one value: connect or disconnect"),
    ("time 0 1\ncount 1 |a$\ndevice none\nframe AA", "frames and sim options need device sim"),
    ("time 0 1\ncount 1 |a$\ndevice tty", "'device' takes one value: sim or none or file"),
    ("time 0 1\ncount 1 |a$\nframe AA broken", "a frame is hex bytes"),
    ("time 0 1\ncount 1 |a$\nframe", "frame needs its bytes"),
    ("time 0 1\ncount 1 |a$\ngap 0 1 2", "gap N counts entries from 1"),
    ("time 0 1\ncount 1 |a$\nargs \"a", "unterminated quote"),
    ("time 0 1\ncount 1 |a$\nconnects maybe", "'connects' takes one value: yes or no"),
    ("time 0 1\ncount 1 |a$\nfile sim.log:\nend", "not a plain name"),
    ("time 0 1\ncount 1 |a$\nfile a/b:\nend", "not a plain name"),
    ("time 0 1\ncount 1 |a$\nskip board", "skip takes a target kind and the reason"),
])
def test_a_malformed_case_is_refused(text, message):
    with pytest.raises(CaseError, match="^dir/name.case:") as error:
        case(text)
    assert message in str(error.value)


BASE = """args 0 1
connects yes
time 300 1000
gap 2 250 500
event connect
frame AA 03 32 32 BB
event disconnect
stdout:
|ver:7 $
end
count 1 |ver\\
"""
LOG = "5 connect\n10 AA 03 32 32 BB\n320 disconnect\n"
GOOD = Run(out=b"ver:7 \n", status=0, wall_ms=400, sim_log=LOG)


def problems(run_changes=None, text=BASE, allowance=0, sees_events=True):
    run = dataclasses.replace(GOOD, **(run_changes or {}))
    return check(case(text), run, allowance, sees_events)


@pytest.mark.parametrize("changes, message", [
    ({"out": b"ver:7  \n"}, "standard output differs"),
    ({"status": 1}, "the tool ended with exit status 1, expected exit status 0"),
    ({"timed_out": True}, "the tool did not end within 6000 ms and was killed"),
    ({"wall_ms": 1001}, "the tool ran 1001 ms, expected 300 to 1000 ms"),
    ({"err": b"oops"}, "the tool wrote to standard error"),
    ({"sim_log": "10 AA 03 32 32 BB\n320 disconnect\n"}, "frames differ"),
    ({"sim_log": "5 connect\n10 AA 03 32 32 BB incomplete\n320 disconnect\n"}, "frames differ"),
    ({"sim_log": "5 connect\n10 AA 03 32 33 BB\n320 disconnect\n"}, "frames differ"),
    ({"sim_log": LOG + "330 AA 03 32 32 BB\n"}, "frames differ"),
    ({"sim_log": "5 connect\n10 AA 03 32 32 BB\n200 disconnect\n"},
     "entry 3 (disconnect) came 190 ms after entry 2 (AA 03 32 32 BB), expected 250 to 500 ms"),
    ({"sim_log": LOG + "x connect\n"}, "sim.log:4: unreadable line 'x connect'"),
    ({"sim_log": None}, "the simulator wrote no log"),
    ({"sim_ended_early": "exit status 3"}, "the simulator ended while the tool ran (exit status 3)"),
    ({"sim_stop_status": None}, "the simulator did not end within 5 s of SIGTERM"),
    ({"sim_stop_status": 1}, "the simulator ended with exit status 1 after SIGTERM"),
    ({"port_left": True}, "the simulator left its link behind"),
])
def test_each_check_reports_its_mismatch(changes, message):
    found = problems(changes)
    assert len(found) == 1 and found[0].startswith(message), found


COUNTS = BASE.replace("stdout:\n|ver:7 $\nend\n", "")
SIGNAL = BASE.replace("time 300", "status signal TERM\nkill-after 350\ntime 300")
NO_CONNECTS = "args 0\ntime 300 1000\nframe AA 03 32 32 BB\ncount 1 |ver\\\n"
TWO = """args 1
connects yes
time 0 5000
gap 100 200
gap 2 10 20
event connect
frame AA 01 BB
frame AA 02 BB
frame AA 03 BB
event disconnect
count 1 |x\\
"""
TWO_LOG = "0 connect\n150 AA 01 BB\n165 AA 02 BB\n{} AA 03 BB\n500 disconnect\n"
TWO_RUN = {"out": b"x", "wall_ms": 600}
RAN_299 = "the tool ran 299 ms, expected 300 to 3000 ms (the case's 1000 ms + 2000 ms allowance)"


@pytest.mark.parametrize("text, changes, allowance, sees_events, expected", [
    # Counts may stand for the standard output.
    ("counts", {"out": b"ver ver"}, 0, True, ["standard output holds |ver\\ 2 times, expected 1"]),
    ("counts", {"out": b"vex"}, 0, True, ["standard output holds |ver\\ 0 times, expected 1"]),
    # A signal is expected with kill-after.
    ("signal", {"status": -15}, 0, True, []),
    ("signal", {"status": 0}, 0, True,
     ["the tool ended with exit status 0, expected killed by signal 15"]),
    ("signal", {"status": -15, "ended_before_kill": True}, 0, True,
     ["the tool ended after 400 ms, before it was to be killed at 350 ms"]),
    # The allowance widens only the longest times.
    ("base", {"wall_ms": 2900, "sim_log": LOG.replace("320 disc", "2500 disc")}, 2000, True, []),
    ("base", {"wall_ms": 299}, 2000, True, [RAN_299]),
    ("base", {"wall_ms": 3001}, 2000, True, [RAN_299.replace("299", "3001")]),
    # The time a busy machine kept the tool waiting is not the tool's.
    ("base", {"wall_ms": 1500, "waited_ms": 600}, 0, True, []),
    ("base", {"wall_ms": 1500, "waited_ms": 400}, 0, True,
     ["the tool ran 1500 ms, 400 ms of it waiting for a core, expected 300 to 1000 ms"]),
    ("base", {"wall_ms": 299, "waited_ms": 50}, 0, True,
     ["the tool ran 299 ms, 50 ms of it waiting for a core, expected 300 to 1000 ms"]),
    # Events count only with connects yes.
    ("no_connects", {"out": b"ver"}, 0, True, []),
    ("no_connects", {"out": b"ver", "sim_log": "10 AA 03 32 32 BB\n"}, 0, True, []),
    # A target blind to connects keeps the case's entry numbers; the log may still hold
    # connects: they are not compared, nor are the gaps next to them.
    ("two", {**TWO_RUN, "sim_log": "\n".join(TWO_LOG.format(300).splitlines()[1:4])}, 0, False,
     []),
    ("two", {**TWO_RUN, "sim_log": TWO_LOG.format(300)}, 0, False, []),
    ("two", {**TWO_RUN, "sim_log": TWO_LOG.format(300).replace("500 d", "501 d")}, 0, True,
     ["entry 5 (disconnect) came 201 ms after entry 4 (AA 03 BB), expected 100 to 200 ms"]),
    ("two", {**TWO_RUN, "sim_log": TWO_LOG.format(250)}, 0, False,
     ["entry 4 (AA 03 BB) came 85 ms after entry 3 (AA 02 BB), expected 100 to 200 ms"]),
    ("two", {**TWO_RUN, "sim_log": TWO_LOG.format(300).replace("165", "180")}, 0, False,
     ["entry 3 (AA 02 BB) came 30 ms after entry 2 (AA 01 BB), expected 10 to 20 ms"]),
])
def test_a_run_against_its_case(text, changes, allowance, sees_events, expected):
    case_text = {"base": BASE, "counts": COUNTS, "signal": SIGNAL, "no_connects": NO_CONNECTS,
                 "two": TWO}[text]
    assert problems(changes, case_text, allowance, sees_events) == expected


def test_visible_shows_blanks_and_line_ends():
    assert visible(b"a b\tc\x01\n\nend") == "|a\u00b7b\u2192c\\x01$\n|$\n|end\\"
    assert visible(b"") == ""


def test_the_tool_runner_ends_the_tool_as_told(tmp_path):
    run = targets.run_process(["/bin/sh", "-c", "echo out; echo err >&2; exit 3"], tmp_path, 5000, None)
    assert (run.out, run.err, run.status, run.timed_out) == (b"out\n", b"err\n", 3, False)
    run = targets.run_process(["/bin/sh", "-c", "exec sleep 5"], tmp_path, 5000, 200)
    assert (run.status, run.timed_out, run.ended_before_kill) == (-15, False, False)
    assert 200 <= run.wall_ms < 1000
    run = targets.run_process(["/bin/sh", "-c", "exec sleep 5"], tmp_path, 200, None)
    assert (run.status, run.timed_out) == (-9, True)
    run = targets.run_process(["/bin/true"], tmp_path, 5000, 1000)
    assert run.ended_before_kill and run.wall_ms < 1000


def test_an_unknown_target_is_refused():
    # A name and MODULE:CLASS are found by every e2e.* test and every board run's case.
    with pytest.raises(ValueError, match="unknown target 'nowhere'"):
        targets.load("nowhere")
