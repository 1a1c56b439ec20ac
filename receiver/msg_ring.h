// The frame assembler and its receive ring of four slots.
//
//   uart_msg_init          the ring's initial state, once, before the receiver thread runs
//   devctrl_uart_msg_deal  cut frame bodies out of one piece of the received stream
//   msg_ring_oldest        the oldest complete frame not yet consumed, or nullptr
//   msg_ring_release       clear that frame's slot and move past it
//
// Framing is by the length byte alone: no checksum, end byte or timeout is looked at here. The
// ring holds at most three complete frames: a start byte that would claim the slot at
// read_index is refused, and the rest of its piece dropped.
#pragma once

#include <cstdint>

constexpr int MSG_SLOTS = 4;
constexpr uint32_t MSG_SLOT_SIZE = 1024;

struct msg_slot {
    uint32_t length;             // the frame's length byte: the number of body bytes
    uint8_t data[MSG_SLOT_SIZE]; // the body, from the byte after the length byte
};

// The assembler's whole state and the ring, in one static record. Its flags are 0 or 1.
struct mcu_msg_ring {
    uint8_t start_seen;       // a start byte was accepted; the next byte is its length byte
    msg_slot slot[MSG_SLOTS]; // the ring
    uint32_t len_gate;        // 0 while the start byte itself is handled: it is not its own length
    uint32_t data_gate;       // 0 while the length byte itself is handled: it is not body
    uint32_t frame_done;      // no slot is claimed: the next start byte must claim one
    uint32_t collecting;      // body bytes are stored into slot[write_index]
    int32_t next_index;       // where write_index moves when the frame in progress completes
    uint32_t data_count;      // body bytes stored so far; the position of the next one
    int32_t read_index;       // the oldest slot not yet consumed (moved by msg_ring_release)
    int32_t write_index;      // the slot being filled; equal to read_index when the ring is empty
    uint32_t expect_len;      // the pending length byte; 0 while no body is being counted
};

extern mcu_msg_ring mcu_msg;

void uart_msg_init();
void devctrl_uart_msg_deal(const uint8_t* buf, int32_t count);

// The oldest complete frame not yet consumed (its length byte and body), or nullptr when the
// ring holds none. It stays in the ring until msg_ring_release.
inline const msg_slot* msg_ring_oldest()
{
    return mcu_msg.write_index == mcu_msg.read_index ? nullptr : &mcu_msg.slot[mcu_msg.read_index];
}
// Consumes the oldest complete frame: all of its slot's bytes and its length become zero (so
// a handler that reads past a later, shorter body finds zeros) and read_index moves past it.
// Only after msg_ring_oldest returned a frame.
void msg_ring_release();
