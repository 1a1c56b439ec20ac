"""What mcu_test prints, turned into typed values.

This module is the only code of the station that knows the tool's text. The tool prints for a
person: the receiver thread echoes every byte it reads ("0xaa,0x5,"), prints a check line for
every reply frame ("checksum:39 == 39 "), the reply's event id and what the reply means
("ver:7 "); the main thread prints its own trace and report lines in between. Both threads
write without a lock, so the byte echo (which has no line end) can share a line with the next
line printed.

Two layers:

* `parse_output(text)` reads the whole standard output of one run, line by line, into
  `Record`s (one per recognised line), the echoed byte stream and the lines it did not
  recognise. It never raises on odd input.
* `read_operation(args, output)` knows which replies an operation asks for and returns one
  `Outcome` per value: a `Reading` (value and unit), `NoAnswer` (no reply frame seen) or
  `BadChecksum` (a "checksum:%x == %x" line whose two values differ, for that reply).
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from typing import Callable, Sequence

# The MCU's codes, from the link's one table in Python (the sigrok decoder's).
from sigrok.mcu_link import lists as code

# ---------------------------------------------------------------------------------------------
# Outcomes


@dataclass(frozen=True)
class Reading:
    """A value that the MCU reported; unit is None for states and flags."""

    value: object
    unit: str | None = None


@dataclass(frozen=True)
class NoAnswer:
    """No reply frame for the value was seen within the operation's wait."""

    detail: str = "no reply frame"


@dataclass(frozen=True)
class BadChecksum:
    """The reply arrived, but its checksum byte did not match; the tool dropped it."""

    computed: int
    received: int

    @property
    def detail(self) -> str:
        return f"checksum {self.computed:x} computed, {self.received:x} received"


@dataclass(frozen=True)
class LinkError:
    """The tool could not use the UART at all (its own error line)."""

    detail: str


Outcome = Reading | NoAnswer | BadChecksum | LinkError

# ---------------------------------------------------------------------------------------------
# Line layer


@dataclass(frozen=True)
class Record:
    """One recognised line: its kind, its fields and the text it was read from."""

    kind: str
    fields: tuple
    text: str


@dataclass(frozen=True)
class Check:
    """A reply frame's check line, with the event id recovered from the byte echo if possible."""

    computed: int
    received: int
    event: int | None

    @property
    def ok(self) -> bool:
        return self.computed == self.received


@dataclass
class Output:
    records: list[Record] = field(default_factory=list)
    checks: list[Check] = field(default_factory=list)
    echo: bytes = b""
    unrecognised: list[str] = field(default_factory=list)

    def all(self, kind: str) -> list[Record]:
        return [r for r in self.records if r.kind == kind]

    def first(self, kind: str) -> Record | None:
        for r in self.records:
            if r.kind == kind:
                return r
        return None


_INT = r"(-?\d+)"
_UINT = r"(\d+)"
_HEX = r"([0-9a-f]+)"
# "%f" prints six decimals; an infinite or undefined float prints inf / nan (with a sign).
_FLOAT = r"(-?(?:\d+\.\d+|inf|nan))"


def _i(text: str) -> int:
    return int(text, 10)


def _x(text: str) -> int:
    return int(text.strip(), 16)


def _f(text: str) -> float:
    return float(text)


