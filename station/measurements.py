"""The station's measurements: which tool runs each needs, in which order, and the verdicts.

The plan follows a fixed order that an operator can follow at the board: identity first (is
it the right firmware on the right board), then mains metering, the sensors, the relays (they
click), the RS485 and infrared ports, and the factory test, the longest, last.
"""

from __future__ import annotations

import logging
import math
import queue
import threading
import time
from dataclasses import dataclass, field
from typing import Callable, Sequence

from station.limits import Checker, Equals, Limits
from station.mcu_output import BadChecksum, LinkError, NoAnswer, parse_output, read_operation
from station.transport import ToolRun, Transport, TransportError
from station.verdicts import Verdict

log = logging.getLogger(__name__)

# How long each operation that the station uses keeps the tool busy (its fixed waits), in s.
WAITS = {"0": 0.3, "4": 1.4, "6": 3.0, "10": 5.0, "11": 0.5, "12": 2.0, "17": 0.4, "19": 0.5,
         "21": 0.5, "22": 0.5, "23": 0.5}
# The tool ends on its own after its waits; beyond that it is stuck.
TIMEOUT_MARGIN = 20.0


@dataclass(frozen=True)
class Step:
    number: int
    args: tuple[str, ...]
    title: str

    @property
    def wait(self) -> float:
        return WAITS.get(self.args[0], 1.0)

    @property
    def command(self) -> str:
        return "mcu_test " + " ".join(self.args)


@dataclass(frozen=True)
class Measurement:
    name: str
    title: str
    steps: tuple[Step, ...]  # the value is read from the last one
    key: str                 # the value's name in read_operation of the last step
    check: Checker
    commanded: int | None = None  # relay tests: the state switched to in the first step

    @property
    def commands(self) -> list[str]:
        return [s.command for s in self.steps]


@dataclass
class Result:
    name: str
    title: str
    value: object  # None when nothing was read, or nothing finite
    unit: str | None
    limits: dict[str, object]
    verdict: Verdict
    detail: str = ""
    operations: list[str] = field(default_factory=list)  # the tool runs it was judged on

    def as_dict(self) -> dict[str, object]:
        return {"name": self.name, "title": self.title, "value": self.value, "unit": self.unit,
                "limits": self.limits, "verdict": self.verdict.value, "detail": self.detail,
                "operations": self.operations}


def unjudged(m: Measurement, verdict: Verdict, detail: str = "",
             operations: Sequence[str] = ()) -> Result:
    """A result without a value: not run, or stopped before a value was read."""
    return Result(m.name, m.title, None, m.check.unit, m.check.describe(), verdict, detail,
                  list(operations))


# (name, title, tool arguments, value key, limits key), in the order of the run; the relay
# tests go in where "relays" stands.
CATALOGUE = [
    ("work_mode", "MCU work mode", ("0", "0"), "work_mode", "firmware.work_mode"),
    ("firmware_version", "MCU firmware version", ("0", "1"), "firmware_version",
     "firmware.version_min"),
    ("serial_number", "serial number", ("6",), "serial_number", "serial_number.pattern"),
    ("mains_voltage", "mains voltage", ("4",), "voltage", "mains.voltage"),
    ("mains_current", "load current", ("4",), "current", "mains.current"),
    ("mains_power", "load power", ("4",), "power", "mains.power"),
    ("mains_frequency", "mains frequency", ("22",), "mains_frequency", "mains.frequency"),
    ("zero_cross", "zero-cross detection", ("23",), "zero_cross", "mains.zero_cross"),
    ("temperature", "board temperature", ("11",), "temperature", "climate.temperature"),
    ("humidity", "board humidity", ("11",), "humidity", "climate.humidity"),
    ("ntc_temperature", "relay NTC temperature", ("21",), "ntc_temperature", "climate.ntc"),
    "relays",
    ("rs485_loopback", "RS485 loopback", ("17",), "rs485_loopback", "rs485.loopback"),
    ("ir_send", "infrared send", ("12", "2"), "ir_send", "infrared.send"),
    ("fct_result", "MCU factory test (FCT)", ("10",), "fct_result", "fct.result"),
]

# Steps that serve more than one measurement.
STEP_TITLES = {("4",): "mains metering: voltage, current, power, ...",
               ("11",): "temperature and humidity sensor"}


