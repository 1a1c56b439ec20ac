// NTC conversion: a 32-bit reading from the input (least significant byte first; a shorter
// input fills the low bytes only) must give a temperature exactly for 306..3757, else 0.0.
#include <cstddef>
#include <cstdint>

#include "fuzz/ntc_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint32_t raw = 0;
    for (size_t i = 0; i < size && i < 4; i++) {
        raw |= static_cast<uint32_t>(data[i]) << (8 * i);
    }
    check_ntc_reading(raw);
    return 0;
}
