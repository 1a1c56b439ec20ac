// The tool's own NTC fit and Base64 decoder, for checking the sigrok decoder's copies.
// Reads lines from standard input and answers each with one line:
//   ntc <raw>        -> the temperature as the tool prints it ("%0.2f")
//   b64 <hex bytes>  -> the decoded bytes, in hex ("-" for none)
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "receiver/base64.h"
#include "receiver/ntc.h"

int main()
{
    char line[4096];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        unsigned long raw = 0;
        if (std::sscanf(line, "ntc %lu", &raw) == 1) {
            std::printf("%0.2f\n", static_cast<double>(temp_fitting(static_cast<uint32_t>(raw))));
            continue;
        }
        if (std::strncmp(line, "b64", 3) != 0) {
            std::printf("?\n");
            continue;
        }
        uint8_t src[1024];
        uint32_t n = 0;
        const char* p = line + 3;
        unsigned byte = 0;
        int used = 0;
        while (n < sizeof src && std::sscanf(p, "%2x%n", &byte, &used) == 1) {
            src[n++] = static_cast<uint8_t>(byte);
            p += used;
        }
        uint8_t dst[1024 * 3 / 4 + 3] = {};
        const int32_t count = base64_decode(src, n, dst);
        if (count == 0) {
            std::printf("-");
        }
        for (int32_t i = 0; i < count; ++i) {
            std::printf("%02X", dst[i]);
        }
        std::printf("\n");
    }
    return 0;
}
