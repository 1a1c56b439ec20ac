"""Commands run on a board's shell over its console, as a real console carries them: the kernel
prints into it at any byte, bytes get lost or damaged, and the shell's line editor keeps at most
1,023 characters of a typed line.

One mechanism for every command on a console shell, a plan of one step or of many:

1. Preflight, once per boot: the console's echo goes off (the board need not send back what
   is typed), and one short typed line asks the board for what a plan needs (the
   busybox applets, a clock any user can read, room in /tmp, how its `timeout` is spelt). A
   board that lacks one is unsupported (`Unsupported`), and no step runs.
2. The plan goes over as a shell script, gzip'ed in Base64, in short typed lines (CHUNK
   characters each), every line answered by the board with its MD5; a line whose answer does
   not match is typed again. The line that runs the script runs it only when gzip found it
   whole (its CRC), and only once however often that line is typed. The plans'
   functions go over once a boot, the same way, into a file; a short plan (a single command)
   then comes in the line that runs it.
3. Each step's result comes back as one line: `mcu-step N NONCE OUT ERR`, the step's number,
   this run's nonce, its output and its standard error gzip'ed in Base64. After the output, on
   a line of its own inside the gzip'ed part, come the step's number and nonce again, its exit
   status, the board's clock around it (centiseconds, /proc/uptime) and whether kill_after_ms
   sent it SIGTERM: gzip's CRC guards them with the output, and the line's number and nonce
   must agree with them. Only complete lines that pass both checks count; everything else on
   the console is noise, kept in the console log. The board keeps each result in a file, and a
   result that did not come back whole is asked for again once the plan has ended; two copies
   damaged each in its own place are put together (`mend`), and a step whose copies cannot be
   is an error laid to the console.
4. A stop (Ctrl-C on the console) is trapped by the script: the running step ends as it would
   have (the steps run in the background, where SIGINT is ignored), no further step starts, the
   teardown steps run, and the script ends. After the last step, a stop or a failure, the
   teardown steps always run. Then `mcu-end NONCE STOPPED` and the shell's prompt.

The typed lines never hold a keyword of the board's answers whole (it is split by quotes), so
their echo cannot pass for an answer. A byte lost from a typed line must not change what it does
into something else that runs: the lines use `if ... fi` rather than `&&` and `||` (one lost `|`
would pipe the plan's output away), delete nothing (`rm`) beside other words, and a board found
lacking something is asked a second time before it counts as unsupported. A kernel message that
lands inside a line is cut out of it (its time stamp says where it starts, its line end where
it ends), so that the line around it still counts.
"""

from __future__ import annotations

import base64
import binascii
import gzip
import hashlib
import itertools
import re
import secrets
import shlex
import signal
import time
import zlib
from dataclasses import dataclass, field
from difflib import SequenceMatcher
from typing import Callable, Iterator, Protocol, Sequence

# Characters of Base64 in one typed line of the plan: with the command around it a line stays
# far below the line editor's 1,023. A script up to INLINE characters comes in the line that
# runs it.
CHUNK = 160
INLINE = 480
# How often an exchange is typed again before the board counts as lost.
TRIES = 4
# Beyond a step's own bound: encoding its output and the console's delays.
STEP_SLACK_S = 10.0
# For a short exchange's answer (a plan line's MD5, the preflight, the prompt).
ANSWER_S = 5.0
# The applets a plan uses.
APPLETS = ("base64", "gzip", "md5sum", "timeout", "cat", "rm", "mkfifo", "sleep", "kill")


class Lost(Exception):
    """The board stopped answering; nothing more will come."""


class Unsupported(Exception):
    """The board's image lacks what a plan needs; no step ran."""


@dataclass(frozen=True)
class Step:
    argv: Sequence[str]
    timeout_ms: int  # the board kills it (SIGKILL) after this, in whole seconds rounded up
    kill_after_ms: int | None = None  # SIGTERM at this moment when it still runs
    merged: bool = True  # standard error with the output, in the order written


