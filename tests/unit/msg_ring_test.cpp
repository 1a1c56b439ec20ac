// The frame assembler: start, length and body bytes, the ring of four slots, and what happens
// to bytes that belong to no frame.
#include <gtest/gtest.h>

#include <cstring>

#include "receiver/msg_ring.h"
#include "support.h"

namespace {

using unit::Bytes;

const Bytes version_reply{0xAA, 0x05, 0x00, 0x32, 0x07, 0x39, 0xBB};
const Bytes version_body{0x00, 0x32, 0x07, 0x39, 0xBB};

class MsgRing : public testing::Test {
  protected:
    void SetUp() override
    {
        memset(&mcu_msg, 0x5C, sizeof mcu_msg);
        uart_msg_init();
    }
    static void feed(const Bytes& bytes)
    {
        devctrl_uart_msg_deal(bytes.data(), static_cast<int32_t>(bytes.size()));
    }
    static void consume() { mcu_msg.read_index = msg_ring_next(mcu_msg.read_index); }
    // The slot's body bytes and that every byte after them is zero.
    static void expect_slot(int index, const Bytes& body, uint32_t length)
    {
        const msg_slot& s = mcu_msg.slot[index];
        EXPECT_EQ(s.length, length) << "slot " << index;
        EXPECT_EQ(Bytes(s.data, s.data + body.size()), body) << "slot " << index;
        for (uint32_t i = static_cast<uint32_t>(body.size()); i < MSG_SLOT_SIZE; ++i) {
            ASSERT_EQ(s.data[i], 0) << "slot " << index << " position " << i;
        }
    }
    static void expect_idle(int32_t write_index)
    {
        EXPECT_EQ(mcu_msg.write_index, write_index);
        EXPECT_EQ(mcu_msg.expect_len, 0u);
        EXPECT_EQ(mcu_msg.collecting, 0u);
        EXPECT_EQ(mcu_msg.frame_done, 1u);
    }
};

TEST_F(MsgRing, InitialState)
{
    EXPECT_EQ(mcu_msg.start_seen, 0);
    EXPECT_EQ(mcu_msg.len_gate, 1u);
    EXPECT_EQ(mcu_msg.data_gate, 0u);
    EXPECT_EQ(mcu_msg.frame_done, 1u);
    EXPECT_EQ(mcu_msg.collecting, 1u);
    EXPECT_EQ(mcu_msg.next_index, 0);
    EXPECT_EQ(mcu_msg.data_count, 0u);
    EXPECT_EQ(mcu_msg.read_index, 0);
    EXPECT_EQ(mcu_msg.write_index, 0);
    EXPECT_EQ(mcu_msg.expect_len, 0u);
    for (int i = 0; i < MSG_SLOTS; ++i) {
        expect_slot(i, {}, 0);
    }
}

TEST_F(MsgRing, NextIndexWraps)
{
    EXPECT_EQ(msg_ring_next(0), 1);
    EXPECT_EQ(msg_ring_next(1), 2);
    EXPECT_EQ(msg_ring_next(2), 3);
    EXPECT_EQ(msg_ring_next(3), 0);
}

// The version reply gives the same slot however the stream is cut: all 64 ways to cut 7 bytes.
TEST_F(MsgRing, WorkedExampleInEverySplit)
{
    for (unsigned cuts = 0; cuts < 64; ++cuts) {
        SCOPED_TRACE(testing::Message() << "cuts " << cuts);
        memset(&mcu_msg, 0x5C, sizeof mcu_msg);
        uart_msg_init();
        size_t from = 0;
        for (size_t i = 1; i <= version_reply.size(); ++i) {
            if (i == version_reply.size() || (cuts & (1u << (i - 1))) != 0) {
                devctrl_uart_msg_deal(version_reply.data() + from, static_cast<int32_t>(i - from));
                from = i;
            }
        }
        expect_slot(0, version_body, 5);
        expect_idle(1);
        EXPECT_EQ(mcu_msg.read_index, 0);
        EXPECT_EQ(mcu_msg.next_index, 1);
        EXPECT_EQ(mcu_msg.data_count, 5u);
        expect_slot(1, {}, 0);
    }
}

TEST_F(MsgRing, EmptyPiecesChangeNothing)
{
    feed({0xAA, 0x05, 0x00});
    mcu_msg_ring before;
    memcpy(&before, &mcu_msg, sizeof before);
    const uint8_t byte = 0xAA;
    devctrl_uart_msg_deal(&byte, 0);
    devctrl_uart_msg_deal(&byte, -1);
    // The copy includes the padding, and the assembler never writes padding: bytes compare.
    // NOLINTNEXTLINE(bugprone-suspicious-memory-comparison,cert-exp42-c,cert-flp37-c)
    EXPECT_EQ(memcmp(&before, &mcu_msg, sizeof before), 0);
}

TEST_F(MsgRing, RepeatedStartBytesClaimOneSlot)
{
    feed({0xAA, 0xAA, 0xAA, 0x04, 0x01, 0x20, 0x21, 0xBB});
    expect_slot(0, {0x01, 0x20, 0x21, 0xBB}, 4);
    expect_idle(1);
    EXPECT_EQ(mcu_msg.next_index, 1);
}

TEST_F(MsgRing, StartByteInsideBodyIsData)
{
    const Bytes body{0xAA, 0x32, 0xAA, 0xAA, 0x7E, 0xBB};
    Bytes frame{0xAA, 0x06};
    frame.insert(frame.end(), body.begin(), body.end());
    feed(frame);
    expect_slot(0, body, 6);
    expect_idle(1);
}

TEST_F(MsgRing, BytesBetweenFramesLeaveNoTrace)
{
    feed(version_reply);
    feed({0x11, 0x22, 0xBB, 0x05, 0x00});
    feed(version_reply);
    expect_slot(0, version_body, 5);
    expect_slot(1, version_body, 5);
    expect_slot(2, {}, 0);
    expect_idle(2);
}

TEST_F(MsgRing, LostTailSwallowsTheNextFrame)
{
    feed({0xAA, 0x05, 0x00, 0x32, 0x07});             // 39 BB never arrive
    feed({0xAA, 0x05, 0x00, 0x31, 0x01, 0x32, 0xBB}); // its first two bytes complete the first
    expect_slot(0, {0x00, 0x32, 0x07, 0xAA, 0x05}, 5);
    expect_idle(1);
    feed(version_reply); // framing is back at the next start byte
    expect_slot(1, version_body, 5);
    expect_idle(2);
}

TEST_F(MsgRing, LengthZeroThenFrameUsesTheSameSlot)
{
    feed({0xAA, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77});
    EXPECT_EQ(mcu_msg.write_index, 0);
    feed(version_reply);
    // The body overwrites what the empty frame stored as far as it reaches; the rest stays,
    // the restarting 0xAA included.
    expect_slot(0, {0x00, 0x32, 0x07, 0x39, 0xBB, 0x66, 0x77, 0xAA}, 5);
    expect_idle(1);
    EXPECT_EQ(mcu_msg.next_index, 1);
}

TEST_F(MsgRing, BytesBeforeTheFirstFrame)
{
    // After start-up the first byte is passed over and the next ones are stored in slot 0,
    // the first 0xAA included; the first frame's body overwrites them as far as it reaches.
    feed({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88});
    EXPECT_EQ(mcu_msg.data_count, 7u);
    feed(version_reply);
    expect_slot(0, {0x00, 0x32, 0x07, 0x39, 0xBB, 0x77, 0x88, 0xAA}, 5);
    expect_idle(1);
}

TEST_F(MsgRing, LengthOneFrameCompletes)
{
    feed({0xAA, 0x01, 0x55, 0x66});
    expect_slot(0, {0x55}, 1);
    expect_idle(1);
}

TEST_F(MsgRing, IndicesWrapAroundTheRing)
{
    for (int n = 0; n < 9; ++n) {
        const uint8_t value = static_cast<uint8_t>(0x40 + n);
        feed({0xAA, 0x05, 0x00, 0x32, value, static_cast<uint8_t>(0x32 + value), 0xBB});
        const int slot = n % 4;
        EXPECT_EQ(mcu_msg.slot[slot].data[2], value) << "frame " << n;
        EXPECT_EQ(mcu_msg.write_index, (n + 1) % 4) << "frame " << n;
        consume();
        EXPECT_EQ(mcu_msg.read_index, (n + 1) % 4);
    }
}

TEST_F(MsgRing, FullRingDropsTheRestOfThePiece)
{
    for (int n = 0; n < 3; ++n) {
        feed(version_reply);
    }
    expect_idle(3);
    feed({0xAA, 0x05, 0x00, 0x32, 0x07, 0x39, 0xBB});
    expect_slot(3, {}, 0);
    EXPECT_EQ(mcu_msg.write_index, 3);
    EXPECT_EQ(mcu_msg.next_index, 0);
    EXPECT_EQ(mcu_msg.start_seen, 1);
    EXPECT_EQ(mcu_msg.frame_done, 1u);
    EXPECT_EQ(mcu_msg.len_gate, 1u);
    EXPECT_EQ(mcu_msg.expect_len, 0u);

    // The next piece's first byte is taken as a length byte; on completion write_index takes
    // the index computed at the refusal.
    feed({0x03, 0x11, 0x22, 0x33});
    expect_slot(3, {0x11, 0x22, 0x33}, 3);
    expect_idle(0);
    for (int n = 0; n < 3; ++n) {
        expect_slot(n, version_body, 5);
    }
}

TEST_F(MsgRing, FullRingRetriesTheClaim)
{
    for (int n = 0; n < 3; ++n) {
        feed(version_reply);
    }
    feed({0xAA, 0x05});
    expect_slot(3, {}, 0);
    consume();
    feed(version_reply); // a piece that begins with 0xAA claims again, now with room
    expect_slot(3, version_body, 5);
    expect_idle(0);
    EXPECT_EQ(mcu_msg.read_index, 1);
}

// Bodies that would pass the end of the slot: bytes from position 1024 on are dropped, nothing
// outside the slot changes, and the next start byte restarts framing.
TEST_F(MsgRing, OverlongStartupNoiseStaysInsideTheSlot)
{
    feed(Bytes(2000, 0x11));
    EXPECT_EQ(mcu_msg.data_count, MSG_SLOT_SIZE);
    for (uint32_t i = 0; i < MSG_SLOT_SIZE; ++i) {
        ASSERT_EQ(mcu_msg.slot[0].data[i], 0x11) << i;
    }
    expect_slot(1, {}, 0);
    feed(version_reply);
    EXPECT_EQ(Bytes(mcu_msg.slot[0].data, mcu_msg.slot[0].data + 5), version_body);
    EXPECT_EQ(mcu_msg.slot[0].length, 5u);
    expect_idle(1);
}

TEST_F(MsgRing, OverlongEmptyFrameInTheLastSlot)
{
    for (int n = 0; n < 3; ++n) {
        feed(version_reply);
        consume();
    }
    ASSERT_EQ(mcu_msg.write_index, 3);
    feed({0xAA, 0x00});
    feed(Bytes(1500, 0x22));
    EXPECT_EQ(mcu_msg.data_count, MSG_SLOT_SIZE);
    EXPECT_EQ(mcu_msg.slot[3].data[MSG_SLOT_SIZE - 1], 0x22);
    // The fields after the last slot are untouched.
    EXPECT_EQ(mcu_msg.len_gate, 1u);
    EXPECT_EQ(mcu_msg.data_gate, 1u);
    EXPECT_EQ(mcu_msg.frame_done, 0u);
    EXPECT_EQ(mcu_msg.collecting, 1u);
    EXPECT_EQ(mcu_msg.next_index, 0);
    EXPECT_EQ(mcu_msg.read_index, 3);
    EXPECT_EQ(mcu_msg.write_index, 3);
    EXPECT_EQ(mcu_msg.expect_len, 0u);

    feed(version_reply);
    EXPECT_EQ(Bytes(mcu_msg.slot[3].data, mcu_msg.slot[3].data + 5), version_body);
    expect_idle(0);
}

} // namespace
