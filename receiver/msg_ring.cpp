#include "receiver/msg_ring.h"

#include <cstring>

mcu_msg_ring mcu_msg;

namespace {

// The ring index after index: every advance wraps from 3 to 0.
int32_t msg_ring_next(int32_t index)
{
    const int32_t next = index + 1;
    return next >= MSG_SLOTS ? 0 : next;
}

// How many leading bytes of each slot's data may be non-zero since its last release: the
// release clears those, the rest is zero already. Bytes reach a slot only at data_count: a
// body, or stray bytes while no length is pending (before the first frame, under a length
// byte of 0). So data_count is noted when a frame completes, and before a length byte
// restarts it over stray bytes.
uint32_t slot_extent[MSG_SLOTS];

void note_extent(int32_t index, uint32_t count)
{
    if (count > slot_extent[index]) {
        slot_extent[index] = count;
    }
}

} // namespace

void uart_msg_init()
{
    memset(&mcu_msg, 0, sizeof(mcu_msg));
    mcu_msg.len_gate = 1;
    mcu_msg.frame_done = 1;
    mcu_msg.collecting = 1;
    memset(slot_extent, 0, sizeof(slot_extent));
}

void devctrl_uart_msg_deal(const uint8_t* buf, int32_t count)
{
    mcu_msg_ring& m = mcu_msg;
    for (int32_t i = 0; i < count; i++) {
        const uint8_t b = buf[i];

        // Start byte: only while no length is pending; inside a body 0xAA is data.
        if (b == 0xAA && m.expect_len == 0) {
            m.start_seen = 1;
            if (m.frame_done == 1) {
                m.next_index = msg_ring_next(m.write_index);
                if (m.next_index == m.read_index) {
                    return; // ring full: the rest of this piece is dropped
                }
                m.frame_done = 0;
            }
            m.len_gate = 0;
        }

        // Length byte: the byte after the last start byte.
        if (m.start_seen == 1 && m.len_gate == 1) {
            m.start_seen = 0;
            m.expect_len = b;
            m.slot[m.write_index].length = b;
            if (m.collecting == 1) {
                note_extent(m.write_index, m.data_count); // stray bytes before this length
            }
            m.collecting = 1;
            m.data_count = 0;
            m.data_gate = 0;
        }

        // Body byte. Bytes that would fall past the slot's end (possible only while no
        // length is pending: before the first frame or under a length byte of 0) are dropped.
        if (m.collecting == 1 && m.data_gate == 1) {
            if (m.data_count < MSG_SLOT_SIZE) {
                m.slot[m.write_index].data[m.data_count] = b;
                m.data_count++;
            }
            if (m.data_count == m.expect_len) {
                note_extent(m.write_index, m.data_count);
                m.write_index = m.next_index;
                m.expect_len = 0;
                m.collecting = 0;
                m.frame_done = 1;
            }
        }

        // Re-arm: the start and length bytes are never taken twice.
        if (m.data_gate == 0) {
            m.data_gate = 1;
        }
        if (m.len_gate == 0) {
            m.len_gate = 1;
        }
    }
}

void msg_ring_release()
{
    const int32_t index = mcu_msg.read_index;
    memset(mcu_msg.slot[index].data, 0, slot_extent[index]);
    slot_extent[index] = 0;
    mcu_msg.slot[index].length = 0;
    mcu_msg.read_index = msg_ring_next(index);
}
