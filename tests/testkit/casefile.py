"""The end-to-end case files (format: cases/README.md): the parser, and the checks of one run.

parse(path) reads a case; check(case, run, ...) compares a finished run with it and returns the
mismatches as readable lines (an empty list: the case passed). Neither starts a process.
"""

import os
import re
import shlex
from dataclasses import dataclass, field

EVENTS = ("connect", "disconnect")
# Hex bytes, then a flag of the simulator's log, if any.
FRAME = re.compile(r"((?:[0-9A-Fa-f]{2} )*[0-9A-Fa-f]{2})(?: (bad checksum|incomplete|noise))?")
SIGNALS = {"TERM": 15, "KILL": 9}


class CaseError(Exception):
    """A case file that does not follow the format."""


@dataclass
class Case:
    name: str
    args: list = field(default_factory=list)
    sim_options: list = field(default_factory=list)
    device: str = "sim"  # sim | none | file
    status: int = 0  # exit status, when no signal (SIGNALS) is expected
    signal: int = None
    time: tuple = None  # (MIN, MAX) ms, as are `gap` and the values of `gaps`
    kill_after: int = None
    connects: bool = False
    log: list = field(default_factory=list)  # frames and events, as entry() spells them
    gap: tuple = None
    gaps: dict = field(default_factory=dict)  # entry N (from 1) to N + 1
    stdout: bytes = None
    counts: list = field(default_factory=list)  # (text, times)
    files: dict = field(default_factory=dict)
    skips: dict = field(default_factory=dict)  # target kind: reason


@dataclass
class Run:
    """What one run left: the tool's side, then the simulator's (when the case has one)."""

    out: bytes = b""
    err: bytes = b""
    status: int = 0  # exit status, or -N when ended by signal N
    wall_ms: int = 0
    waited_ms: int = 0  # of wall_ms, what the tool spent ready to run but not running (a busy machine)
    timed_out: bool = False
    ended_before_kill: bool = False
    sim_log: str = None  # the simulator's log (None: it wrote none)
    sim_ended_early: str = None  # how the simulator ended while the tool ran
    sim_stop_status: int = 0  # its status after SIGTERM; None: it did not end within 5 s
    port_left: bool = False  # the simulator left its port (link) behind


def split_words(s):
    """Splits on blanks; a word in "..." may hold blanks or be empty ("\\"" in it stands for ")."""
    lex = shlex.shlex(s, posix=True)
    lex.whitespace_split, lex.quotes, lex.commenters = True, '"', ""
    try:
        return list(lex)
    except ValueError:
        raise CaseError("unterminated quote") from None


def ms(word, what="a number of milliseconds"):
    if not re.fullmatch(r"[0-9]+", word):
        raise CaseError(f"'{word}' is not {what}")
    return int(word)


def ms_range(words):
    if len(words) != 2:
        raise CaseError("expected MIN MAX (milliseconds)")
    if ms(words[0]) > ms(words[1]):
        raise CaseError("MIN is larger than MAX")
    return int(words[0]), int(words[1])


def frame_of(text):
    """A frame entry (as entry() spells it) as its bytes and its flag ('' for none)."""
    m = FRAME.fullmatch(text)
    return bytes.fromhex(m[1]), m[2] or ""


def entry(words):
    """A simulator log entry in one spelling: connect, disconnect, or upper-case hex bytes
    separated by one blank, then a flag of the simulator's if any."""
    text = " ".join(words)
    if text in EVENTS:
        return text
    if not (m := FRAME.fullmatch(text)):
        raise CaseError("a frame is hex bytes, then optionally 'bad checksum', 'incomplete' or 'noise'")
    return m[1].upper() + (f" {m[2]}" if m[2] else "")


def block_line(line):
    """'|', the text, then '$' (a newline) or '\\' (none)."""
    if len(line) < 2 or line[0] != "|" or line[-1] not in "$\\":
        raise CaseError("block line must start with '|' and end with '$' (newline) or '\\' (no newline)")
    return line[1:-1] + ("\n" if line[-1] == "$" else "")


