#include "receiver/ntc.h"

#include <cmath>
#include <cstddef>

namespace {

struct ntc_band {
    float low;  // inclusive
    float high; // inclusive for the first band, exclusive for the others
    double a;
    double b;
};

// The fits do not meet at the bounds; the first band that holds wins.
constexpr ntc_band NTC_BANDS[] = {
    {25000.0F, 124000.0F, -18.32, 190.47},
    {8000.0F, 25000.0F, -21.71, 224.98},
    {2500.0F, 8000.0F, -26.84, 270.23},
    {900.0F, 2500.0F, -26.84, 270.23},
};

} // namespace

float temp_fitting(uint32_t raw)
{
    // Count to volts in double, then the divider in single precision. With raw 0 the
    // division yields +inf, which lies in no band.
    const float volts = static_cast<float>(static_cast<double>(raw) / 4096.0 * 5.0);
    const float ohms = (5.0F - volts) * 10000.0F / volts;

    for (size_t i = 0; i < sizeof(NTC_BANDS) / sizeof(NTC_BANDS[0]); i++) {
        const ntc_band& band = NTC_BANDS[i];
        const bool in_band = (i == 0) ? (ohms >= band.low && ohms <= band.high)
                                      : (ohms >= band.low && ohms < band.high);
        if (in_band) {
            // A multiply and a separate add: the build forbids contracting them
            // (-ffp-contract=off).
            const double scaled = band.a * log(static_cast<double>(ohms));
            return static_cast<float>(scaled + band.b);
        }
    }
    return 0.0F;
}
