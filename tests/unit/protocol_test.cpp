// The builders that no operation sends (the end-to-end cases pin the others and every checksum):
// the upgrade family and the largest frames each builder can carry.
#include <gtest/gtest.h>

#include "protocol/commands.h"
#include "protocol/frame.h"
#include "support.h"

using unit::Bytes;
using unit::run_builder;

TEST(Builders, UpgradeCommands)
{
    EXPECT_EQ(run_builder(mcu_erase_aprom).bytes, (Bytes{0xAA, 0x03, 0xBB, 0xBB, 0xBB}));
    EXPECT_EQ(run_builder(mcu_upgrader_end).bytes, (Bytes{0xAA, 0x03, 0xAA, 0xAA, 0xBB}));

    const uint8_t block[] = {0x01, 0x02, 0x03, 0x04};
    const auto sent = run_builder([&](int fd) { mcu_send_aprom_packet(fd, block, 4, 7); });
    EXPECT_EQ(sent.printed, "len:4 8\n");
    EXPECT_EQ(sent.bytes, (Bytes{0xAA, 0x08, 0xDD, 0x07, 0x01, 0x02, 0x03, 0x04, 0xEE, 0xBB}));
}

TEST(Builders, LargestFramesFillTheirBuffers)
{
    const Bytes data(252, 0x01);
    const struct {
        const char* name;
        std::function<void(int)> build;
        size_t size, length;
        int sum; // of the code and the payload, 0x01 bytes: the checksum byte is its low byte
    } cases[] = {
        {"ir", [&](int fd) { mcu_ir_send(fd, data.data(), 252); }, 257, 0xFF, 0x9B + 252},
        {"rs485", [&](int fd) { mcu_rs485_send(fd, data.data(), 128); }, 133, 131, 0x90 + 128},
        {"relays", [&](int fd) { mcu_relay_multi_control(fd, 10, data.data()); }, 25, 0x17,
         0x99 + 20},
        {"aprom", [&](int fd) { mcu_send_aprom_packet(fd, data.data(), 251, 0); }, 257, 0xFF,
         0xDD + 251},
    };
    for (const auto& c : cases) {
        const auto sent = run_builder(c.build).bytes;
        ASSERT_EQ(sent.size(), c.size) << c.name;
        EXPECT_EQ(sent[1], c.length) << c.name;
        EXPECT_EQ(sent[c.length], static_cast<uint8_t>(c.sum)) << c.name;
        EXPECT_EQ(sent[c.length + 1], 0xBB) << c.name;
    }
}