# (kind, pattern, converters). Patterns match a whole line after trailing blanks are removed.
_LINES: list[tuple[str, str, tuple[Callable[[str], object], ...]]] = [
    # the driver's lines
    ("ops", rf"ops:{_INT}", (_i,)),
    ("arg_err", r"arg err", ()),
    ("argc", rf"argc:{_INT}", (_i,)),
    ("input_argc", rf"input argc:{_INT} <4", (_i,)),
    ("input_len", rf"input_len:{_INT}", (_i,)),
    ("usage", r"rs485 set err\.", ()),
    ("usage", r"\* baudrate:\t 115200 9600", ()),
    ("usage", r"\* data_width:\t0\(7\) 1\(8\) 2\(9\)", ()),
    ("usage", r"\* stop_bits:\t0\(1\) 1\(1\.5\) 2\(2\)", ()),
    ("usage", r"\* parity:\t0\(NO\) 1\(EVEN\) 2\(ODD\)", ()),
    ("trace", r"mcu_get (?:mode|version|type)\.", ()),
    ("trace", r"get Key in 10 second", ()),
    ("trace", r"sensor test\.", ()),
    ("trace", r"mcu_soft_test ---\.", ()),
    ("trace", rf"PWM_duty:{_INT}", (_i,)),
    ("trace", r"<ir>(?:carrier|send raw|send new)\.", ()),
    ("fct_result", rf"mcu fct test: {_INT}", (_i,)),
    ("rs485_report", rf"<rs485>send\. {_INT}:{_INT} {_FLOAT}%", (_i, _i, _f)),
    ("dots", r"\.+", ()),
    # the command builders' trace lines
    ("trace", r"len:\d+(?: \d+)?", ()),
    ("trace", r"set baudrate:\d+", ()),
    ("trace", r"set relay_numb:\d+", ()),
    ("trace", r"set numb:\d+", ()),
    ("trace", r"mcu_key_test:key num \d+", ()),
    ("trace", r"mcu_pwr_to_load_test|mcu_pwr_load_short_test", ()),
    ("trace", r"-{15}", ()),
    # the serial layer's failures
    ("link_error", r"open (.*) err\.", (str,)),
    ("link_error", r"(tcgetattr err\.|com set err\.)", (str,)),
    ("write_error", r"serial write data err\.", ()),
    # the receiver
    ("checksum", rf"checksum:{_HEX} == {_HEX}", (_x, _x)),
    ("event", rf"event id:{_HEX}", (_x,)),
    ("systick", rf"Systick time:{_UINT} ms", (_i,)),
    ("fct_reply", rf"g_fct_test:{_INT}", (_i,)),
    ("work_mode", r"mcu work (aprom|bootloader)\.", (str,)),
    ("version", rf"ver:{_INT}", (_i,)),
    ("key_state", rf"sw1 state :{_UINT}", (_i,)),
    ("presstest_exit", r"presstest exit (temporary|set)", (str,)),
    # "%4x" of six bytes: each one or two hex digits, right-aligned in four columns
    ("serial_number", r"sn: ((?: {2,3}[0-9a-f]{1,2}){6})\.", (str,)),
    ("presstest_result", rf"presstest result:{_UINT}", (_i,)),
    ("voltage", rf"---A vol {_FLOAT} mv = {_FLOAT} V\.", (_f, _f)),
    ("current", rf"---A cur {_FLOAT} mA\.", (_f,)),
    ("power", rf"---A Pa {_FLOAT} W\.", (_f,)),
    ("energy", rf"---A Ea {_FLOAT} KWh\.", (_f,)),
    ("angle", rf"---A Angle {_FLOAT}\.", (_f,)),
    ("load_type", rf"---A Load Type:{_UINT}=(Indctive|Capacitive)\.", (_i, str)),
    ("duty", rf"duty {_UINT}", (_i,)),
    ("target_duty", rf"target duty {_UINT}", (_i,)),
    ("bt_init", rf"bt int:{_UINT}", (_i,)),
    ("bt_name", r"gbtname:(.*)", (str,)),
    ("climate", rf"humidity:{_UINT}, temp:{_UINT}", (_i, _i)),
    ("ir_test", r"ir test:(success|fail)", (str,)),
    ("load_test", r"Power Load test:(pass|fail)", (str,)),
    ("short_test", r"Short Circuit test:(pass|fail)", (str,)),
    ("adc", r"ADC val:0x(\d+)", (str,)),
    ("rs485_received", rf"rs485 receive result len:{_UINT}", (_i,)),
    ("rs485_mismatch", r"s1 != s2", ()),
    ("relay_control", rf"Relay Control:{_UINT}", (_i,)),
    ("relay_state", rf"Relay{_UINT} Read:{_UINT}", (_i, _i)),
    ("relay_time", rf"Relay{_UINT} Time:{_INT}", (_i, _i)),
    ("ntc", rf"NTC_Temp:{_FLOAT}°C", (_f,)),
    ("frequency", rf"Main Frequency:{_UINT} Hz", (_i,)),
    ("zero_cross", r"Zero-cross detection status:(normal|err)", (str,)),
    ("relay_multi", rf"Relay Multi-Control:set={_UINT} and success={_UINT}", (_i, _i)),
    ("ir_learn", rf"{_UINT}/{_UINT} byte_len: {_UINT}", (_i, _i, _i)),
    ("key_set", rf"key set {_HEX}", (_x,)),
    ("flash_erase", rf"APP_FLASH_ERASE g_flash_ops_state:{_UINT}", (_i,)),
    ("flash_program", rf"APP_FLASH_PROGRAM g_flash_ops_state:{_UINT}", (_i,)),
    ("model", r"mcu type 0x( ?[0-9a-f]+)\.", (_x,)),
]
_COMPILED = [(kind, re.compile(pattern), conv) for kind, pattern, conv in _LINES]

