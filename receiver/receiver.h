// The receiver thread: read, assemble, check, dispatch, release; and the status variables
// that the replies set.
//
//   devctrl_rs485recv_thread  the thread's entry; arg points to the UART descriptor
//   receiver_take_piece       one received piece: assemble it, then handle at most one frame
//   receiver_handle_frame     checksum line, event line and handler of one frame body
#pragma once

#include <atomic>
#include <cstdint>

constexpr uint32_t IR_DECODE_SIZE = 512;

// Status that the receiver thread hands to the driver, read after a fixed wait (what each
// holds is said where it is defined). Relaxed atomics: the sleep is all that orders the threads.
extern std::atomic<int32_t> g_fct_test;
extern std::atomic<int32_t> poe_test[2];

void* devctrl_rs485recv_thread(void* arg);

// ir_decode is the thread's 512-byte infrared decode buffer, kept across frames.
void receiver_take_piece(const uint8_t* piece, int32_t count, uint8_t* ir_decode);
void receiver_handle_frame(const uint8_t* data, uint32_t length, uint8_t* ir_decode);