@dataclass(frozen=True)
class Run:
    out: bytes
    err: bytes  # empty when merged
    status: int  # exit status, or -N when ended by signal N
    wall_ms: int  # on the board's clock, 10 ms resolution
    killed: bool  # its bound ended it
    term_sent: bool


class Damaged(Exception):
    """A step's result did not come back whole, twice: the console's fault, not the board's."""


@dataclass
class Counts:
    """What the console did to one board's exchanges."""
    noise_lines: int = 0  # lines that were no answer of ours (echo, prompts, errors)
    kernel_messages: int = 0  # cut out of the lines they landed in
    damaged: int = 0  # answers of ours that came back damaged
    asked_again: int = 0  # results asked for once more
    mended: int = 0  # results rebuilt from two damaged copies
    retyped: int = 0  # typed lines typed again
    stops: int = 0  # Ctrl-C sent to stop a plan


class Console(Protocol):
    def read(self, timeout: float) -> bytes:
        """What the console has, waiting up to timeout for something; b"" when nothing came.
        Lost when the console is gone."""

    def write(self, data: bytes) -> None: ...


def _split(keyword: str) -> str:
    """The keyword as typed: quoted in two parts, so that its echo is not the keyword."""
    return f"\"{keyword[:4]}\"'{keyword[4:]}'"


@dataclass(frozen=True)
class Preflight:
    """What the preflight found: how `timeout` is spelt there."""
    timeout: str  # "timeout -s KILL" or, before busybox 1.30, "timeout -s KILL -t"


def preflight_line(nonce: str) -> str:
    checks = " ".join(APPLETS)

    def unless(test: str, say: str) -> str:
        return f"if {test}; then :; else echo $p {say}; fi; "

    # The echo goes first: a console shell need not send back every typed byte (half of a
    # plan's console traffic, and busybox's line editor redraws a long line as it goes).
    return (f"stty -echo 2>/dev/null; p={_split('mcu-pre')}\\ {nonce}; for a in {checks}; do "
            f"{unless('command -v $a >/dev/null', 'lack $a')}done; "
            + unless("read u _ </proc/uptime", "lack uptime")
            + unless(f"echo >/tmp/{nonce}.t", "lack tmp")
            + unless("timeout -s KILL 1 true 2>/dev/null", "old-timeout")
            + "echo $p done")


def preflight_answer(nonce: str) -> re.Pattern:
    return re.compile(rf"mcu-pre {nonce} (lack [a-z0-9]+|old-timeout|done)")


def judge_preflight(found: Sequence[str]) -> Preflight:
    """The Preflight of the answers (preflight_answer's group), Unsupported when something
    lacks."""
    lacks = [f.split()[1] for f in found if f.startswith("lack ")]
    if lacks:
        raise Unsupported("board image unsupported: " + ", ".join(f"no {a}" for a in lacks))
    return Preflight("timeout -s KILL -t" if "old-timeout" in found else "timeout -s KILL")