def parse(path, text=None):
    if text is None:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    case = Case(name=os.path.basename(path).removesuffix(".case"))
    lines = enumerate(text.split("\n"), 1)
    at = 0

    def block():
        nonlocal at
        out = ""
        for at, line in lines:
            if line.strip(" \t\r") == "end":
                return out
            out += block_line(line.rstrip("\r"))
        raise CaseError("block not closed by 'end'")

    try:
        for at, line in lines:
            line = line.strip(" \t\r")
            if line and not line.startswith("#"):
                parse_line(case, line, block)
        for wrong, why in [
                (case.time is None, "every case gives its wall time: time MIN MAX"),
                (case.stdout is None and not case.counts,
                 "every case gives its standard output: stdout: ... end (or count N |TEXT$)"),
                ((case.kill_after is None) != (case.signal is None),
                 "kill-after goes with status signal TERM"),
                (set(case.log) & set(EVENTS) and not case.connects, "event lines need 'connects yes'"),
                (case.device != "sim" and (case.log or case.sim_options),
                 "frames and sim options need device sim")]:
            if wrong:
                raise CaseError(why)
    except CaseError as e:
        raise CaseError(f"{path}:{at}: {e}") from None
    return case


def parse_line(case, line, block):
    key, rest = (line.split(None, 1) + [""])[:2]
    if key == "count":  # count N |TEXT$: the text may hold blanks and quotes
        n, bar, text = rest.partition("|")
        if not bar or len(n.split()) != 1:
            raise CaseError("count takes N, then the text as a block line: count N |TEXT$")
        text = block_line(bar + text)
        if not text:
            raise CaseError("count needs a text that is not empty")
        case.counts.append((text.encode(), ms(n.strip(), "a whole number")))
        return
    if key == "skip":  # skip KIND REASON
        words = rest.split(None, 1)
        if len(words) != 2:
            raise CaseError("skip takes a target kind and the reason")
        case.skips[words[0]] = words[1]
        return
    values = split_words(rest)

    def one(*allowed):
        if len(values) != 1 or (allowed and values[0] not in allowed):
            raise CaseError(f"'{key}' takes one value" + (f": {' or '.join(allowed)}" if allowed else ""))
        return values[0]

    if key == "args":
        case.args = values
    elif key == "sim":
        case.sim_options += values
    elif key == "device":
        case.device = one("sim", "none", "file")
    elif key == "status" and values[:1] == ["signal"]:
        values = values[1:]
        case.signal = SIGNALS[one(*SIGNALS)]
    elif key == "status":
        case.status = ms(one(), "an exit status")
    elif key == "time":
        case.time = ms_range(values)
    elif key == "kill-after":
        case.kill_after = ms(one())
    elif key == "connects":
        case.connects = one("yes", "no") == "yes"
    elif key == "gap" and len(values) == 3:
        if ms(values[0]) < 1:
            raise CaseError("gap N counts entries from 1")
        case.gaps[int(values[0])] = ms_range(values[1:])
    elif key == "gap":
        case.gap = ms_range(values)
    elif key == "frame":
        if not values or values[0] in EVENTS:
            raise CaseError("frame needs its bytes")
        case.log.append(entry(values))
    elif key == "event":
        case.log.append(one(*EVENTS))
    elif key == "stdout:" and not values:
        case.stdout = block().encode()
    elif key == "file" and len(values) in (1, 3) and values[-2:-1] in ([], ["repeat"]):
        name = values[0][:-1]
        if (not values[0].endswith(":") or not name or "/" in name or name in (".", "..", "ttyMCU")
                or name.startswith(("sim.", "tool."))):
            raise CaseError(f"file name '{name}' is not a plain name of the case's own")
        case.files[name] = block().encode() * (ms(values[2]) if len(values) == 3 else 1)
    else:
        raise CaseError(f"unknown keyword '{key}' (or wrong values)")


def visible(data):
    """Output bytes in the case notation, one '|' line each: blanks as '·', tabs as '→', other
    control bytes as \\xNN, '$' for a newline, '\\' at an end without one."""
    shown = []
    for line in data.splitlines(keepends=True):
        text = line.rstrip(b"\n").decode("utf-8", "backslashreplace")
        text = re.sub(r"[\x00-\x1f\x7f]", lambda m: f"\\x{ord(m.group()):02X}",
                      text.replace(" ", "\u00b7").replace("\t", "\u2192"))
        shown.append("|" + text + ("$" if line.endswith(b"\n") else "\\"))
    return "\n".join(shown)


