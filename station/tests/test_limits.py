"""Limits files: the example loads; every kind of mistake is refused with file, line and key."""

from pathlib import Path

import pytest

from station.limits import LimitsError, Range, load_limits

EXAMPLE = Path(__file__).resolve().parents[1] / "limits" / "mcu_board.yaml"


def test_the_example_loads_and_its_pattern_matches_whole_serial_numbers_only():
    pattern = load_limits(EXAMPLE).checks["serial_number.pattern"]
    assert pattern("0c2205435900") and not pattern("000000000000")
    assert not pattern("0c2205435900ff") and not pattern(" 0c2205435900")


GOOD_HEAD = "product: p\nmains:\n"

REFUSED = [
    # (file text, line, key, words of the message)
    (GOOD_HEAD + "  voltage: {min: 1, max: 2, unit: V}\n  volts: {min: 1, unit: V}\n",
     4, "mains.volts", "unknown key"),
    (GOOD_HEAD + "  voltage: {min: 1, max: 2}\n", 3, "mains.voltage.unit", "missing"),
    (GOOD_HEAD + "  voltage:\n    min: 250\n    max: 200\n    unit: V\n",
     4, "mains.voltage.min", "above max 200"),
    (GOOD_HEAD + "  voltage: {min: low, max: 2, unit: V}\n", 3, "mains.voltage", "expected a number"),
    (GOOD_HEAD + "  voltage: {min: 1, max: 2, unit: mV}\n", 3, "mains.voltage.unit", "in 'V'"),
    (GOOD_HEAD + "  voltage: {unit: V}\n", 3, "mains.voltage", "min, max or both"),
    (GOOD_HEAD + "  voltage: 230\n", 3, "mains.voltage", "expected a mapping"),
    (GOOD_HEAD + "  zero_cross: fine\n", 3, "mains.zero_cross", "one of normal, err"),
    ("product: p\nfirmware:\n  version_min: '7'\n", 3, "firmware.version_min", "whole number"),
    ("product: p\nfirmware:\n  version_min: true\n", 3, "firmware.version_min", "whole number"),
    ("product: p\nfct:\n  result: [1]\n", 3, "fct.result", "not a list"),
    ("product: p\nserial_number:\n  pattern: '[0-9'\n", 3, "serial_number.pattern",
     "regular expression"),
    ("product: p\nrelays:\n  - {relay: 1, states: [1, 0]}\n  - {relay: 2, states: [2]}\n",
     4, "relays[1].states", "outside 0 to 1"),
    ("product: p\nrelays:\n  - {relay: 1, states: [1]}\n  - {relay: 1, states: [0]}\n",
     4, "relays[1].relay", "listed twice"),
    ("product: p\nrelays:\n  - {relay: 1, state: [1]}\n", 3, "relays[0].state", "unknown key"),
    ("product: p\nfct: {result: 1}\nfct: {result: 2}\n", 3, "fct", "given twice"),
    ("fct: {result: 1}\n", 1, "product", "missing"),
    ("product: p\n", 1, "(top level)", "no measurement"),
    ("product: p\nfct: {result: 1\n", 3, None, "not valid YAML"),
    ("", 1, None, "empty"),
]


@pytest.mark.parametrize("text,line,key,words", REFUSED, ids=[r[3] for r in REFUSED])
def test_a_faulty_file_is_refused_naming_file_line_and_key(tmp_path, text, line, key, words):
    path = tmp_path / "product.yaml"
    path.write_text(text, encoding="utf-8")
    with pytest.raises(LimitsError) as refused:
        load_limits(path)
    message = str(refused.value)
    assert message.startswith(f"{path}:{line}: " + (f"{key}: " if key else ""))
    assert words in message


MAINS, ABOVE, BELOW = Range("V", 207.0, 253.0), Range("V", min=207.0), Range("V", max=253.0)


@pytest.mark.parametrize("limit,value,holds", [
    (MAINS, 207.0, True), (MAINS, 253, True), (MAINS, 206.99, False), (MAINS, float("nan"), False),
    (MAINS, "230", False), (MAINS, True, False), (ABOVE, 1e30, True),
    (ABOVE, float("inf"), False), (BELOW, -1e30, True), (BELOW, float("-inf"), False)])
def test_a_range_holds_finite_inclusive_numbers_only(limit, value, holds):
    assert limit(value) is holds
