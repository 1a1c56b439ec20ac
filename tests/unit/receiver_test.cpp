// The receiver's check and dispatch for what the end-to-end cases cannot reach: the flash status
// replies and an event without a handler. (They pin the rest: a wrong checksum, length 1, one
// frame handled per piece.)
#include <gtest/gtest.h>

#include "receiver/msg_ring.h"
#include "receiver/receiver.h"
#include "support.h"

using unit::Bytes;
using unit::capture_stdout;

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