# A line that follows one of these kinds is that report's data line, read by position.
_DATA_LINE_AFTER = {"rs485_received": "rs485_bytes", "ir_learn": "ir_values"}
_RS485_BYTES = re.compile(r"(?:[ 0-9a-f]{3})*")
_IR_VALUES = re.compile(r"(?:\d+ )*")

_ECHO = re.compile(r"(?:0x[0-9a-f]{1,2},)+")
# "get:" / "set:" and the frame's bytes, each with a blank and no line end.
_FRAME_TRACE = re.compile(r"(?:get|set):(?:[0-9a-f]{1,2} ){5,6}")


def _strip_prefixes(line: str, echo: bytearray) -> str:
    """Removes the byte echo and the builders' unterminated trace texts from a line's start."""
    while True:
        m = _ECHO.match(line)
        if m:
            echo.extend(int(t, 16) for t in m.group(0)[:-1].replace("0x", "").split(","))
            line = line[m.end():]
            continue
        m = _FRAME_TRACE.match(line)
        if m:
            line = line[m.end():]
            continue
        return line


def _event_from_echo(echo: bytes, computed: int, received: int) -> int | None:
    """The event id of the frame just checked, found at the end of the echoed bytes.

    The receiver prints the check after the read that completed the frame, so the frame ends
    within the last few bytes echoed (a read takes up to four). The frame whose sum and
    checksum byte agree with the printed pair, nearest the end, is taken.
    """
    n = len(echo)
    for end in range(n, max(n - 8, 0) - 1, -1):
        for start in range(end - 6, max(end - 258, 0) - 1, -1):
            if echo[start] != code.START or echo[start + 1] + 2 != end - start:
                continue
            body = echo[start + 2:end]
            if body[-2] == received and sum(body[:-2]) & 0xFF == computed:
                return body[1]
    return None


def parse_output(text: bytes | str) -> Output:
    """Reads one run's standard output. Unknown lines are listed, never fatal."""
    if isinstance(text, bytes):
        text = text.decode("utf-8", errors="replace")
    out = Output()
    echo = bytearray()
    expect_data: str | None = None
    for raw in text.split("\n"):
        line = _strip_prefixes(raw.rstrip("\r"), echo)
        if expect_data is not None:
            kind, expect_data = expect_data, None
            pattern = _RS485_BYTES if kind == "rs485_bytes" else _IR_VALUES
            if pattern.fullmatch(line):
                values = tuple(int(t, 16 if kind == "rs485_bytes" else 10) for t in line.split())
                out.records.append(Record(kind, values, raw))
                continue
        line = line.rstrip(" ")
        if not line:
            continue
        for kind, pattern, conv in _COMPILED:
            m = pattern.fullmatch(line)
            if m:
                fields = tuple(c(g) for c, g in zip(conv, m.groups()))
                out.records.append(Record(kind, fields, raw))
                if kind == "checksum":
                    computed, received = fields
                    out.checks.append(
                        Check(computed, received, _event_from_echo(bytes(echo), computed, received)))
                expect_data = _DATA_LINE_AFTER.get(kind)
                break
        else:
            out.unrecognised.append(raw)
    out.echo = bytes(echo)
    return out


# ---------------------------------------------------------------------------------------------
# Operation layer


