// The frame assembler: the worked example in every split, and the stream shapes that framing
// by the length byte alone must survive.
#include "receiver/msg_ring.h"
#include "support.h"

#include <gtest/gtest.h>

using unit::Bytes;

namespace {

const Bytes VERSION_REPLY = {0xAA, 0x05, 0x00, 0x32, 0x07, 0x39, 0xBB};

void feed(const Bytes& bytes) { devctrl_uart_msg_deal(bytes.data(), static_cast<int32_t>(bytes.size())); }

Bytes body(int slot)
{
    const msg_slot& s = mcu_msg.slot[slot];
    return {s.data, s.data + s.length};
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
                piece.clear();
            }
            piece.push_back(VERSION_REPLY[i]);
        }
        feed(piece);
        ASSERT_EQ(mcu_msg.write_index, 1) << "cuts " << cuts;
        ASSERT_EQ(body(0), (Bytes{0x00, 0x32, 0x07, 0x39, 0xBB})) << "cuts " << cuts;
        ASSERT_EQ(mcu_msg.expect_len, 0U);
    }
}

TEST_F(MsgRing, StartBytesNoiseAndBodies)
{
    // Repeated start bytes claim one slot; 0xAA inside a body is data; noise between frames
    // leaves no trace.
    feed({0xAA, 0xAA, 0xAA, 0x04, 0xAA, 0x32, 0x07, 0xBB, 0x13, 0x00, 0x37});
    feed(VERSION_REPLY);
    EXPECT_EQ(mcu_msg.write_index, 2);
    EXPECT_EQ(body(0), (Bytes{0xAA, 0x32, 0x07, 0xBB}));
    EXPECT_EQ(body(1), (Bytes{0x00, 0x32, 0x07, 0x39, 0xBB}));
}

TEST_F(MsgRing, LostTailSwallowsTheNextFrameThenRecovers)
{
    feed({0xAA, 0x05, 0x00, 0x32}); // two body bytes short
    feed(VERSION_REPLY);            // its first three bytes complete the broken frame
    feed(VERSION_REPLY);
    EXPECT_EQ(body(0), (Bytes{0x00, 0x32, 0xAA, 0x05, 0x00}));
    EXPECT_EQ(mcu_msg.write_index, 2);
    EXPECT_EQ(body(1), (Bytes{0x00, 0x32, 0x07, 0x39, 0xBB}));
}

TEST_F(MsgRing, LengthZeroRestartsInTheSameSlot)
{
    feed({0xAA, 0x00, 0x11, 0x22});
    EXPECT_EQ(mcu_msg.write_index, 0);
    feed(VERSION_REPLY);
    EXPECT_EQ(mcu_msg.write_index, 1);
    EXPECT_EQ(body(0), (Bytes{0x00, 0x32, 0x07, 0x39, 0xBB}));
}

TEST_F(MsgRing, FullRingDropsTheRestOfThePieceAndIndicesWrap)
{
    feed({0xAA, 0x01, 0x01, 0xAA, 0x01, 0x02, 0xAA, 0x01, 0x03}); // three complete frames
    EXPECT_EQ(mcu_msg.write_index, 3);
    feed({0xAA, 0x01, 0x04}); // the fourth claim finds the ring full: all three bytes dropped
    EXPECT_EQ(mcu_msg.write_index, 3);
    EXPECT_EQ(mcu_msg.start_seen, 1);
    EXPECT_EQ(mcu_msg.next_index, 0);

    // The next piece's first byte is the length of a frame that completes into slot 3 and
    // moves write_index to the index computed at the refusal.
    feed({0x01, 0x05});
    EXPECT_EQ(body(3), (Bytes{0x05}));
    EXPECT_EQ(mcu_msg.write_index, 0);
    EXPECT_EQ(msg_ring_next(3), 0);
}

TEST_F(MsgRing, NoByteIsStoredPastTheSlot)
{
    // Before the first frame nothing bounds the body position: 1100 noise bytes fill the slot
    // and the rest are dropped; the next slot stays untouched.
    feed({0x01});
    feed(Bytes(1100, 0x5A));
    EXPECT_EQ(mcu_msg.data_count, MSG_SLOT_SIZE);
    EXPECT_EQ(mcu_msg.slot[0].data[MSG_SLOT_SIZE - 1], 0x5A);
    EXPECT_EQ(mcu_msg.slot[1].length, 0U);
    EXPECT_EQ(mcu_msg.slot[1].data[0], 0x00);

    feed(VERSION_REPLY); // framing goes on at the next start byte
    EXPECT_EQ(mcu_msg.write_index, 1);
    EXPECT_EQ(body(0), (Bytes{0x00, 0x32, 0x07, 0x39, 0xBB}));
}
