// The receiver's check and dispatch for what the end-to-end cases cannot reach: the flash
// status replies, an event without a handler, a wrong checksum, and one frame per piece.
#include "receiver/msg_ring.h"
#include "receiver/receiver.h"
#include "support.h"

#include <gtest/gtest.h>

using unit::Bytes;
using unit::capture_stdout;

namespace {

class Receiver : public ::testing::Test {
  protected:
    void SetUp() override { uart_msg_init(); }

    std::string take(const Bytes& piece)
    {
        return capture_stdout(
            [&] { receiver_take_piece(piece.data(), static_cast<int32_t>(piece.size()), ir_decode); });
    }

    uint8_t ir_decode[IR_DECODE_SIZE] = {};
};

} // namespace

TEST_F(Receiver, FlashStatusReplies)
{
    EXPECT_EQ(take({0xAA, 0x05, 0x00, 0xBB, 0x03, 0xBE, 0xBB}),
              "checksum:be == be \nevent id:bb\nAPP_FLASH_ERASE g_flash_ops_state:3 \n");
    EXPECT_EQ(take({0xAA, 0x05, 0x00, 0xDD, 0x01, 0xDE, 0xBB}),
              "checksum:de == de \nevent id:dd\nAPP_FLASH_PROGRAM g_flash_ops_state:1 \n");
}

TEST_F(Receiver, EventWithoutHandlerPrintsItsEventLineOnly)
{
    EXPECT_EQ(take({0xAA, 0x04, 0x00, 0x55, 0x55, 0xBB}), "checksum:55 == 55 \nevent id:55\n");
}

TEST_F(Receiver, WrongChecksumPrintsTheCheckAndChangesNothing)
{
    EXPECT_EQ(take({0xAA, 0x05, 0x00, 0x32, 0x07, 0x38, 0xBB}), "checksum:39 == 38 \n");
    EXPECT_EQ(mcu_msg.read_index, 1); // released all the same
    EXPECT_EQ(mcu_msg.slot[0].length, 0U);
}

TEST_F(Receiver, OneFramePerPiece)
{
    // Three-byte frames of length 1 complete two per piece; each has no checksum position
    // and is released silently, one per piece.
    EXPECT_EQ(take({0xAA, 0x01, 0x00, 0xAA, 0x01, 0x00}), "");
    EXPECT_EQ(mcu_msg.read_index, 1);
    EXPECT_EQ(mcu_msg.write_index, 2);
    EXPECT_EQ(take({0x13}), "");
    EXPECT_EQ(mcu_msg.read_index, 2);
}
