#include <gtest/gtest.h>

#include <string>

#include "decode.hpp"
#include "sim_test_util.hpp"

namespace sim {
namespace {

using test::bytes;

TEST(Decode, NamesTheCommandAndItsFields)
{
    struct Case {
        CutKind kind;
        std::string frame;
        std::string line;
    };
    const Case cases[] = {
        {CutKind::frame, "AA 03 32 32 BB", "mcu_get_version"},
        {CutKind::frame, "AA 03 FE FE BB", "mcu_get_mcu_model"},
        {CutKind::frame, "AA 03 AA AA BB", "mcu_upgrader_end"},
        {CutKind::frame, "AA 03 55 55 BB", "mcu_hlw8112_get code=0x55"},
        {CutKind::frame, "AA 05 93 01 01 95 BB", "mcu_relay_control relay=1 value=1"},
        {CutKind::frame, "AA 04 95 02 97 BB", "mcu_relay_read_time relay=2"},
        {CutKind::frame, "AA 0A 92 00 01 C2 00 01 00 00 56 BB",
         "mcu_rs485_usart_set baudrate=115200 data_width=1(8) stop_bits=0(1) parity=0(NO)"},
        {CutKind::frame, "AA 0A 92 00 00 25 80 02 02 02 3D BB",
         "mcu_rs485_usart_set baudrate=9600 data_width=2(9) stop_bits=2(2) parity=2(ODD)"},
        {CutKind::frame, "AA 06 9A 94 70 21 BF BB", "mcu_ir_carrier_set carrier=38000 param=33"},
        {CutKind::frame, "AA 04 A1 03 A4 BB", "mcu_key_test key=3"},
        {CutKind::frame, "AA 04 68 32 9A BB", "mcu_PWM_ctrl duty=50"},
        {CutKind::frame, "AA 04 9D 01 9E BB", "mcu_ir_receiver_set setting=1"},
        {CutKind::frame, "AA 07 99 01 01 02 00 9D BB",
         "mcu_relay_multi_control pairs=2 relay1=1 relay2=0"},
        {CutKind::frame, "AA 09 43 0C 22 05 43 59 00 12 BB",
         "mcu_sn_no_write sn=0C 22 05 43 59 00"},
        {CutKind::frame, "AA 08 DD 07 01 02 03 04 EE BB", "mcu_send_aprom_packet header=7 len=4"},
        {CutKind::frame, "AA 06 90 41 22 00 F3 BB", "mcu_rs485_send len=3 data=\"A\\\"\\x00\""},
        {CutKind::frame, "AA 05 9B 10 20 CB BB", "mcu_ir_send len=2 data=10 20"},
        {CutKind::frame, "AA 0C 9C 01 02 03 04 05 06 07 08 09 C9 BB",
         "mcu_ir_new_send len=9 data=01 02 03 04 05 06 07 08 ..."},
        {CutKind::frame, "AA 04 12 05 17 BB", "unknown command 0x12 payload=05"},
        {CutKind::frame, "AA 03 93 93 BB", "mcu_relay_control (payload 0 bytes, expected 2)"},
        {CutKind::frame, "AA 03 32 32 00", "mcu_get_version end byte 0x00"},
        {CutKind::bad_checksum, "AA 03 32 33 BB", "mcu_get_version bad checksum (sum 32, byte 33)"},
        {CutKind::bad_checksum, "AA 00", "short frame: length byte 0, no code and checksum"},
        {CutKind::incomplete, "AA AA AA 00 AA",
         "mcu_soft_test (incomplete frame: length byte 0xAA announces 170 bytes, 3 came)"},
        {CutKind::incomplete, "AA 05 93 01",
         "incomplete frame: length byte 0x05 announces 5 bytes, 2 came"},
        {CutKind::incomplete, "AA", "incomplete frame: no length byte"},
        {CutKind::noise, "00 00 00", "noise 3 bytes (zero padding)"},
        {CutKind::noise, "BB", "noise 1 byte"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decode({c.kind, 0, bytes(c.frame)}), c.line) << c.frame;
    }
}

TEST(Decode, EveryCommandOfTheToolHasItsBuilderName)
{
    const std::uint8_t codes[] = {0x10, 0x20, 0x30, 0x31, 0x32, 0x35, 0x43, 0x44, 0x45, 0x46, 0x51,
                                  0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x68, 0x69, 0x6A, 0x71, 0x72,
                                  0x74, 0x81, 0x82, 0x90, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98,
                                  0x99, 0x9A, 0x9B, 0x9C, 0x9D, 0xA1, 0xAA, 0xBB, 0xDD, 0xFE};
    for (const std::uint8_t c : codes) {
        const auto name = command_name(c);
        EXPECT_TRUE(name.starts_with("mcu_") || name.starts_with("fct_bt_")) << int{c};
    }
    EXPECT_EQ(command_name(0x71), "fct_bt_preapear");
    EXPECT_EQ(command_name(0x46), "mcu_presstest_relust_get");
    EXPECT_EQ(command_name(0x33), ""); // a report, never a command
}

} // namespace
} // namespace sim