def _missing(output: Output, events: Sequence[int]) -> Outcome:
    """Why a reply's value is absent: a failed check for it (or for an unknown event), or none."""
    for check in output.checks:
        if not check.ok and (check.event is None or check.event in events):
            return BadChecksum(check.computed, check.received)
    link = output.first("link_error")
    if link is not None:
        return LinkError(link.text.strip())
    return NoAnswer()


def _field(i: int, unit: str | None = None) -> Callable[[Record], Reading]:
    """The Reading of a record's field i."""
    return lambda r: Reading(r.fields[i], unit)


def _value(output: Output, kind: str, event: int, make: Callable[[Record], Reading],
           pick: Callable[[Record], bool] = lambda r: True) -> Outcome:
    for record in output.all(kind):
        if pick(record):
            return make(record)
    return _missing(output, (event,))


def _num(arg: str) -> int:
    """A command-line word as the tool reads it (leading decimal number, else 0)."""
    m = re.match(r"\s*([+-]?\d+)", arg)
    return int(m.group(1)) if m else 0


def _op0(args: Sequence[str], o: Output) -> dict[str, Outcome]:
    sub = _num(args[0]) if args else 0
    if sub == 0:
        return {"work_mode": _value(o, "work_mode", code.WORK_MODE, lambda r: Reading(
            "application" if r.fields[0] == "aprom" else "bootloader"))}
    if sub == 1:
        return {"firmware_version": _value(o, "version", code.VERSION, _field(0))}
    return {"model": _value(o, "model", code.MCU_MODEL, _field(0))}


def _op2(args: Sequence[str], o: Output) -> dict[str, Outcome]:
    if len(args) == 1:
        return {}
    return {"target_duty": _value(o, "target_duty", code.PWM_TARGET_DUTY, _field(0, "%")),
            "duty": _value(o, "duty", code.PWM_DUTY, _field(0, "%"))}


def _op4(args: Sequence[str], o: Output) -> dict[str, Outcome]:
    return {
        "voltage": _value(o, "voltage", code.VOLTAGE, _field(1, "V")),
        "current": _value(o, "current", code.CURRENT, _field(0, "mA")),
        "power": _value(o, "power", code.POWER, _field(0, "W")),
        "energy": _value(o, "energy", code.ENERGY, _field(0, "kWh")),
        "angle": _value(o, "angle", code.ANGLE, _field(0, "°")),
        "load_type": _value(o, "load_type", code.LOAD_TYPE, lambda r: Reading(
            "inductive" if r.fields[0] else "capacitive")),
    }


def _serial(record: Record) -> Reading:
    return Reading("".join(f"{int(byte, 16):02x}" for byte in record.fields[0].split()))


def _op10(args: Sequence[str], o: Output) -> dict[str, Outcome]:
    reply = _value(o, "fct_reply", code.FCT_TEST, _field(0))
    final = o.first("fct_result")
    if isinstance(reply, Reading) and final is not None:
        # The driver prints what the receiver stored; a later reply may have changed it.
        reply = Reading(final.fields[0])
    return {"fct_result": reply}


def _op11(args: Sequence[str], o: Output) -> dict[str, Outcome]:
    # The tool prints the sensor's two 16-bit words without scaling.
    return {"humidity": _value(o, "climate", code.TEMP_HUMIDITY, _field(0, "raw")),
            "temperature": _value(o, "climate", code.TEMP_HUMIDITY, _field(1, "raw"))}


def _op12(args: Sequence[str], o: Output) -> dict[str, Outcome]:
    sub = _num(args[0]) if args else -1
    if sub in (1, 2):
        return {"ir_send": _value(o, "ir_test", code.IR_TEST, _field(0))}
    if sub == 3:
        fragments = o.all("ir_learn")
        if not fragments:
            return {"ir_learn": _missing(o, (code.IR_LEARNING,))}
        values = [v for r in o.all("ir_values") for v in r.fields]
        return {"ir_learn": Reading(tuple(values), "timings")}
    return {}


