"""One test per measurement, in the plan's order; the verdict decides pass or fail."""

import pytest

from measurements import Verdict


def test_measurement(measurement, session, record_property):
    result = session.station.measure(measurement)
    session.results[measurement.name] = result
    session.show(session.plan.index(measurement) + 1, result)
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
        pytest.fail(f"{result.title}: {result.verdict.value}{value}, limits {result.limits}"
                    + (f" ({result.detail})" if result.detail else ""), pytrace=False)