def read_log(text, with_events):
    """The simulator's log as (ms, entry) pairs, and its unreadable lines as problems."""
    entries, problems = [], []
    for n, line in enumerate(text.splitlines(), 1):
        try:
            words = split_words(line)
            if not words:
                continue
            if len(words) < 2:
                raise CaseError("no entry")
            e = (ms(words[0]), entry(words[1:]))
        except CaseError as err:
            problems.append(f"sim.log:{n}: unreadable line '{line}' ({err})")
            continue
        if with_events or e[1] not in EVENTS:
            entries.append(e)
    return entries, problems


def check_log(case, text, allowance, sees_events):
    """The frames (and, with `connects yes` on a target that sees them, the events) in order,
    and their spacing; gaps are numbered by the case's own list of entries."""
    with_events = case.connects and sees_events
    places = [n for n, e in enumerate(case.log) if with_events or e not in EVENTS]
    expected = [case.log[n] for n in places]
    got, problems = read_log(text, with_events)
    if [e for _, e in got] != expected:
        listed = "".join(f"\n    {e}" for e in expected) or "\n    (none)"
        received = "".join(f"\n    {t}  {e}" for t, e in got) or "\n    (none)"
        return problems + [f"frames differ\n  expected:{listed}\n"
                           f"  received by the simulator (ms since its start):{received}"]
    for k in range(1, len(got)):
        if places[k] != places[k - 1] + 1:
            continue  # an entry this target cannot see lies between them
        want = case.gaps.get(places[k], case.gap)
        gap = got[k][0] - got[k - 1][0]
        if want and not want[0] <= gap <= want[1] + allowance:
            problems.append(f"entry {places[k] + 1} ({got[k][1]}) came {gap} ms after entry "
                            f"{places[k]} ({got[k - 1][1]}), expected {want[0]} to "
                            f"{want[1] + allowance} ms")
    return problems


def timeout_ms(case, allowance):
    """When the tool is killed: at twice its longest time, 5 s later at least."""
    high = case.time[1] + allowance
    return max(2 * high, high + 5000)


def describe(status):
    return f"exit status {status}" if status >= 0 else f"killed by signal {-status}"


def check(case, run, allowance=0, sees_events=True):
    """The mismatches between a finished run and its case, as readable lines."""
    problems = []
    if case.device == "sim":
        if run.sim_ended_early is not None:
            problems.append(f"the simulator ended while the tool ran ({run.sim_ended_early})")
        elif run.sim_stop_status is None:
            problems.append("the simulator did not end within 5 s of SIGTERM")
        elif run.sim_stop_status != 0:
            problems.append(f"the simulator ended with {describe(run.sim_stop_status)} after SIGTERM")
        elif run.port_left:
            problems.append("the simulator left its link behind")
        if run.sim_log is None:
            problems.append("the simulator wrote no log")
        else:
            problems += check_log(case, run.sim_log, allowance, sees_events)
    if run.timed_out:
        problems.append(f"the tool did not end within {timeout_ms(case, allowance)} ms and was killed")
    elif run.ended_before_kill:
        problems.append(f"the tool ended after {run.wall_ms} ms, before it was to be killed at "
                        f"{case.kill_after} ms")
    want = -case.signal if case.signal else case.status
    if run.status != want and not run.timed_out:
        problems.append(f"the tool ended with {describe(run.status)}, expected {describe(want)}")
    if case.stdout is not None and run.out != case.stdout:
        problems.append("standard output differs (- expected, + actual; \u00b7 blank, $ newline, "
                        "\\ no newline at the end)")
    for text, times in case.counts:
        n = run.out.count(text)
        if n != times:
            problems.append(f"standard output holds {visible(text)} {n} times, expected {times}")
    # The bound above is the tool's own time: what a busy machine kept it waiting is not its.
    low, high = case.time[0], case.time[1] + allowance
    if not run.timed_out and not (low <= run.wall_ms and run.wall_ms - run.waited_ms <= high):
        extra = f" (the case's {case.time[1]} ms + {allowance} ms allowance)" if allowance else ""
        waited = f", {run.waited_ms} ms of it waiting for a core" if run.waited_ms else ""
        problems.append(f"the tool ran {run.wall_ms} ms{waited}, expected {low} to {high} ms"
                        f"{extra}")
    if run.err:
        problems.append("the tool wrote to standard error")
    return problems
