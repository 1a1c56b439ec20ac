// Lenient Base64 (RFC 4648 alphabet) decoder for the MCU's infrared learning data.
#pragma once

#include <cstdint>

// dst needs room for 3 * ceil(src_len / 4) bytes; returns the number of bytes written.
int32_t base64_decode(const uint8_t* src, uint32_t src_len, uint8_t* dst);
