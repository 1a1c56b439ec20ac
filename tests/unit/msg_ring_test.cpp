// The receive path. The frame assembler: the worked example in every split, and the stream
// shapes that framing by the length byte alone must survive (a lost tail, a full ring, the slot
// limit), seen as the receiver sees them: frame by frame. The end-to-end stream cases pin the
// rest (noise, stray start bytes, length 0 and 1, wrapping, frames piling up).
// The receiver's check and dispatch for what the end-to-end cases cannot reach: the flash status
// replies and an event without a handler. (They pin the rest: a wrong checksum, length 1, one
// frame handled per piece.)
#include <gtest/gtest.h>

#include "receiver/msg_ring.h"
#include "receiver/receiver.h"
#include "support.h"

using unit::Bytes;
using unit::capture_stdout;

namespace {

const Bytes VERSION_REPLY = {0xAA, 0x05, 0x00, 0x32, 0x07, 0x39, 0xBB};
const Bytes VERSION_BODY = {0x00, 0x32, 0x07, 0x39, 0xBB};
const Bytes NONE = {}; // what next_frame() gives when no complete frame waits

void feed(const Bytes& bytes)
{
    devctrl_uart_msg_deal(bytes.data(), static_cast<int32_t>(bytes.size()));
}

// The body of the oldest complete frame, consumed as the receiver consumes it; NONE if the
// ring holds no complete frame.
Bytes next_frame()
{
    const msg_slot* frame = msg_ring_oldest();
    if (frame == nullptr) {
        return NONE;
    }
    Bytes body(frame->data, frame->data + frame->length);
    msg_ring_release();
    return body;
}

class MsgRing : public ::testing::Test {
  protected:
    void SetUp() override { uart_msg_init(); }
};

} // namespace

TEST_F(MsgRing, WorkedExampleInEverySplit)
{
    // Each of the six inner boundaries is a cut or not: 64 ways to deliver the frame.
    for (unsigned cuts = 0; cuts < 64; cuts++) {
        uart_msg_init();
        Bytes piece{VERSION_REPLY[0]};
        for (size_t i = 1; i < VERSION_REPLY.size(); i++) {
            if ((cuts >> (i - 1)) & 1U) {
                feed(piece);
                ASSERT_EQ(msg_ring_oldest(), nullptr) << "complete too early, cuts " << cuts;
                piece.clear();
            }
            piece.push_back(VERSION_REPLY[i]);
        }
        feed(piece);
        ASSERT_EQ(next_frame(), VERSION_BODY) << "cuts " << cuts;
        ASSERT_EQ(next_frame(), NONE) << "cuts " << cuts;
    }
}

TEST_F(MsgRing, LostTailSwallowsTheNextFrameThenRecovers)
{
    feed({0xAA, 0x05, 0x00, 0x32}); // two body bytes short
    feed(VERSION_REPLY);            // its first three bytes complete the broken frame
    feed(VERSION_REPLY);
    EXPECT_EQ(next_frame(), (Bytes{0x00, 0x32, 0xAA, 0x05, 0x00}));
    EXPECT_EQ(next_frame(), VERSION_BODY);
    EXPECT_EQ(next_frame(), NONE);
}

TEST_F(MsgRing, FullRingDropsTheRestOfThePiece)
{
    feed({0xAA, 0x01, 0x01, 0xAA, 0x01, 0x02, 0xAA, 0x01, 0x03}); // three complete frames
    feed({0xAA, 0x01, 0x04}); // the fourth claim finds the ring full: all three bytes dropped

    // The next piece's first byte is taken as a length; its frame completes into the last
    // slot and moves the write position onto the read position: the ring reads as empty, and
    // the three frames waiting in it are lost.
    feed({0x01, 0x05});
    EXPECT_EQ(next_frame(), NONE);

    // Framing goes on: the next frame fills the slot at the read position.
    feed(VERSION_REPLY);
    EXPECT_EQ(next_frame(), VERSION_BODY);
    EXPECT_EQ(next_frame(), NONE);
}

namespace {

// Stray bytes lie in slot `slot` up to stray_end: the version reply lands there over them and
// is consumed; when the ring comes round to that slot again, a two-byte body must be followed
// by zeros only.
void expect_stray_bytes_cleared(int slot, size_t stray_end)
{
    feed(VERSION_REPLY);
    const msg_slot* frame = msg_ring_oldest();
    ASSERT_EQ(frame, &mcu_msg.slot[slot]);
    EXPECT_EQ(frame->data[VERSION_BODY.size()], 0x5A);
    EXPECT_EQ(frame->data[stray_end - 1], 0x5A);
    EXPECT_EQ(next_frame(), VERSION_BODY);

    for (int i = 0; i < MSG_SLOTS - 1; i++) {
        feed(VERSION_REPLY);
        EXPECT_EQ(next_frame(), VERSION_BODY);
    }
    feed({0xAA, 0x02, 0x00, 0x71});
    frame = msg_ring_oldest();
    ASSERT_EQ(frame, &mcu_msg.slot[slot]);
    EXPECT_EQ(Bytes(frame->data + 2, frame->data + MSG_SLOT_SIZE), Bytes(MSG_SLOT_SIZE - 2, 0x00));
}

} // namespace

TEST_F(MsgRing, NoByteIsStoredPastTheSlotAndTheReleaseClearsNoise)
{
    // Before the first frame nothing bounds the body position: 1100 noise bytes fill slot 0
    // and the rest are dropped; nothing reaches the next slot's record.
    feed({0x01});
    feed(Bytes(1100, 0x5A));
    EXPECT_EQ(mcu_msg.slot[1].length, 0U);
    EXPECT_EQ(mcu_msg.slot[1].data[0], 0x00);
    expect_stray_bytes_cleared(0, MSG_SLOT_SIZE);
}

TEST_F(MsgRing, TheReleaseClearsBytesStoredUnderLengthZero)
{
    feed({0xAA, 0x01, 0x01}); // into slot 0, so what follows goes to slot 1
    EXPECT_EQ(next_frame(), (Bytes{0x01}));
    feed({0xAA, 0x00});
    feed(Bytes(40, 0x5A));
    expect_stray_bytes_cleared(1, 40);
}

TEST(Receiver, RepliesNoOperationAsksFor)
{
    const struct {
        const char* name;
        Bytes piece;
        const char* printed;
    } cases[] = {
        {"flash erase status",
         {0xAA, 0x05, 0x00, 0xBB, 0x03, 0xBE, 0xBB},
         "checksum:be == be \nevent id:bb\nAPP_FLASH_ERASE g_flash_ops_state:3 \n"},
        {"flash program status",
         {0xAA, 0x05, 0x00, 0xDD, 0x01, 0xDE, 0xBB},
         "checksum:de == de \nevent id:dd\nAPP_FLASH_PROGRAM g_flash_ops_state:1 \n"},
        {"no handler: the event line only",
         {0xAA, 0x04, 0x00, 0x55, 0x55, 0xBB},
         "checksum:55 == 55 \nevent id:55\n"},
    };
    for (const auto& c : cases) {
        uart_msg_init();
        uint8_t ir_decode[IR_DECODE_SIZE] = {};
        EXPECT_EQ(capture_stdout([&] {
                      receiver_take_piece(c.piece.data(), static_cast<int32_t>(c.piece.size()),
                                          ir_decode);
                  }),
                  c.printed)
            << c.name;
        EXPECT_EQ(msg_ring_oldest(), nullptr) << c.name; // released
    }
}
