// Receive path: an arbitrary byte stream from the MCU, cut into pieces of 1 to 4 bytes as the
// receiver thread reads them, each piece through the frame assembler and at most one frame
// checked, dispatched and released (receiver_take_piece). After every piece the ring's state
// must still be one the assembler can be in.
//
// Input: byte 0 is n, the number of control bytes that follow it (at most what is there).
// Each control byte gives four piece sizes, two bits each from the low end, size = bits + 1;
// the control bytes are used over and over. With n = 0 every piece is 4 bytes, as on a busy
// line. The rest of the input is the stream.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "receiver/msg_ring.h"
#include "receiver/receiver.h"

namespace {

constexpr size_t MAX_PIECE = 4;

bool in_ring(int32_t index) { return index >= 0 && index < MSG_SLOTS; }

void check_ring()
{
    const mcu_msg_ring& m = mcu_msg;
    if (!in_ring(m.read_index) || !in_ring(m.write_index) || !in_ring(m.next_index)) {
        fuzz_fail("ring index outside 0..3");
    }
    if (m.data_count > MSG_SLOT_SIZE) {
        fuzz_fail("data_count beyond the slot");
    }
    if (m.expect_len > 255) {
        fuzz_fail("expect_len wider than a length byte");
    }
    // A pending length means a body is being counted and is not complete yet.
    if (m.expect_len != 0 && (m.collecting != 1 || m.data_count >= m.expect_len)) {
        fuzz_fail("pending length without a body in progress");
    }
    for (const msg_slot& slot : m.slot) {
        if (slot.length > 255) {
            fuzz_fail("slot length wider than a length byte");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    quiet_stdout();
    if (size == 0) {
        return 0;
    }

    const uint8_t* control = data + 1;
    const size_t control_count = std::min<size_t>(data[0], size - 1);
    const uint8_t* stream = control + control_count;
    const size_t stream_size = size - 1 - control_count;

    // A fresh run of the tool: the ring as the entry sets it up, and the receiver thread's
    // zeroed decode buffer, allocated exactly so that a write past it is caught.
    uart_msg_init();
    check_ring();
    const std::unique_ptr<uint8_t[]> ir_decode(new uint8_t[IR_DECODE_SIZE]());

    static fenced_piece fence;
    for (size_t pos = 0, step = 0; pos < stream_size; step++) {
        const size_t bits = control_count == 0
                                ? MAX_PIECE - 1
                                : (control[(step / 4) % control_count] >> (2 * (step % 4))) & 3U;
        const size_t count = std::min(bits + 1, stream_size - pos);
        receiver_take_piece(fence.put(stream + pos, count), static_cast<int32_t>(count),
                            ir_decode.get());
        check_ring();
        pos += count;
    }
    return 0;
}
