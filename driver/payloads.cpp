#include "driver/payloads.h"

#include <cstdio>
#include <cstring>

#include "driver/waits.h"
#include "protocol/commands.h"
#include "receiver/receiver.h"

const uint8_t builtin_sn[SN_SIZE] = {0x0C, 0x22, 0x05, 0x43, 0x59, 0x00};

namespace {

// Raw infrared timings: a 4-byte header, then 62 times the same mark/space pair.
constexpr std::array<uint8_t, IR_RAW_SIZE> make_ir_raw_pattern()
{
    std::array<uint8_t, IR_RAW_SIZE> p{0x03, 0x80, 0x01, 0xC1};
    for (size_t i = 4; i < IR_RAW_SIZE; i += 4) {
        p[i] = 0x00;
        p[i + 1] = 0x3B;
        p[i + 2] = 0x00;
        p[i + 3] = 0xA7;
    }
    return p;
}

constexpr char RS485_TEXT[] = "12345679ABCDEFGHIJKLMNOPQqwertyuiopasdfghjkl9876654321";
constexpr unsigned int RS485_WAIT_US = 400000;

} // namespace

const std::array<uint8_t, IR_RAW_SIZE> ir_raw_pattern = make_ir_raw_pattern();

// The new-format pattern: 49 bytes at the start of a zeroed 252-byte buffer.
const uint8_t ir_new_pattern[IR_BUFFER_SIZE] = {
    0x00, 0x36, 0x00, 0x38, 0x00, 0xA5, 0x00, 0x00, 0x04, 0x01, 0xB8, 0x00, 0x1E,
    0x01, 0x00, 0x30, 0xB2, 0x4D, 0x7B, 0x84, 0xE0, 0x1F, 0x00, 0x00, 0x08, 0x00,
    0x36, 0x02, 0x08, 0x01, 0xB8, 0x01, 0xB8, 0x01, 0x00, 0x30, 0xB2, 0x4D, 0x7B,
    0x84, 0xE0, 0x1F, 0x00, 0x00, 0x04, 0x63, 0x38, 0x02, 0x08,
};

void rs485_loopback_test(int fd)
{
    uint8_t text[RS485_TEXT_BUFFER] = {};
    memcpy(text, RS485_TEXT, sizeof(RS485_TEXT));

    poe_test[1].store(0, std::memory_order_relaxed);
    poe_test[0].store(0, std::memory_order_relaxed);

    // The text goes out with its terminating zero byte: 54 + 1.
    const auto len = static_cast<uint8_t>(
        strnlen(reinterpret_cast<const char*>(text), RS485_TEXT_BUFFER - 1) + 1);
    mcu_rs485_send(fd, text, len);
    // poe_test[1] counts the texts sent, so the report reads "sent:matched rate%".
    poe_test[1].fetch_add(1, std::memory_order_relaxed);

    wait_microseconds(RS485_WAIT_US);

    const int32_t sent = poe_test[1].load(std::memory_order_relaxed);
    const int32_t matched = poe_test[0].load(std::memory_order_relaxed);
    const float rate = static_cast<float>(matched) * 100.0F / static_cast<float>(sent);
    printf("<rs485>send. %d:%d %04f%%\n", sent, matched, static_cast<double>(rate));
}
