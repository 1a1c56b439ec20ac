// Built-in test data: the serial number, the two infrared patterns, the RS485 loopback test.
#pragma once

#include <array>
#include <cstdint>

constexpr int SN_SIZE = 6;
constexpr int IR_RAW_SIZE = 252;
constexpr int IR_NEW_SIZE = 49;
constexpr int IR_BUFFER_SIZE = 252;
constexpr int RS485_TEXT_BUFFER = 128;

extern const uint8_t builtin_sn[SN_SIZE];
extern const std::array<uint8_t, IR_RAW_SIZE> ir_raw_pattern;
extern const uint8_t ir_new_pattern[IR_BUFFER_SIZE];

// Operation 17: send the RS485 text, wait, print the loopback report.
void rs485_loopback_test(int fd);
