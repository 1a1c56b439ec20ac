"""One test per slot and measurement, in the plan's order; the verdict decides pass or fail."""

import pytest

from measurements import Verdict


def test_measurement(slot, measurement, line_result, record_property):
    result = line_result(slot, measurement)
    record_property("slot", slot)
    record_property("value", "" if result.value is None else str(result.value))
    record_property("unit", result.unit or "")
    for key, limit in result.limits.items():
        record_property(key, str(limit))
    record_property("verdict", result.verdict.value)
    record_property("operations", "; ".join(result.operations))
    if result.detail:
        record_property("detail", result.detail)
    if result.verdict != Verdict.PASS:
        unit = f" {result.unit}" if result.unit else ""
        value = "" if result.value is None else f", value {result.value}{unit}"
        pytest.fail(f"{slot}: {result.title}: {result.verdict.value}{value}, limits "
                    f"{result.limits}" + (f" ({result.detail})" if result.detail else ""),
                    pytrace=False)
