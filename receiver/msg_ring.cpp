#include "receiver/msg_ring.h"

#include <cstring>

mcu_msg_ring mcu_msg;

int32_t msg_ring_next(int32_t index)
{
    const int32_t next = index + 1;
    return next >= MSG_SLOTS ? 0 : next;
}

void uart_msg_init()
{
    memset(&mcu_msg, 0, sizeof(mcu_msg));
    mcu_msg.len_gate = 1;
    mcu_msg.frame_done = 1;
    mcu_msg.collecting = 1;
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