def build_plan(limits: Limits) -> list[Measurement]:
    """The measurements that the limits cover, in the catalogue's order, with their steps
    numbered; measurements that read the same operation share one step."""
    steps: dict[tuple, Step] = {}

    def step(args, title, shared=True):
        key = args if shared else (args, len(steps))
        if key not in steps:
            steps[key] = Step(len(steps) + 1, args, title)
        return steps[key]

    plan = []
    for entry in CATALOGUE:
        if entry == "relays":
            for test in limits.relays:
                for state in test.states:
                    word = "on" if state else "off"
                    relay = str(test.relay)
                    switch = step(("19", relay, str(state)), f"switch relay {relay} {word}", False)
                    read = step(("19", relay), f"read relay {relay} back", False)
                    plan.append(Measurement(f"relay{relay}_{word}", f"relay {relay} {word}",
                                            (switch, read), "relay_state", Equals(state), state))
            continue
        name, title, args, key, limits_key = entry
        if limits_key in limits.checks:
            plan.append(Measurement(name, title, (step(args, STEP_TITLES.get(args, title)),),
                                    key, limits.checks[limits_key]))
    return plan


def _not_read(outcome) -> tuple[Verdict, str] | None:
    if isinstance(outcome, NoAnswer):
        return Verdict.NO_ANSWER, outcome.detail
    if isinstance(outcome, BadChecksum):
        return Verdict.BAD_CHECKSUM, outcome.detail
    if isinstance(outcome, LinkError):
        return Verdict.ERROR, f"the tool could not use the UART: {outcome.detail}"
    if outcome is None:
        return Verdict.ERROR, "the tool's output holds no such value"
    return None


def _printed(value: float) -> str:
    """A non-finite float as the tool's "%f" prints it (the sign of a NaN included)."""
    sign = "-" if math.copysign(1.0, value) < 0 else ""
    return sign + ("nan" if math.isnan(value) else "inf")


def judge(m: Measurement, outcomes: list[dict]) -> Result:
    """The verdict of a measurement from read_operation's values of each of its steps."""
    check = m.check
    unit = check.unit
    result = unjudged(m, Verdict.ERROR, operations=m.commands)
    if m.commanded is not None:
        control = outcomes[0].get("relay_control")
        failed = _not_read(control)
        if failed:
            result.verdict, result.detail = failed[0], "switching: " + failed[1]
            return result
        if control.value != 1:
            result.detail = f"the MCU answered {control.value} to the switch command"
    outcome = outcomes[-1].get(m.key)
    failed = _not_read(outcome)
    if failed:
        result.verdict, result.detail = failed
        return result
    value = outcome.value
    # A NaN or an infinity is no reading; the records keep only finite numbers.
    finite = not isinstance(value, float) or math.isfinite(value)
    result.value = value if finite else None
    if unit is not None and outcome.unit != unit:
        result.detail = f"the value is in {outcome.unit}, the limits in {unit}"
        return result
    if not finite:
        result.verdict, result.detail = Verdict.FAIL, f"the tool printed {_printed(value)}"
        return result
    result.verdict = Verdict.PASS if check(value) else Verdict.FAIL
    return result


Progress = Callable[[Step, int, float], None]  # the running step, steps in plan, seconds left
Judged = Callable[[Measurement, Result], None]


