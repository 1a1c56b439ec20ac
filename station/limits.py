"""A product's limits, read from YAML and checked before any measurement runs.

Every error names the file, the line and the key: the file is composed into YAML nodes, which
keep their marks, and the nodes are checked against the schema below before any value is used.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass
from pathlib import Path
from typing import ClassVar, Protocol

import yaml


class LimitsError(Exception):
    """A limits file that cannot be used; the text is `file:line: key: what is wrong`."""


class Checker(Protocol):
    """A limit on one measurement: called with the value read, it says whether the value
    holds; `unit` is the unit the value must come in (None for states, texts and counts) and
    `describe` gives the limit as the reports show it. A unit makes the measurement numeric:
    the line report gives it capability figures and a control chart."""

    @property
    def unit(self) -> str | None: ...

    def __call__(self, value: object) -> bool: ...

    def describe(self) -> dict[str, object]: ...


@dataclass(frozen=True)
class Range:
    """min <= value <= max, in unit; either bound may be absent (not both)."""

    unit: str
    min: float | None = None
    max: float | None = None

    def __call__(self, value: object) -> bool:
        if isinstance(value, bool) or not isinstance(value, (int, float)) \
                or not math.isfinite(value):
            return False
        return (self.min is None or value >= self.min) and (self.max is None or value <= self.max)

    def describe(self) -> dict[str, object]:
        return {k: v for k, v in (("min", self.min), ("max", self.max)) if v is not None}


@dataclass(frozen=True)
class Equals:
    expected: object
    unit: ClassVar[None] = None

    def __call__(self, value: object) -> bool:
        return value == self.expected and type(value) is type(self.expected)

    def describe(self) -> dict[str, object]:
        return {"equals": self.expected}


@dataclass(frozen=True)
class AtLeast:
    minimum: int
    unit: ClassVar[None] = None

    def __call__(self, value: object) -> bool:
        return isinstance(value, int) and not isinstance(value, bool) and value >= self.minimum

    def describe(self) -> dict[str, object]:
        return {"min": self.minimum}


@dataclass(frozen=True)
class Pattern:
    pattern: str
    unit: ClassVar[None] = None

    def __call__(self, value: object) -> bool:
        return isinstance(value, str) and re.fullmatch(self.pattern, value) is not None

    def describe(self) -> dict[str, object]:
        return {"pattern": self.pattern}


@dataclass(frozen=True)
class RelayTest:
    relay: int
    states: tuple[int, ...]


@dataclass(frozen=True)
class Limits:
    path: str
    product: str
    checks: dict[str, Checker]  # by dotted key
    relays: tuple[RelayTest, ...]


# ---------------------------------------------------------------------------------------------
# Schema. A dict is a mapping whose keys are all optional unless listed in REQUIRED; the leaves
# are the checkers below, each of which turns a node into a value or raises LimitsError.

_constructor = yaml.constructor.SafeConstructor()


class _Fail(Exception):
    """A node that breaks the schema; key is the path below the rule that raised it."""

    def __init__(self, node: yaml.Node, message: str, key: str | None = None):
        super().__init__(message)
        self.node = node
        self.key = key

    def under(self, prefix: str) -> "_Fail":
        sep = "" if (self.key or "").startswith("[") else "."
        self.key = f"{prefix}{sep}{self.key}" if self.key else prefix
        return self


def _value(node: yaml.Node):
    if not isinstance(node, yaml.ScalarNode):
        raise _Fail(node, "expected a single value, not a " +
                    ("list" if isinstance(node, yaml.SequenceNode) else "mapping"))
    return _constructor.construct_object(node, deep=True)


def _is_number(v) -> bool:
    return isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v)


def _number(node):
    v = _value(node)
    if not _is_number(v):
        raise _Fail(node, f"expected a number, got {v!r}")
    return v


def _int(node, low=None, high=None):
    v = _value(node)
    if not isinstance(v, int) or isinstance(v, bool):
        raise _Fail(node, f"expected a whole number, got {v!r}")
    if (low is not None and v < low) or (high is not None and v > high):
        raise _Fail(node, f"{v} is outside {low} to {high}")
    return v


def _text(node):
    v = _value(node)
    if not isinstance(v, str) or not v:
        raise _Fail(node, f"expected a text, got {v!r}")
    return v


def _mapping(node, keys, required=()):
    """The node's items by key; refuses unknown, repeated and missing keys."""
    if not isinstance(node, yaml.MappingNode):
        raise _Fail(node, "expected a mapping of keys")
    items = {}
    for key_node, value_node in node.value:
        key = _value(key_node)
        if key not in keys:
            raise _Fail(key_node, f"unknown key (known: {', '.join(keys)})", str(key))
        if key in items:
            raise _Fail(key_node, "given twice", key)
        items[key] = (key_node, value_node)
    for key in required:
        if key not in items:
            raise _Fail(node, "missing", key)
    return items


