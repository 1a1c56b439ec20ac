// MCU frames: AA, length byte L, L body bytes whose last two are the checksum and BB.
//
//   check_sum     8-bit additive sum of count bytes (count is 8 bits wide)
//   frame_finish  checksum and end byte of a command frame laid out in a buffer
#pragma once

#include <cstdint>

constexpr uint8_t FRAME_START = 0xAA;
constexpr uint8_t FRAME_END = 0xBB;

uint8_t check_sum(const uint8_t* buffer, uint8_t count);

// buf holds AA, L, code and the payload; stores the checksum over the L-2 bytes from the
// code byte at offset L and the end byte at offset L+1.
void frame_finish(uint8_t* buf);
