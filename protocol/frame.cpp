#include "protocol/frame.h"

uint8_t check_sum(const uint8_t* buffer, uint8_t count)
{
    uint8_t sum = 0;
    for (uint8_t i = 0; i < count; i++) {
        sum = static_cast<uint8_t>(sum + buffer[i]);
    }
    return sum;
}

void frame_finish(uint8_t* buf)
{
    const uint8_t len = buf[1];
    // The count is 8 bits wide: (L - 2) arrives modulo 256.
    buf[len] = check_sum(&buf[2], static_cast<uint8_t>(len - 2));
    buf[len + 1] = FRAME_END;
}