def _range(unit):
    def check(node):
        items = _mapping(node, ("min", "max", "unit"), required=("unit",))
        given = _text(items["unit"][1])
        if given != unit:
            raise _Fail(items["unit"][1], f"{given!r}, but the measurement is in {unit!r}", "unit")
        low = _number(items["min"][1]) if "min" in items else None
        high = _number(items["max"][1]) if "max" in items else None
        if low is None and high is None:
            raise _Fail(node, "a range needs min, max or both")
        if low is not None and high is not None and low > high:
            raise _Fail(items["min"][0], f"{low} is above max {high}", "min")
        return Range(unit, low, high)
    return check


def _choice(*allowed):
    def check(node):
        v = _value(node)
        if v not in allowed or isinstance(v, bool):
            raise _Fail(node, f"expected one of {', '.join(map(str, allowed))}, got {v!r}")
        return Equals(v)
    return check


def _at_least(node):
    return AtLeast(_int(node, 0))


def _equals_int(node):
    return Equals(_int(node))


def _pattern(node):
    text = _text(node)
    try:
        re.compile(text)
    except re.error as e:
        raise _Fail(node, f"not a regular expression: {e}") from None
    return Pattern(text)


def _relays(node):
    if not isinstance(node, yaml.SequenceNode) or not node.value:
        raise _Fail(node, "expected a list of relays under test")
    tests, seen = [], set()
    for index, item in enumerate(node.value):
        try:
            tests.append(_relay(item, seen))
        except _Fail as fail:
            raise fail.under(f"[{index}]")
    return tuple(tests)


def _relay(node, seen):
    items = _mapping(node, ("relay", "states"), required=("relay", "states"))
    try:
        relay = _int(items["relay"][1], 1, 255)
        if relay in seen:
            raise _Fail(items["relay"][1], f"relay {relay} listed twice")
    except _Fail as fail:
        raise fail.under("relay")
    seen.add(relay)
    states_node = items["states"][1]
    try:
        if not isinstance(states_node, yaml.SequenceNode) or not states_node.value:
            raise _Fail(states_node, "expected a list of commanded states, 0 or 1")
        return RelayTest(relay, tuple(_int(s, 0, 1) for s in states_node.value))
    except _Fail as fail:
        raise fail.under("states")


SCHEMA = {
    "product": _text,
    "firmware": {"version_min": _at_least, "work_mode": _choice("application", "bootloader")},
    "serial_number": {"pattern": _pattern},
    "mains": {"voltage": _range("V"), "current": _range("mA"), "power": _range("W"),
              "frequency": _range("Hz"), "zero_cross": _choice("normal", "err")},
    "climate": {"temperature": _range("raw"), "humidity": _range("raw"), "ntc": _range("°C")},
    "relays": _relays,
    "rs485": {"loopback": _range("%")},
    "infrared": {"send": _choice("success", "fail")},
    "fct": {"result": _equals_int},
}
REQUIRED = ("product",)


def _walk(schema, node, prefix, out):
    try:
        items = _mapping(node, tuple(schema), () if prefix else REQUIRED)
    except _Fail as fail:
        raise fail.under(prefix) if prefix else fail
    for key, (_, value_node) in items.items():
        dotted = f"{prefix}.{key}" if prefix else key
        rule = schema[key]
        if isinstance(rule, dict):
            _walk(rule, value_node, dotted, out)
            continue
        try:
            out[dotted] = rule(value_node)
        except _Fail as fail:
            raise fail.under(dotted)


def load_limits(path: str | Path) -> Limits:
    """Reads and checks a limits file; raises LimitsError naming file, line and key."""
    name = str(path)
    try:
        text = Path(path).read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as e:
        raise LimitsError(f"{name}: cannot read: {e}") from None
    try:
        root = yaml.compose(text)
    except yaml.YAMLError as e:
        mark = getattr(e, "problem_mark", None)
        where = f"{name}:{mark.line + 1}" if mark else name
        raise LimitsError(f"{where}: not valid YAML: {getattr(e, 'problem', e)}") from None
    if root is None:
        raise LimitsError(f"{name}:1: the file is empty")
    out = {}
    try:
        _walk(SCHEMA, root, "", out)
    except _Fail as fail:
        line = fail.node.start_mark.line + 1
        raise LimitsError(f"{name}:{line}: {fail.key or '(top level)'}: {fail}") from None
    except yaml.YAMLError as e:  # a scalar that the safe constructor refuses
        raise LimitsError(f"{name}: {e}") from None
    relays = out.pop("relays", ())
    product = out.pop("product")
    if not out and not relays:
        raise LimitsError(f"{name}:1: (top level): no measurement has limits")
    return Limits(name, product, out, relays)
