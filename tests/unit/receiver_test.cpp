// The receiver's check and dispatch for what the end-to-end cases cannot reach: the flash
// status replies, an event without a handler, a wrong checksum, and one frame per piece.
#include <gtest/gtest.h>

#include "receiver/msg_ring.h"
#include "receiver/receiver.h"
#include "support.h"

using unit::Bytes;
using unit::capture_stdout;

namespace {

class Receiver : public ::testing::Test {
  protected:
    void SetUp() override { uart_msg_init(); }

    std::string take(const Bytes& piece)
    {
        return capture_stdout([&] {
            receiver_take_piece(piece.data(), static_cast<int32_t>(piece.size()), ir_decode);
        });
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
    EXPECT_EQ(msg_ring_oldest(), nullptr); // released all the same
}

TEST_F(Receiver, OneFramePerPiece)
{
    // Two complete frames in one piece: the second is handled only after the next read.
    const Bytes two = {0xAA, 0x05, 0x00, 0x32, 0x07, 0x39, 0xBB,  // ver 7
                       0xAA, 0x05, 0x00, 0x32, 0x08, 0x3A, 0xBB}; // ver 8
    EXPECT_EQ(take(two), "checksum:39 == 39 \nevent id:32\nver:7 \n");
    EXPECT_EQ(take({0x13}), "checksum:3a == 3a \nevent id:32\nver:8 \n");
    EXPECT_EQ(take({0x13}), "");
}

TEST_F(Receiver, LengthOneFrameIsReleasedSilently)
{
    // A length byte of 1 leaves no checksum position: nothing is printed, the slot is freed.
    EXPECT_EQ(take({0xAA, 0x01, 0x00}), "");
    EXPECT_EQ(msg_ring_oldest(), nullptr);
}
