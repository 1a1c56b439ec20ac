// What every raw NTC reading must convert to: a temperature for the readings 306 to 3757 (the
// resistance bands 900 to 124000 ohms), within the span of the fits, and exactly 0.0 for every
// other reading. A function of one 32-bit word needs no fuzzer: this sweep checks the 2^20
// lowest readings and, mirrored, the 2^20 highest and those on both sides of 2^31 (where a signed
// conversion would turn). ctest runs it on every build. Given a limit, it checks 0 to the limit
// alone; the whole 32-bit range takes about 15 s in an optimised host build: ntc_sweep 4294967295
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_support.h"
#include "receiver/ntc.h"

namespace {

constexpr uint32_t NTC_FIRST_VALID = 306;
constexpr uint32_t NTC_LAST_VALID = 3757;

void check_ntc_reading(uint32_t raw)
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

} // namespace

int main(int argc, char** argv)
{
    uint64_t last = (1U << 20) - 1;
    if (argc > 1) {
        last = strtoull(argv[1], nullptr, 0);
        if (last > UINT32_MAX) {
            fprintf(stderr, "limit above 4294967295\n");
            return 2;
        }
    }
    const bool mirrors = argc == 1; // a limit given: 0 to the limit alone
    for (uint64_t raw = 0; raw <= last; raw++) {
        const auto low = static_cast<uint32_t>(raw);
        check_ntc_reading(low);
        if (mirrors) {
            for (const uint32_t r : {~low, low ^ 0x80000000U, ~low ^ 0x80000000U}) {
                check_ntc_reading(r);
            }
        }
    }
    printf("readings 0 to %llu checked%s\n", static_cast<unsigned long long>(last),
           mirrors ? ", and their mirrors" : "");
    return 0;
}
