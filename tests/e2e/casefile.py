"""The end-to-end case files (format: cases/README.md): the parser, and the checks of one run.

parse(path) reads a case; check(case, run, ...) compares a finished run with it and returns the
mismatches as readable lines (an empty list: the case passed). Neither starts a process.
"""

import re
from dataclasses import dataclass, field

FLAGS = ("", "bad checksum", "incomplete", "noise")
EVENTS = ("connect", "disconnect")
SIGNALS = {"TERM": 15, "KILL": 9}


class CaseError(Exception):
    """A case file that does not follow the format."""


@dataclass
class Case:
    name: str
    args: list = field(default_factory=list)
    sim_options: list = field(default_factory=list)
    device: str = "sim"  # sim | none | file
    status: int = 0  # expected exit status, when no signal is expected
    signal: int = None  # expected terminating signal
    time: tuple = None  # (MIN, MAX) wall time of the tool, ms
    timeout: int = None
    kill_after: int = None
    connects: bool = False
    log: list = field(default_factory=list)  # frames and events, normalised, in order
    gap: tuple = None  # spacing of every two successive entries
    gaps: dict = field(default_factory=dict)  # entry N (1-based) to N + 1, overrides `gap`
    stdout: bytes = None
    counts: list = field(default_factory=list)  # (text, times)
    files: dict = field(default_factory=dict)
    skips: dict = field(default_factory=dict)  # target kind -> reason


@dataclass
class Run:
    """What one run of the tool left: the tool's side, then the simulator's (when one ran)."""

    out: bytes = b""
    err: bytes = b""
    status: int = 0  # exit status, or -N when ended by signal N
    wall_ms: int = 0
    timed_out: bool = False
    ended_before_kill: bool = False
    sim_log: str = None  # the simulator's log (None: it wrote none)
    sim_ended_early: str = None  # how the simulator ended while the tool ran
    sim_stop_status: int = 0  # its status after SIGTERM; None: it did not end within 5 s
    port_left: bool = False  # the simulator left its port (link) behind


def split_words(s):
    """Splits on blanks; "..." holds blanks or nothing, in it \\" and \\\\ stand for " and \\."""
    words, i = [], 0
    while i < len(s):
        if s[i].isspace():
            i += 1
        elif s[i] == '"':
            word, i = "", i + 1
            while i < len(s) and s[i] != '"':
                if s[i] == "\\" and i + 1 < len(s) and s[i + 1] in '"\\':
                    i += 1
                word, i = word + s[i], i + 1
            if i == len(s):
                raise CaseError("unterminated quote")
            words.append(word)
            i += 1
        else:
            start = i
            while i < len(s) and not s[i].isspace():
                i += 1
            words.append(s[start:i])
    return words


def ms(word, what="a number of milliseconds"):
    if not re.fullmatch(r"[0-9]+", word):
        raise CaseError(f"'{word}' is not {what}")
    return int(word)


def ms_range(words):
    if len(words) != 2:
        raise CaseError("expected MIN MAX (milliseconds)")
    low, high = ms(words[0]), ms(words[1])
    if low > high:
        raise CaseError("MIN is larger than MAX")
    return low, high


def is_hex_byte(word):
    return re.fullmatch(r"[0-9A-Fa-f]{2}", word) is not None


def entry(words):
    """A simulator log entry in one spelling: connect, disconnect, or upper-case hex bytes
    separated by one blank, then a flag of the simulator's if any."""
    if len(words) == 1 and words[0] in EVENTS:
        return words[0]
    n = 0
    while n < len(words) and is_hex_byte(words[n]):
        n += 1
    flag = " ".join(words[n:])
    if n == 0 or flag not in FLAGS:
        raise CaseError("a frame is hex bytes, then optionally 'bad checksum', 'incomplete' or 'noise'")
    return " ".join([w.upper() for w in words[:n]] + ([flag] if flag else []))


def block_line(line):
    """'|', the text, then '$' (a newline) or '\\' (none)."""
    if len(line) < 2 or line[0] != "|" or line[-1] not in "$\\":
        raise CaseError("block line must start with '|' and end with '$' (newline) or '\\' (no newline)")
    return line[1:-1] + ("\n" if line[-1] == "$" else "")