class Station:
    """Runs the plan's steps (each once, all in one go: on a board one script) and judges
    each measurement as soon as its steps are in."""

    def __init__(self, plan: list[Measurement], transport: Transport,
                 progress: Progress = lambda step, total, left: None):
        self.plan, self.transport, self.progress = plan, transport, progress
        self.steps = sorted({s.number: s for m in plan for s in m.steps}.values(),
                            key=lambda s: s.number)
        self.runs: dict[int, ToolRun | TransportError] = {}
        # After the plan, a stop or a failure: every relay that the plan switches, off again.
        relays = sorted({s.args[1] for s in self.steps if s.args[0] == "19" and len(s.args) == 3},
                        key=int)
        self.teardown_calls = [(("19", r, "0"), WAITS["19"] + TIMEOUT_MARGIN) for r in relays]
        self.calls = [(s.args, s.wait + TIMEOUT_MARGIN) for s in self.steps]
        self.teardown: list[TeardownStep] = []
        self.unrecognised: list[str] = []
        self.lost: TransportError | None = None  # the board stopped answering
        self.step_seconds = 0.0  # the wall time of every tool run, transport included
        self.tool_seconds = 0.0  # the tool's own time, where it ran

    def run(self, judged: Judged, stop: threading.Event | None = None,
            meanwhile: Callable[[], None] = lambda: None) -> None:
        """Runs every step; judged(m, result) for each measurement in the plan's order of its
        last step. stop: no step starts after it is set (the one running ends first); the
        measurements that were not judged then are left to the caller. meanwhile: the
        caller's own work before the first judgement, done while the plan is on its way."""
        stop = stop or threading.Event()
        inbox: queue.Queue = queue.Queue()
        worker = threading.Thread(target=self._fetch, args=(inbox, stop), daemon=True)
        worker.start()
        meanwhile()
        pending = list(self.plan)
        started = time.monotonic()
        lost: TransportError | None = None
        for step in self.steps:
            while True:
                self.progress(step, len(self.steps),
                              max(step.wait - (time.monotonic() - started), 0))
                try:
                    item = inbox.get(timeout=0.2)
                    break
                except queue.Empty:
                    pass
            if item is None:  # stopped, or nothing more comes
                break
            if isinstance(item, _Lost):
                lost = item.error
                break
            self.runs[step.number] = item
            now = time.monotonic()
            self.step_seconds += now - started
            if isinstance(item, ToolRun) and item.seconds is not None:
                self.tool_seconds += item.seconds
            started = now
            for m in [m for m in pending if all(s.number in self.runs for s in m.steps)]:
                pending.remove(m)
                judged(m, self.measure(m))
        worker.join()
        self.teardown = [
            TeardownStep(f"mcu_test {' '.join(args)}", None, "", f"TransportError: {run}")
            if isinstance(run, TransportError) else
            TeardownStep(f"mcu_test {' '.join(args)}", run.status,
                         run.stdout.decode("utf-8", "replace"))
            for (args, _), run in zip(self.teardown_calls, self.transport.teardown)]
        self.lost = lost
        if lost is not None:
            # The board's console log (in the message after its first line) once, with the
            # first measurement that could not be judged; the others say what happened.
            why = f"TransportError: {lost}"
            for m in pending:
                judged(m, unjudged(m, Verdict.ERROR, why, m.commands))
                why = why.splitlines()[0]

    @property
    def bound_s(self) -> float:
        """The bounds of every run of the tool, the teardown's too, summed."""
        return sum(timeout for _, timeout in self.calls + self.teardown_calls)

    @property
    def lost_before_a_step(self) -> bool:
        """The console or the board's image failed before any step came back: no step ran."""
        return self.lost is not None and not self.runs

    def _fetch(self, inbox: queue.Queue, stop: threading.Event) -> None:
        runs = self.transport.run_all(self.calls, self.teardown_calls)
        try:
            for item in runs:
                inbox.put(item)
                if stop.is_set():
                    break
        except TransportError as e:
            inbox.put(_Lost(e))
        finally:
            runs.close()
            inbox.put(None)

    def measure(self, m: Measurement) -> Result:
        """The verdict of a measurement whose steps have all run."""
        outcomes = []
        for step in m.steps:
            run = self.runs[step.number]
            if isinstance(run, TransportError):
                return unjudged(m, Verdict.ERROR, f"TransportError: {run}", m.commands)
            output = parse_output(run.stdout)
            for line in output.unrecognised:
                note = f"{step.command}: {line}"
                if note not in self.unrecognised:
                    self.unrecognised.append(note)
                    log.warning("the tool's output not recognised: %s", note)
            outcomes.append(read_operation(step.args, output))
        result = judge(m, outcomes)
        # The tool ends with status 0 whatever the MCU did; anything else is a broken tool.
        for step in m.steps:
            status = self.runs[step.number].status
            if status != 0:
                result.verdict = Verdict.ERROR
                result.detail = f"{step.command} ended with status {status}"
        return result


@dataclass(frozen=True)
class TeardownStep:
    """A command that leaves the board safe after the plan (a relay off), and how it went."""
    command: str
    status: int | None  # None: it did not come back (detail says why)
    output: str
    detail: str = ""


@dataclass(frozen=True)
class _Lost:
    error: TransportError
