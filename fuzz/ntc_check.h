// What every raw NTC reading must convert to: a temperature for the readings 306 to 3757 (the
// resistance bands 900 to 124000 ohms), within the span of the fits, and exactly 0.0 for every
// other reading. Used by the NTC fuzz target and by the sweep over the low readings.
#pragma once

#include <cmath>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "receiver/ntc.h"

constexpr uint32_t NTC_FIRST_VALID = 306;
constexpr uint32_t NTC_LAST_VALID = 3757;

inline void check_ntc_reading(uint32_t raw)
{
    const float t = temp_fitting(raw);
    if (raw < NTC_FIRST_VALID || raw > NTC_LAST_VALID) {
        if (t != 0.0F || std::signbit(t)) {
            fuzz_fail("temp_fitting of a reading outside 306..3757 is not 0.0");
        }
        return;
    }
    // The fits span about -24.39 (124000 ohms) to 87.65 (900 ohms) degrees.
    if (!std::isfinite(t) || t == 0.0F || t < -24.5F || t > 87.7F) {
        fuzz_fail("temp_fitting of a reading in 306..3757 is no temperature of the fits");
    }
}