def parse(path, text=None):
    if text is None:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    case = Case(name=re.sub(r"\.case$", "", path.rsplit("/", 1)[-1]))
    lines = text.split("\n")
    at = 0

    def block():
        nonlocal at
        out = ""
        while at < len(lines):
            line = lines[at].rstrip("\r")
            at += 1
            if line.strip(" \t") == "end":
                return out
            out += block_line(line)
        raise CaseError("block not closed by 'end'")

    try:
        while at < len(lines):
            line = lines[at].strip(" \t\r")
            at += 1
            if line and not line.startswith("#"):
                parse_line(case, line, block)
        if case.time is None:
            raise CaseError("every case gives its wall time: time MIN MAX")
        if case.stdout is None and not case.counts:
            raise CaseError("every case gives its standard output: stdout: ... end (or count N |TEXT$)")
        if (case.kill_after is None) != (case.signal is None):
            raise CaseError("kill-after goes with status signal TERM")
        if any(e in EVENTS for e in case.log) and not case.connects:
            raise CaseError("event lines need 'connects yes'")
        if case.device != "sim" and (case.log or case.sim_options):
            raise CaseError("frames and sim options need device sim")
    except CaseError as e:
        raise CaseError(f"{path}:{at}: {e}") from None
    return case


def parse_line(case, line, block):
    key = line.split(None, 1)[0]
    if key == "count":  # count N |TEXT$ -- the text may hold blanks and quotes
        bar = line.find("|")
        words = split_words(line[:bar]) if bar >= 0 else []
        if len(words) != 2:
            raise CaseError("count takes N, then the text as a block line: count N |TEXT$")
        text = block_line(line[bar:])
        if not text:
            raise CaseError("count needs a text that is not empty")
        case.counts.append((text.encode(), ms(words[1], "a whole number")))
        return
    if key == "skip":  # skip KIND REASON: the case cannot run on targets of that kind
        words = line.split(None, 2)
        if len(words) < 3:
            raise CaseError("skip takes a target kind and the reason")
        case.skips[words[1]] = words[2]
        return
    w = split_words(line)
    values = w[1:]

    def want(n):
        if len(values) != n:
            raise CaseError(f"'{key}' takes {n} value(s)")

    if key == "args":
        case.args = values
    elif key == "sim":
        case.sim_options += values
    elif key == "device":
        want(1)
        if values[0] not in ("sim", "none", "file"):
            raise CaseError("device is sim, none or file")
        case.device = values[0]
    elif key == "status" and values[:1] == ["signal"]:
        if len(values) != 2 or values[1] not in SIGNALS:
            raise CaseError("status signal is TERM or KILL")
        case.signal = SIGNALS[values[1]]
    elif key == "status":
        want(1)
        case.status = ms(values[0], "an exit status")
    elif key == "time":
        case.time = ms_range(values)
    elif key in ("timeout", "kill-after"):
        want(1)
        setattr(case, key.replace("-", "_"), ms(values[0]))
    elif key == "connects":
        want(1)
        if values[0] not in ("yes", "no"):
            raise CaseError("connects is yes or no")
        case.connects = values[0] == "yes"
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
        if values not in (["connect"], ["disconnect"]):
            raise CaseError("event is connect or disconnect")
        case.log.append(values[0])
    elif key == "stdout:":
        want(0)
        case.stdout = block().encode()
    elif key == "file" and (len(values) == 1 or (len(values) == 3 and values[1] == "repeat")):
        name = values[0][:-1]
        if (not values[0].endswith(":") or not name or "/" in name or name in (".", "..", "ttyMCU")
                or name.startswith(("sim.", "tool."))):
            raise CaseError(f"file name '{name}' is not a plain name of the case's own")
        times = ms(values[2]) if len(values) == 3 else 1
        case.files[name] = block().encode() * times
    else:
        raise CaseError(f"unknown keyword '{key}'")


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
    """When the tool is killed: the case's `timeout`, or twice its longest time (5 s at least)."""
    high = case.time[1] + allowance
    return case.timeout if case.timeout is not None else max(2 * high, high + 5000)


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
    low, high = case.time[0], case.time[1] + allowance
    if not run.timed_out and not low <= run.wall_ms <= high:
        extra = f" (the case's {case.time[1]} ms + {allowance} ms allowance)" if allowance else ""
        problems.append(f"the tool ran {run.wall_ms} ms, expected {low} to {high} ms{extra}")
    if run.err:
        problems.append("the tool wrote to standard error")
    return problems
