// The driver's built-in test data.
#include <gtest/gtest.h>

#include "driver/payloads.h"
#include "support.h"

namespace {

using unit::Bytes;

TEST(Payloads, SerialNumber)
{
    EXPECT_EQ(Bytes(builtin_sn, builtin_sn + SN_SIZE), (Bytes{0x0C, 0x22, 0x05, 0x43, 0x59, 0x00}));
}

TEST(Payloads, InfraredRawPattern)
{
    ASSERT_EQ(ir_raw_pattern.size(), 252u);
    EXPECT_EQ(Bytes(ir_raw_pattern.begin(), ir_raw_pattern.begin() + 4),
              (Bytes{0x03, 0x80, 0x01, 0xC1}));
    for (size_t group = 1; group <= 62; ++group) {
        EXPECT_EQ(Bytes(ir_raw_pattern.begin() + 4 * group, ir_raw_pattern.begin() + 4 * group + 4),
                  (Bytes{0x00, 0x3B, 0x00, 0xA7}))
            << "group " << group;
    }
}

TEST(Payloads, InfraredNewFormatPattern)
{
    const Bytes expected{0x00, 0x36, 0x00, 0x38, 0x00, 0xA5, 0x00, 0x00, 0x04, 0x01,
                         0xB8, 0x00, 0x1E, 0x01, 0x00, 0x30, 0xB2, 0x4D, 0x7B, 0x84,
                         0xE0, 0x1F, 0x00, 0x00, 0x08, 0x00, 0x36, 0x02, 0x08, 0x01,
                         0xB8, 0x01, 0xB8, 0x01, 0x00, 0x30, 0xB2, 0x4D, 0x7B, 0x84,
                         0xE0, 0x1F, 0x00, 0x00, 0x04, 0x63, 0x38, 0x02, 0x08};
    ASSERT_EQ(expected.size(), static_cast<size_t>(IR_NEW_SIZE));
    EXPECT_EQ(Bytes(ir_new_pattern, ir_new_pattern + IR_NEW_SIZE), expected);
    EXPECT_EQ(Bytes(ir_new_pattern + IR_NEW_SIZE, ir_new_pattern + IR_BUFFER_SIZE),
              Bytes(IR_BUFFER_SIZE - IR_NEW_SIZE, 0x00));
}

} // namespace
