#include "receiver/base64.h"

#include <array>

namespace {

constexpr std::array<uint8_t, 256> make_decode_table()
{
    std::array<uint8_t, 256> table{};
    for (int c = 'A'; c <= 'Z'; c++) {
        table[c] = static_cast<uint8_t>(c - 'A');
    }
    for (int c = 'a'; c <= 'z'; c++) {
        table[c] = static_cast<uint8_t>(c - 'a' + 26);
    }
    for (int c = '0'; c <= '9'; c++) {
        table[c] = static_cast<uint8_t>(c - '0' + 52);
    }
    table['+'] = 62;
    table['/'] = 63;
    return table;
}

// Every character outside the alphabet, '=' and every byte from 128 up, decodes as 0.
constexpr std::array<uint8_t, 256> base64_decode_table = make_decode_table();

} // namespace

int32_t base64_decode(const uint8_t* src, uint32_t src_len, uint8_t* dst)
{
    uint32_t pos = 0;
    int32_t written = 0;

    while (pos < src_len) {
        // Line breaks are skipped only here, between groups.
        if (src[pos] == '\r' || src[pos] == '\n') {
            pos++;
            continue;
        }

        // A short final group decodes its unfilled positions as 0.
        uint8_t group[4] = {0, 0, 0, 0};
        int pads = 0;
        for (int k = 0; k < 4 && pos < src_len; k++, pos++) {
            const uint8_t c = src[pos];
            if (c == '=') {
                pads++;
            } else {
                group[k] = base64_decode_table[c];
            }
        }

        dst[written++] = static_cast<uint8_t>((group[0] << 2) | (group[1] >> 4));
        if (!(pos < 2 || src[pos - 2] == '=')) {
            dst[written++] = static_cast<uint8_t>((group[1] << 4) | (group[2] >> 2));
        }
        if (src[pos - 1] != '=') {
            dst[written++] = static_cast<uint8_t>((group[2] << 6) | group[3]);
        }
        if (pads != 0) {
            break; // the rest of the text is ignored
        }
    }
    return written;
}