# The start's line twice: a first step longer than an answer's wait must not be taken for a
# plan that did not start.
# The guard is a file made by the shell itself (noclobber: made only when it is not there), so
# that a second run of the script ends at once: no process started before the first step.
START = r"""N=@N@; cd /tmp; set -C; { : >$N.run; } 2>/dev/null || exit 0; set +C
echo "mcu-start $N"; echo "mcu-start $N"; x=0
trap 'x=1; echo "mcu-stop $N"' INT
"""
# c: the clock into a variable.
# w: wait for a process, again when a stop's trap broke the wait.
# q: step n's result line, kept in a file; its figures go after the output, inside the gzip'ed
#    part, whose CRC guards them (no checksum process a step).
# a: the answers: one process beside the steps makes each finished step's line, so that no
#    process starts between two steps; at a lower priority, its work waits while a step starts.
# b: a started on the boot's FIFO, opened for reading and writing (no open waits, where a
#    stop's signal could break it); only the script holds it for writing, so a sees its end.
# y: the FIFO closed and a's last line out (before the teardown, and at the end).
# s: one step, handed to a when it ends.
# z: the end; earlier plans' files (its arguments) go here, where no step waits for it.
FUNCTIONS = r"""c(){ read u _ </proc/uptime; eval $1=${u%.*}${u#*.}; }
w(){ wait $1; r=$?; while [ $r = 130 ]; do wait $1; q=$?; [ $q = 127 ] && break; r=$q; done; }
q(){ { echo; echo "$n $N $rc $t0 $t1 $j"; } >>$N.$n.o
 o=$(gzip -c <$N.$n.o | base64 -w 0); g=-; [ $m = 1 ] || g=$(gzip -c <$N.$n.e | base64 -w 0)
 echo "mcu-step $n $N $o $g" >$N.$n.r; echo "mcu-step $n $N $o $g"; }
a(){ exec 3>&-; while read n m rc t0 t1 j; do q; done; }
s(){ n=$1 b=$2 k=$3 m=$4; shift 4; j=0; c t0
 if [ $m = 1 ]; then @TIMEOUT@ $b "$@" </dev/null >$N.$n.o 2>&1 3>&- &
 else @TIMEOUT@ $b "$@" </dev/null >$N.$n.o 2>$N.$n.e 3>&- & fi
 p=$!
 if [ $k != 0 ]; then sleep $k; { read v; read v; read v st v; } </proc/$p/status 2>/dev/null
  case $st in R|S|D) kill -TERM $p 2>/dev/null && j=1;; esac; fi
 w $p; rc=$r; c t1; echo "$n $m $rc $t0 $t1 $j" >&3; }
b(){ [ -p @FIFO@ ] || mkfifo @FIFO@; exec 3<>@FIFO@; a <@FIFO@ & e=$!
 renice -n 10 -p $e >/dev/null 2>&1; }
y(){ exec 3>&-; w $e; }
z(){ y; [ $# = 0 ] || rm -rf "$@"; echo "mcu-end $N $x" >$N.end; cat $N.end; }
"""


def library(board: Preflight, fifo: str = "$N.f") -> str:
    """The plans' functions, for a board with this preflight; fifo: the answers' FIFO."""
    return FUNCTIONS.replace("@TIMEOUT@", board.timeout).replace("@FIFO@", fifo)