def _op17(args: Sequence[str], o: Output) -> dict[str, Outcome]:
    report = o.first("rs485_report")
    if report is None:
        return {"rs485_loopback": _missing(o, (code.RS485_RECEIVE,))}
    if not o.all("rs485_received"):
        return {"rs485_loopback": _missing(o, (code.RS485_RECEIVE,))}
    sent, matched, rate = report.fields
    return {"rs485_loopback": Reading(rate, "%"), "rs485_sent": Reading(sent),
            "rs485_matched": Reading(matched)}


def _op19(args: Sequence[str], o: Output) -> dict[str, Outcome]:
    relay = _num(args[0]) & 0xFF if args else 0
    if len(args) == 2:
        return {"relay_control": _value(o, "relay_control", code.RELAY_CONTROL, _field(0))}
    if len(args) == 1:
        return {"relay_state": _value(o, "relay_state", code.RELAY_GET, _field(1),
                                      lambda r: r.fields[0] == relay)}
    return {}


def _op20(args: Sequence[str], o: Output) -> dict[str, Outcome]:
    relay = _num(args[0]) & 0xFF if args else 0
    return {"relay_time": _value(o, "relay_time", code.RELAY_TIME, _field(1, "ms"),
                                 lambda r: r.fields[0] == relay)}


def _op24(args: Sequence[str], o: Output) -> dict[str, Outcome]:
    if args and _num(args[0]) == 0:
        return {"load_test": _value(o, "load_test", code.PWR_TO_LOAD, _field(0))}
    return {"short_test": _value(o, "short_test", code.PWR_LOAD_SHORT, _field(0))}


def _op26(args: Sequence[str], o: Output) -> dict[str, Outcome]:
    if not 2 <= len(args) <= 20:
        return {}
    return {"relay_multi": _value(o, "relay_multi", code.RELAY_MULTI, lambda r: Reading(r.fields))}


def _single(name: str, kind: str, event: int, make: Callable[[Record], Reading]):
    return lambda args, o: {name: _value(o, kind, event, make)}


_OPERATIONS: dict[int, Callable[[Sequence[str], Output], dict[str, Outcome]]] = {
    0: _op0,
    1: lambda args, o: {"key_states": Reading(tuple(r.fields[0] for r in o.all("key_state")))},
    2: _op2,
    4: _op4,
    6: _single("serial_number", "serial_number", code.SN_READ, _serial),
    7: lambda args, o: {"presstest_exit": _value(
        o, "presstest_exit",
        code.PRESSTEST_EXIT_TEMP if args and _num(args[0]) == 0 else code.PRESSTEST_EXIT,
        _field(0))},
    8: _single("presstest_result", "presstest_result", code.PRESSTEST_RESULT, _field(0)),
    10: _op10,
    11: _op11,
    12: _op12,
    13: _single("key_set", "key_set", code.KEY_TEST, _field(0)),
    14: _single("bt_init", "bt_init", code.BT_PREPARE, _field(0)),
    15: _single("bt_name", "bt_name", code.BT_NAME, _field(0)),
    17: _op17,
    19: _op19,
    20: _op20,
    21: _single("ntc_temperature", "ntc", code.RELAY_NTC, _field(0, "°C")),
    22: _single("mains_frequency", "frequency", code.MAINS_FREQUENCY, _field(0, "Hz")),
    23: _single("zero_cross", "zero_cross", code.ZERO_CROSS, _field(0)),
    24: _op24,
    25: _single("systick", "systick", code.SYSTICK, _field(0, "ms")),
    26: _op26,
}

# The tool's answers to a command line that it does not accept: nothing was asked of the MCU.
_REFUSALS = ("arg_err", "argc", "input_argc", "usage")


def read_operation(args: Sequence[str], output: Output | bytes | str) -> dict[str, Outcome]:
    """The values of one run of `mcu_test ARGS`: name -> Reading / NoAnswer / BadChecksum."""
    if not isinstance(output, Output):
        output = parse_output(output)
    op = _num(args[0]) if args else 0
    reader = _OPERATIONS.get(op)
    if reader is None:
        return {}
    link = output.first("link_error")
    if link is not None:
        return {name: LinkError(link.text.strip()) for name in reader(args[1:], Output())}
    if any(output.first(kind) for kind in _REFUSALS):
        return {}
    return reader(args[1:], output)
