// The frame assembler and its receive ring of four slots.
//
//   uart_msg_init          the ring's initial state, once, before the receiver thread runs
//   devctrl_uart_msg_deal  cut frame bodies out of one piece of the received stream
//
// Framing is by the length byte alone: no checksum, end byte or timeout is looked at here.
#pragma once

#include <cstdint>

constexpr int MSG_SLOTS = 4;
constexpr uint32_t MSG_SLOT_SIZE = 1024;

struct msg_slot {
    uint32_t length;             // the frame's length byte: the number of body bytes
    uint8_t data[MSG_SLOT_SIZE]; // the body, from the byte after the length byte
};

struct mcu_msg_ring {
    uint8_t start_seen;
    msg_slot slot[MSG_SLOTS];
    uint32_t len_gate;
    uint32_t data_gate;
    uint32_t frame_done;
    uint32_t collecting;
    int32_t next_index;
    uint32_t data_count;
    int32_t read_index;
    int32_t write_index;
    uint32_t expect_len;
};

extern mcu_msg_ring mcu_msg;

// The ring index after index: every advance wraps from 3 to 0.
int32_t msg_ring_next(int32_t index);

void uart_msg_init();
void devctrl_uart_msg_deal(const uint8_t* buf, int32_t count);