def plan_script(nonce: str, board: Preflight, steps: Sequence[Step],
                teardown: Sequence[Step] = (), library_file: str | None = None,
                stale: Sequence[str] = ()) -> str:
    """The board's script: the steps numbered from 1, then the teardown's after them; a stop
    skips the steps that have not started, never the teardown. With library_file, the
    functions come from that file on the board (put there once a boot) instead of the script.
    stale: nonces of earlier runs whose files go first."""
    def call(n: int, step: Step) -> str:
        bound = max(1, -(-step.timeout_ms // 1000))
        kill = f"{step.kill_after_ms / 1000:.3f}" if step.kill_after_ms is not None else "0"
        return f"s {n} {bound} {kill} {int(step.merged)} {shlex.join(step.argv)}"

    functions = f". {library_file}\n" if library_file else library(board)
    lines = [START.replace("@N@", nonce) + functions + "b"]
    lines += [f"[ $x = 1 ] || {call(n, s)}" for n, s in enumerate(steps, 1)]
    if teardown:
        lines += ["y; b", *(call(n, s) for n, s in enumerate(teardown, len(steps) + 1))]
    lines += [" ".join(["z", *(f"/tmp/{n}.*" for n in stale)])]
    return "\n".join(lines) + "\n"


def encoded(script: str) -> str:
    return base64.b64encode(gzip.compress(script.encode(), mtime=0)).decode()


def chunks(nonce: str) -> str:
    """The chunks' files, exactly: a name that a lost byte shortened (a stray file) is no
    chunk."""
    return f"/tmp/{nonce}.c[0-9][0-9][0-9]"


def chunk_lines(nonce: str, script: str) -> list[tuple[str, str]]:
    """The typed lines that put the script on the board: (line, the MD5 its answer must hold)."""
    text = encoded(script)
    lines = []
    for k in range(0, len(text), CHUNK):
        part, name = text[k:k + CHUNK], f"/tmp/{nonce}.c{k // CHUNK:03d}"
        lines.append((f"echo {part} >{name}; md5sum {name}",
                      hashlib.md5((part + "\n").encode()).hexdigest()))
    return lines


def run_line(nonce: str, script: str, inline: bool = False) -> str:
    """The typed line that unpacks the script on the board and runs it only when gzip found
    it whole (its CRC); inline: the script comes in this line itself (a short one), else from
    the chunks put there before."""
    source = f"echo {encoded(script)}" if inline else f"cat {chunks(nonce)}"
    return (f"cd /tmp; if {source} | base64 -d | gzip -d >{nonce}.sh; then sh {nonce}.sh; "
            f"else echo {_split('mcu-bad')} {nonce}; fi")


_RESULT = re.compile(r"mcu-step (\d+) ([0-9a-f]+) ([A-Za-z0-9+/=]+) ([A-Za-z0-9+/=]+|-)")
# After the output, on a line of its own: the step, the run, the exit status, the clock
# around the run and whether SIGTERM was sent.
_FIGURES = re.compile(rb"(\d+) ([0-9a-f]+) (\d+) (\d+) (\d+) ([01])")


def _unzip(text: str) -> bytes | None:
    try:
        return gzip.decompress(base64.b64decode(text, validate=True))
    except (binascii.Error, OSError, EOFError, zlib.error):
        return None


def parse_result(line: str, nonce: str, bounds_ms: Sequence[int]) -> tuple[int, Run] | None:
    """The step number and Run of a whole result line of this run, else None."""
    m = _RESULT.fullmatch(line)
    if not m or m.group(2) != nonce:
        return None
    n = int(m.group(1))
    if not 1 <= n <= len(bounds_ms):
        return None
    body, err = _unzip(m.group(3)), b"" if m.group(4) == "-" else _unzip(m.group(4))
    if body is None or err is None or not body.endswith(b"\n"):
        return None
    out, _, figures = body[:-1].rpartition(b"\n")
    f = _FIGURES.fullmatch(figures)
    if not f or int(f.group(1)) != n or f.group(2).decode() != nonce:
        return None  # the line's own number or nonce damaged into another's
    rc, t0, t1 = int(f.group(3)), int(f.group(4)), int(f.group(5))
    wall_ms = (t1 - t0) * 10
    # The shell reports a program ended by signal N as 128 + N; the tool's own statuses are small.
    status = -(rc - 128) if rc > 128 else rc
    killed = status == -signal.SIGKILL and wall_ms >= bounds_ms[n - 1] - 1000
    return n, Run(out, err, status, wall_ms, killed, f.group(6) == b"1")


def mend(line: str, other: str, nonce: str, bounds_ms: Sequence[int]
         ) -> tuple[int, Run] | None:
    """A result line rebuilt from two damaged copies of it (as parse_result gives it): where
    they differ, each choice of one's text or the other's, until a line passes every check
    (gzip's CRC among them). Each copy has usually lost a byte of its own; None when no choice
    passes."""
    ops = [op for op in SequenceMatcher(None, line, other, autojunk=False).get_opcodes()
           if op[0] != "equal"]
    if len(ops) > 6:  # not a byte here and there: not copies of one line
        return None
    for picks in itertools.product((False, True), repeat=len(ops)):
        text, at = [], 0
        for (_, i1, i2, j1, j2), theirs in zip(ops, picks):
            text += [line[at:i1], other[j1:j2] if theirs else line[i1:i2]]
            at = i2
        result = parse_result("".join(text) + line[at:], nonce, bounds_ms)
        if result is not None:
            return result
    return None


# A kernel message on the console: its time stamp, its text, its line end. printk starts it at
# whatever column the console is at, inside a line of ours too.
_KERNEL = re.compile(rb"\[ *\d+\.\d+\] [^\n]*\n")


class Lines:
    """The console read as whole lines, kernel messages cut out of them (and counted); a line
    that a lost byte broke is just a line that is no answer."""

    def __init__(self, console: Console, counts: Counts,
                 clock: Callable[[], float] = time.monotonic):
        self.console, self.counts, self.clock = console, counts, clock
        self.pending = b""

    def _read(self, deadline: float) -> bool:
        left = deadline - self.clock()
        if left <= 0:
            return False
        self.pending += self.console.read(min(left, 1.0))
        self.pending, cut = _KERNEL.subn(b"", self.pending)
        self.counts.kernel_messages += cut
        return True

    def next(self, deadline: float, prompt: re.Pattern | None = None) -> str | None:
        """The next whole line (without its line end), or None at the deadline, or once the
        shell's prompt follows the last whole line (left for tail_has: the command ended)."""
        while b"\n" not in self.pending:  # every line end left is a line's of ours
            if prompt is not None and prompt.search(self.pending):
                return None
            if not self._read(deadline):
                return None
        line, _, self.pending = self.pending.partition(b"\n")
        return line.rstrip(b"\r").decode("ascii", "replace")

    def tail_has(self, pattern: re.Pattern, deadline: float) -> bool:
        """Whether what follows the last whole line comes to match pattern (a prompt) by the
        deadline."""
        while not pattern.search(self.pending):
            if not self._read(deadline):
                return False
        self.pending = b""
        return True


@dataclass
class _Run:
    """What has come back of one plan so far."""
    nonce: str
    bounds_ms: list[int]  # of the steps, then of the teardown
    steps: int  # how many of them are the plan's own
    started: bool | None = False  # None: the board found the script damaged
    stop_seen: bool = False
    stopped: bool | None = None  # from the end's line: None until it came
    results: dict[int, Run] = field(default_factory=dict)
    heard: set[int] = field(default_factory=set)  # steps with a line, whole or not
    copies: dict[int, list[str]] = field(default_factory=dict)  # damaged lines, by step
    mended: int = 0

    def progress(self) -> tuple[int, int, bool | None]:
        return len(self.results), len(self.heard), self.stopped

    def take(self, line: str) -> bool:
        """Takes a line if it is an answer of this run."""
        nonce = self.nonce
        if line in (f"mcu-start {nonce}", f"mcu-stop {nonce}"):
            self.started = True
            self.stop_seen |= line.startswith("mcu-stop")
            return True
        if line == f"mcu-bad {nonce}":
            self.started = None
            return True
        if line in (f"mcu-end {nonce} 0", f"mcu-end {nonce} 1"):
            self.stopped = line.endswith("1")
            return True
        step = re.match(rf"mcu-step (\d+) {nonce} ", line)
        if step:
            self.started = True
            self.heard.add(int(step.group(1)))
        result = parse_result(line, nonce, self.bounds_ms)
        if result is None and step:
            result = self._mended(int(step.group(1)), line)
        if result is not None:
            self.results.setdefault(*result)
            return True
        return False

    def _mended(self, n: int, line: str) -> tuple[int, Run] | None:
        """Step n's result rebuilt from this damaged line and an earlier damaged copy."""
        for other in self.copies.get(n, []):
            result = mend(line, other, self.nonce, self.bounds_ms)
            if result is not None:
                self.mended += 1
                return result
        self.copies.setdefault(n, []).append(line)
        return None

    def silence_s(self) -> float:
        """How long the board may stay silent: the bounds of the step that should be running
        and of the one after it (in case the last answer was lost)."""
        running = max(self.heard, default=0)
        later = self.bounds_ms[running:running + 2]
        if self.stop_seen and running < self.steps:  # after the running step, the teardown
            later = self.bounds_ms[running:running + 1] + self.bounds_ms[self.steps:][:1]
        return sum(later) / 1000 + STEP_SLACK_S


class Session:
    """A board's console shell at its prompt, running plans (`run`). `counts` says what the
    console did; `teardown` holds the last plan's teardown results."""

    def __init__(self, console: Console, prompt: str,
                 clock: Callable[[], float] = time.monotonic):
        self.console, self.clock = console, clock
        self.prompt = re.compile(prompt.encode())
        # Without an echo, an answer typed for after a prompt that nothing read begins on the
        # prompt's line.
        self.after_prompt = re.compile(f"(?:{prompt})+")
        self.counts = Counts()
        self.lines = Lines(console, self.counts, clock)
        self.found: Preflight | None = None
        self.library_file: str | None = None  # the plans' functions on the board
        self.stale: list[str] = []  # nonces whose files are still there: the next plan's go
        self.teardown: list[Run | Damaged] = []

    # -- typed exchanges -------------------------------------------------------------------
    def _type(self, line: str) -> None:
        self.console.write(line.encode() + b"\n")

    def _answers(self, take: Callable[[str], bool], done: Callable[[], bool],
                 wait_s: float, ends_at_prompt: bool = False) -> None:
        """Reads lines until done() or for wait_s; take() says whether a line is an answer.
        ends_at_prompt: a single command's answers, over once the shell's prompt is back."""
        deadline = self.clock() + wait_s
        while not done():
            line = self.lines.next(deadline, self.prompt if ends_at_prompt else None)
            if line is None:
                return
            line = line[m.end():] if (m := self.after_prompt.match(line)) else line
            if not take(line):
                self.counts.noise_lines += 1
                if re.search(r"mcu-(step|end|start|stop) ", line):
                    self.counts.damaged += 1

    def _settle(self) -> None:
        """Waits for the prompt after an exchange, so that the next typed line is the shell's.
        When it does not come, Ctrl-C: a damaged typed line may have left the shell inside a
        quote (no plan runs at these moments)."""
        if self.lines.tail_has(self.prompt, self.clock() + ANSWER_S):
            return
        self.console.write(b"\x03")
        if not self.lines.tail_has(self.prompt, self.clock() + ANSWER_S):
            raise Lost("the shell's prompt did not come back")

    def preflight(self) -> Preflight:
        """Once per boot: what the board has. Unsupported when it lacks something. Anything
        but "all there" must come twice alike: a lost byte can make a check fail."""
        if self.found is not None:
            return self.found
        seen: list[list[str]] = []
        for _ in range(3 * TRIES):  # a long line: more often damaged than the others
            nonce = secrets.token_hex(4)
            found: list[str] = []
            pattern = preflight_answer(nonce)

            def take(line: str) -> bool:
                m = pattern.fullmatch(line)
                if m:
                    found.append(m.group(1))
                return m is not None

            self._type(preflight_line(nonce))
            self.stale.append(nonce)  # its file in /tmp: the next plan removes it
            self._answers(take, lambda: "done" in found, ANSWER_S, ends_at_prompt=True)
            self._settle()
            if "done" in found and (found == ["done"] or sorted(found) in seen):
                self.found = judge_preflight(found)
                return self.found
            if "done" in found:
                seen.append(sorted(found))
            self.counts.retyped += 1
        raise Lost(f"no answer to the preflight after {3 * TRIES} tries")

    def _library(self) -> str:
        """Once a boot, after the preflight: the plans' functions put in a file on the board,
        checked by its MD5, so that each plan is short."""
        if self.library_file is None:
            found = self.preflight()
            nonce = secrets.token_hex(4)
            name = f"/tmp/mcu-lib.{nonce}.sh"
            text = library(found, f"/tmp/mcu-lib.{nonce}.f")
            digest = hashlib.md5(text.encode()).hexdigest()
            self._deliver(nonce, text)
            for _ in range(TRIES):
                self._type(f"cat {chunks(nonce)} | base64 -d | gzip -d >{name}; md5sum {name}")
                done: list[str] = []

                def take(line: str) -> bool:
                    if line == f"{digest}  {name}":
                        done.append(line)
                    return bool(done)

                self._answers(take, lambda: bool(done), ANSWER_S, ends_at_prompt=True)
                self._settle()
                if done:
                    self.stale.append(nonce)  # its lines' files: the next plan removes them
                    self.library_file = name
                    return name
                self.counts.retyped += 1
            raise Lost(f"the plans' functions did not reach the board whole after {TRIES} tries")
        return self.library_file

    def _deliver(self, nonce: str, script: str) -> None:
        """The script's lines, one at a time, each typed again until its MD5 comes back. Not
        typed ahead: busybox ash's line editor mangles lines typed while a command runs (it
        switches the terminal between raw and cooked mode around each one)."""
        pattern = re.compile(rf"([0-9a-f]{{32}})  /tmp/{nonce}\.c(\d+)")
        for k, (line, digest) in enumerate(chunk_lines(nonce, script)):
            came: list[bool] = []

            def take(text: str) -> bool:
                m = pattern.fullmatch(text)
                if m and int(m.group(2)) == k and m.group(1) == digest:
                    came.append(True)
                return m is not None

            for _ in range(2 * TRIES):  # each line on its own: a long plan has more to lose
                self._type(line)
                self._answers(take, lambda: bool(came), ANSWER_S, ends_at_prompt=True)
                self._settle()
                if came:
                    break
                self.counts.retyped += 1
            else:
                raise Lost(f"line {k + 1} of the plan did not reach the board whole after "
                           f"{2 * TRIES} tries")

    # -- a plan -----------------------------------------------------------------------------
    def run(self, steps: Sequence[Step], teardown: Sequence[Step] = ()
            ) -> Iterator[Run | Damaged]:
        """Runs the steps, then the teardown, and yields each step's Run in order as soon as
        it and those before it are in (Damaged for a result that the console damaged twice).
        Closing the iterator early stops the plan between steps; the teardown still runs.
        Lost: the board stopped answering; Unsupported: the preflight found something
        missing."""
        found, functions = self.preflight(), self._library()
        nonce = secrets.token_hex(4)
        script = plan_script(nonce, found, steps, teardown, functions, self.stale)
        every = [*steps, *teardown]
        run = _Run(nonce, [s.timeout_ms for s in every], len(steps))
        self.teardown = []
        try:
            # a short plan comes in the line that runs it; when that long line does not
            # arrive whole twice, the plan goes in short lines, as a long one does
            if not (len(encoded(script)) <= INLINE and self._start(run, script, True, 2)):
                self._deliver(nonce, script)
                if not self._start(run, script, False, TRIES):
                    raise Lost(f"the plan did not start after {TRIES} tries")
        finally:
            self.stale = [*(self.stale if not run.started else []), nonce]
        given = 0
        try:
            while run.stopped is None:
                before = run.progress()
                self._answers(run.take, lambda: run.progress() != before, run.silence_s())
                if run.progress() == before:
                    self._end_or_lost(run, len(every))
                while given < len(steps) and given + 1 in run.results:
                    given += 1
                    yield run.results[given]
            self._settle()
            self._ask_again(run, [n for n in range(1, len(every) + 1) if n not in run.results])
            for n in range(given + 1, len(steps) + 1):
                given = n
                yield run.results.get(n) or Damaged(f"the console damaged step {n}'s result "
                                                    f"twice")
        except GeneratorExit:
            self._stop(run)
            raise
        finally:
            self.counts.mended += run.mended
            if run.stopped is not None:
                self.teardown = [run.results.get(n) or Damaged(f"the console damaged teardown "
                                                               f"step {n}'s result twice")
                                 for n in range(len(steps) + 1, len(every) + 1)]

    def _start(self, run: _Run, script: str, inline: bool, tries: int) -> bool:
        """Types the line that runs the plan until the plan starts (True), at most tries
        times."""
        for _ in range(tries):
            self._type(run_line(run.nonce, script, inline))
            self._answers(run.take, lambda: run.started is not False, ANSWER_S)
            if run.started:
                return True
            run.started = False
            self.counts.retyped += 1
            self._settle()
        return False

    def _end_or_lost(self, run: _Run, count: int) -> None:
        """Nothing came in time: the end's line may be what the console lost, so it is asked
        for (should the script still run, the shell takes the line after it); no answer to a
        few asks, and the board is lost."""
        for _ in range(TRIES):  # the ask itself may be what the console damages
            self.counts.asked_again += 1
            self._type(f"cat /tmp/{run.nonce}.end")
            self._answers(run.take, lambda: run.stopped is not None, ANSWER_S)
            if run.stopped is not None:
                return
        raise Lost(f"no answer for {run.silence_s():.0f} s (heard of {len(run.heard)} of "
                   f"{count} steps)")

    def _ask_again(self, run: _Run, missing: list[int]) -> None:
        """Results that did not come back whole, asked for once more (the typed line twice,
        should the ask itself be lost)."""
        self.counts.asked_again += len(missing)
        for _ in range(2):
            left = [n for n in missing if n not in run.results]
            if not left:
                return
            self._type("cat " + " ".join(f"/tmp/{run.nonce}.{n}.r" for n in left))
            self._answers(run.take, lambda: all(n in run.results for n in left), ANSWER_S,
                          ends_at_prompt=True)
            self._settle()

    def _stop(self, run: _Run) -> None:
        """Ctrl-C until the script says that it stops, then its end: the running step's bound
        and the teardown's."""
        for _ in range(TRIES):
            if run.stop_seen or run.stopped is not None:
                break
            self.counts.stops += 1
            self.console.write(b"\x03")
            self._answers(run.take, lambda: run.stop_seen or run.stopped is not None,
                          ANSWER_S / 2)
        while run.stopped is None:
            before = run.progress()
            self._answers(run.take, lambda: run.progress() != before, run.silence_s())
            if run.progress() == before:
                self._end_or_lost(run, len(run.bounds_ms))
        self._settle()
        # the trap's own line may have broken a result being written: the teardown's count
        self._ask_again(run, [n for n in range(run.steps + 1, len(run.bounds_ms) + 1)
                              if n not in run.results])


# -- over a command runner (SSH) ---------------------------------------------------------------

class CommandSession:
    """The same script and answers over a runner of whole commands (labgrid's CommandProtocol,
    e.g. SSH): `command(text, timeout_s)` gives the lines it printed. Each step is a command of
    its own, so that it comes back as soon as it ends; the teardown runs when the steps end or
    stop."""

    def __init__(self, command: Callable[[str, float], Sequence[str]]):
        self.command = command
        self.found: Preflight | None = None
        self.teardown: list[Run | Damaged] = []

    def preflight(self) -> Preflight:
        if self.found is None:
            nonce = secrets.token_hex(4)
            pattern = preflight_answer(nonce)
            found = [m.group(1) for m in map(pattern.fullmatch, self.command(
                preflight_line(nonce), ANSWER_S)) if m]
            if "done" not in found:
                raise Lost("no answer to the preflight")
            self.found = judge_preflight(found)
        return self.found

    def _script(self, steps: Sequence[Step]) -> list[Run | Damaged]:
        nonce = secrets.token_hex(4)
        script = plan_script(nonce, self.preflight(), steps)
        text = base64.b64encode(gzip.compress(script.encode(), mtime=0)).decode()
        run = _Run(nonce, [s.timeout_ms for s in steps], len(steps))
        bound = sum(run.bounds_ms) / 1000 + STEP_SLACK_S
        for line in self.command(f"cd /tmp && echo {text} | base64 -d | gzip -d >{nonce}.sh && "
                                 f"sh {nonce}.sh; rm -rf /tmp/{nonce}.*", bound):
            run.take(line.rstrip("\r"))
        if run.stopped is None:
            raise Lost("the plan's end did not come back")
        return [run.results.get(n) or Damaged(f"step {n}'s result came back damaged")
                for n in range(1, len(steps) + 1)]

    def run(self, steps: Sequence[Step], teardown: Sequence[Step] = ()
            ) -> Iterator[Run | Damaged]:
        self.teardown = []
        try:
            for step in steps:
                yield self._script([step])[0]
        finally:
            if teardown:
                self.teardown = self._script(teardown)
