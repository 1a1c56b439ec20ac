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

    const auto ir = run_builder([&](int fd) { mcu_ir_send(fd, data.data(), 252); }).bytes;
    ASSERT_EQ(ir.size(), 257U);
    EXPECT_EQ(ir[1], 0xFF);
    EXPECT_EQ(ir[255], static_cast<uint8_t>(0x9B + 252));
    EXPECT_EQ(ir[256], 0xBB);

    const auto rs485 = run_builder([&](int fd) { mcu_rs485_send(fd, data.data(), 128); }).bytes;
    ASSERT_EQ(rs485.size(), 133U);
    EXPECT_EQ(rs485[1], 131);
    EXPECT_EQ(rs485[131], static_cast<uint8_t>(0x90 + 128));
    EXPECT_EQ(rs485[132], 0xBB);

    const auto relays =
        run_builder([&](int fd) { mcu_relay_multi_control(fd, 10, data.data()); }).bytes;
    ASSERT_EQ(relays.size(), 25U);
    EXPECT_EQ(relays[1], 0x17);
    EXPECT_EQ(relays[23], static_cast<uint8_t>(0x99 + 20));
    EXPECT_EQ(relays[24], 0xBB);

    const auto aprom =
        run_builder([&](int fd) { mcu_send_aprom_packet(fd, data.data(), 251, 0); }).bytes;
    ASSERT_EQ(aprom.size(), 257U);
    EXPECT_EQ(aprom[1], 0xFF);
    EXPECT_EQ(aprom[256], 0xBB);
}
