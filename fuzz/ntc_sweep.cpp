// Every NTC reading from 0 up to a limit (default 2^20, far past the 12-bit converter's range)
// through the same check as the fuzz target. ctest runs the default on every build; the whole
// 32-bit range takes about 15 s in an optimised host build: ntc_sweep 4294967295
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz/ntc_check.h"

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
    for (uint64_t raw = 0; raw <= last; raw++) {
        check_ntc_reading(static_cast<uint32_t>(raw));
    }
    printf("readings 0 to %llu checked\n", static_cast<unsigned long long>(last));
    return 0;
}
