// The checksum and every command builder: the bytes that go to the MCU and the trace line
// printed before them.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "protocol/commands.h"
#include "protocol/frame.h"
#include "support.h"

namespace {

using unit::Bytes;
using unit::padded;
using unit::run_builder;

TEST(CheckSum, EmptyIsZero)
{
    const uint8_t bytes[] = {0x12};
    EXPECT_EQ(check_sum(bytes, 0), 0);
}

TEST(CheckSum, SumsExactlyCountBytesModulo256)
{
    const uint8_t carrier[] = {0x9A, 0x94, 0x70, 0x21, 0x55};
    EXPECT_EQ(check_sum(carrier, 4), 0xBF); // 0x1BF cut to 8 bits; the fifth byte is not summed
    EXPECT_EQ(check_sum(carrier, 1), 0x9A);

    uint8_t ones[255];
    for (uint8_t& b : ones) {
        b = 0xFF;
    }
    EXPECT_EQ(check_sum(ones, 255), 0x01); // 255 * 255 = 0xFE01
    EXPECT_EQ(check_sum(ones, 2), 0xFE);
}

TEST(CheckSum, FrameFinishPlacesChecksumAndEndByte)
{
    uint8_t buf[8] = {0xAA, 0x04, 0xA1, 0x03, 0x00, 0x00, 0x77, 0x77};
    frame_finish(buf);
    EXPECT_EQ(Bytes(buf, buf + 8), (Bytes{0xAA, 0x04, 0xA1, 0x03, 0xA4, 0xBB, 0x77, 0x77}));
}

// Commands without parameters: AA 03 code code BB; three of them print the frame first.
struct PlainCommand {
    const char* name;
    void (*builder)(int);
    uint8_t code;
    const char* printed;
};

class PlainCommands : public testing::TestWithParam<PlainCommand> {};

TEST_P(PlainCommands, SendCodeTwice)
{
    const PlainCommand& c = GetParam();
    const unit::Sent sent = run_builder(c.builder);
    EXPECT_EQ(sent.bytes, (Bytes{0xAA, 0x03, c.code, c.code, 0xBB}));
    EXPECT_EQ(sent.printed, c.printed);
}

INSTANTIATE_TEST_SUITE_P(
    Catalogue, PlainCommands,
    testing::Values(
        PlainCommand{"jump_to_ldrom_upgrader", mcu_jump_to_ldrom_upgrader, 0x10, ""},
        PlainCommand{"systick_get", mcu_systick_get, 0x20, ""},
        PlainCommand{"fct_test", mcu_fct_test, 0x30, "get:aa 3 30 30 bb "},
        PlainCommand{"get_work_mode", mcu_get_work_mode, 0x31, ""},
        PlainCommand{"get_version", mcu_get_version, 0x32, ""},
        PlainCommand{"presstest_exit_temporary", mcu_presstest_exit_temporary, 0x35, ""},
        PlainCommand{"sn_no_read", mcu_sn_no_read, 0x44, ""},
        PlainCommand{"presstest_exit", mcu_presstest_exit, 0x45, ""},
        PlainCommand{"presstest_relust_get", mcu_presstest_relust_get, 0x46, ""},
        PlainCommand{"voltage_get", mcu_voltage_get, 0x51, ""},
        PlainCommand{"rly1_current_get", mcu_rly1_current_get, 0x52, ""},
        PlainCommand{"rly1_power_factor_get", mcu_rly1_power_factor_get, 0x53, ""},
        PlainCommand{"rly1_electric_consume_get", mcu_rly1_electric_consume_get, 0x54, ""},
        PlainCommand{"hlw8112_get_angle", mcu_hlw8112_get_angle, 0x56, ""},
        PlainCommand{"hlw8112_get_load_type", mcu_hlw8112_get_load_type, 0x57, ""},
        PlainCommand{"PWM_duty_get", mcu_PWM_duty_get, 0x69, ""},
        PlainCommand{"PWM_target_duty_get", mcu_PWM_target_duty_get, 0x6A, ""},
        PlainCommand{"bt_preapear", fct_bt_preapear, 0x71, "get:aa 3 71 71 bb "},
        PlainCommand{"bt_get_name", fct_bt_get_name, 0x72, "get:aa 3 72 72 bb "},
        PlainCommand{"temp_humidity_get", mcu_temp_humidity_get, 0x74, ""},
        PlainCommand{"pwr_to_load_test", mcu_pwr_to_load_test, 0x81, "mcu_pwr_to_load_test\n"},
        PlainCommand{"pwr_load_short_test", mcu_pwr_load_short_test, 0x82,
                     "mcu_pwr_load_short_test\n"},
        PlainCommand{"relay_read_ntc", mcu_relay_read_ntc, 0x96, ""},
        PlainCommand{"relay_read_frequency", mcu_relay_read_frequency, 0x97, ""},
        PlainCommand{"relay_read_zero_cross_status", mcu_relay_read_zero_cross_status, 0x98, ""},
        PlainCommand{"upgrader_end", mcu_upgrader_end, 0xAA, ""},
        PlainCommand{"erase_aprom", mcu_erase_aprom, 0xBB, ""},
        PlainCommand{"get_mcu_model", mcu_get_mcu_model, 0xFE, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// Commands with parameters, each with the bytes sent and the line printed.
struct ParamCommand {
    const char* name;
    std::function<void(int)> builder;
    Bytes bytes;
    const char* printed;
};

class ParamCommands : public testing::TestWithParam<ParamCommand> {};

TEST_P(ParamCommands, FrameAndTrace)
{
    const ParamCommand& c = GetParam();
    const unit::Sent sent = run_builder(c.builder);
    EXPECT_EQ(sent.bytes, c.bytes);
    EXPECT_EQ(sent.printed, c.printed);
}

const uint8_t sn[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
const uint8_t three[] = {0x01, 0x02, 0x03};
const uint8_t pairs[] = {0x01, 0x01, 0x02, 0x00};
const uint8_t ir_two[] = {0x10, 0x20};
const uint8_t aprom[] = {0x01, 0x02, 0x03, 0x04};

INSTANTIATE_TEST_SUITE_P(
    Catalogue, ParamCommands,
    testing::Values(
        ParamCommand{"hlw8112_get",
                     [](int fd) { mcu_hlw8112_get(fd, 0x55); },
                     {0xAA, 0x03, 0x55, 0x55, 0xBB},
                     ""},
        ParamCommand{"sn_no_write",
                     [](int fd) { mcu_sn_no_write(fd, sn); },
                     {0xAA, 0x09, 0x43, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x58, 0xBB},
                     ""},
        ParamCommand{"PWM_ctrl",
                     [](int fd) { mcu_PWM_ctrl(fd, 50); },
                     {0xAA, 0x04, 0x68, 0x32, 0x9A, 0xBB},
                     ""},
        ParamCommand{"PWM_ctrl_low_byte",
                     [](int fd) { mcu_PWM_ctrl(fd, 306); },
                     {0xAA, 0x04, 0x68, 0x32, 0x9A, 0xBB},
                     ""},
        ParamCommand{"rs485_send", [](int fd) { mcu_rs485_send(fd, three, 3); },
                     padded({0xAA, 0x06, 0x90, 0x01, 0x02, 0x03, 0x96, 0xBB}, 133), "len:3\n"},
        ParamCommand{"rs485_send_empty", [](int fd) { mcu_rs485_send(fd, three, 0); },
                     padded({0xAA, 0x03, 0x90, 0x90, 0xBB}, 133), "len:0\n"},
        ParamCommand{"rs485_usart_set_115200",
                     [](int fd) { mcu_rs485_usart_set(fd, 115200, 1, 0, 0); },
                     {0xAA, 0x0A, 0x92, 0x00, 0x01, 0xC2, 0x00, 0x01, 0x00, 0x00, 0x56, 0xBB},
                     "set baudrate:115200\n"},
        ParamCommand{"rs485_usart_set_9600",
                     [](int fd) { mcu_rs485_usart_set(fd, 9600, 1, 0, 0); },
                     {0xAA, 0x0A, 0x92, 0x00, 0x00, 0x25, 0x80, 0x01, 0x00, 0x00, 0x38, 0xBB},
                     "set baudrate:9600\n"},
        ParamCommand{"rs485_usart_set_order",
                     [](int fd) { mcu_rs485_usart_set(fd, 0xF1020304u, 2, 1, 2); },
                     {0xAA, 0x0A, 0x92, 0xF1, 0x02, 0x03, 0x04, 0x02, 0x01, 0x02, 0x91, 0xBB},
                     "set baudrate:4043440900\n"},
        ParamCommand{"relay_control",
                     [](int fd) { mcu_relay_control(fd, 1, 1); },
                     {0xAA, 0x05, 0x93, 0x01, 0x01, 0x95, 0xBB},
                     "set relay_numb:1\n"},
        ParamCommand{"relay_get",
                     [](int fd) { mcu_relay_get(fd, 2); },
                     {0xAA, 0x04, 0x94, 0x02, 0x96, 0xBB},
                     ""},
        ParamCommand{"relay_read_time",
                     [](int fd) { mcu_relay_read_time(fd, 3); },
                     {0xAA, 0x04, 0x95, 0x03, 0x98, 0xBB},
                     ""},
        ParamCommand{"relay_multi_control", [](int fd) { mcu_relay_multi_control(fd, 2, pairs); },
                     padded({0xAA, 0x07, 0x99, 0x01, 0x01, 0x02, 0x00, 0x9D, 0xBB}, 25),
                     "set numb:2\n"},
        ParamCommand{"relay_multi_control_none",
                     [](int fd) { mcu_relay_multi_control(fd, 0, pairs); },
                     padded({0xAA, 0x03, 0x99, 0x99, 0xBB}, 25), "set numb:0\n"},
        ParamCommand{"ir_carrier_set",
                     [](int fd) { mcu_ir_carrier_set(fd, 38000, 33); },
                     {0xAA, 0x06, 0x9A, 0x94, 0x70, 0x21, 0xBF, 0xBB},
                     ""},
        ParamCommand{"ir_carrier_set_low_16_bits",
                     [](int fd) { mcu_ir_carrier_set(fd, 0x12345, 1); },
                     {0xAA, 0x06, 0x9A, 0x23, 0x45, 0x01, 0x03, 0xBB},
                     ""},
        ParamCommand{"ir_send",
                     [](int fd) { mcu_ir_send(fd, ir_two, 2); },
                     {0xAA, 0x05, 0x9B, 0x10, 0x20, 0xCB, 0xBB},
                     ""},
        ParamCommand{"ir_new_send",
                     [](int fd) { mcu_ir_new_send(fd, ir_two, 2); },
                     {0xAA, 0x05, 0x9C, 0x10, 0x20, 0xCC, 0xBB},
                     "len:2\n"},
        ParamCommand{"ir_receiver_set",
                     [](int fd) { mcu_ir_receiver_set(fd, 1); },
                     {0xAA, 0x04, 0x9D, 0x01, 0x9E, 0xBB},
                     ""},
        ParamCommand{"ir_receiver_set_low_byte",
                     [](int fd) { mcu_ir_receiver_set(fd, 0x102); },
                     {0xAA, 0x04, 0x9D, 0x02, 0x9F, 0xBB},
                     ""},
        ParamCommand{"key_test",
                     [](int fd) { mcu_key_test(fd, 3); },
                     {0xAA, 0x04, 0xA1, 0x03, 0xA4, 0xBB},
                     "mcu_key_test:key num 3\nset:aa 4 a1 3 a4 bb "},
        ParamCommand{"key_test_low_byte",
                     [](int fd) { mcu_key_test(fd, 259); },
                     {0xAA, 0x04, 0xA1, 0x03, 0xA4, 0xBB},
                     "mcu_key_test:key num 3\nset:aa 4 a1 3 a4 bb "},
        ParamCommand{"send_aprom_packet",
                     [](int fd) { mcu_send_aprom_packet(fd, aprom, 4, 7); },
                     {0xAA, 0x08, 0xDD, 0x07, 0x01, 0x02, 0x03, 0x04, 0xEE, 0xBB},
                     "len:4 8\n"},
        ParamCommand{"soft_test",
                     [](int fd) { mcu_soft_test(fd); },
                     {0xAA, 0xAA, 0xAA, 0xAA, 0xAA},
                     "---------------\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// The largest payloads: the fixed-size buffers end exactly at the end byte.
TEST(CommandLimits, MultiControlTenPairsFillsItsBuffer)
{
    uint8_t ten[20];
    for (int i = 0; i < 20; ++i) {
        ten[i] = static_cast<uint8_t>(i + 1);
    }
    const unit::Sent sent = run_builder([&](int fd) { mcu_relay_multi_control(fd, 10, ten); });
    Bytes expected{0xAA, 0x17, 0x99};
    expected.insert(expected.end(), ten, ten + 20);
    expected.push_back(0x6B); // 0x99 + 210
    expected.push_back(0xBB);
    EXPECT_EQ(sent.bytes, expected);
    EXPECT_EQ(sent.printed, "set numb:10\n");
}

TEST(CommandLimits, Rs485FullPayloadFillsItsBuffer)
{
    uint8_t data[128];
    for (int i = 0; i < 128; ++i) {
        data[i] = static_cast<uint8_t>(i);
    }
    const unit::Sent sent = run_builder([&](int fd) { mcu_rs485_send(fd, data, 128); });
    Bytes expected{0xAA, 0x83, 0x90};
    expected.insert(expected.end(), data, data + 128);
    expected.push_back(0x50); // 0x90 + 8128, cut to 8 bits
    expected.push_back(0xBB);
    EXPECT_EQ(sent.bytes, expected);
    EXPECT_EQ(sent.printed, "len:128\n");
}

TEST(CommandLimits, IrLargestFrame)
{
    uint8_t data[252];
    for (uint8_t& b : data) {
        b = 0x01;
    }
    for (const bool new_format : {false, true}) {
        const unit::Sent sent = run_builder([&](int fd) {
            if (new_format) {
                mcu_ir_new_send(fd, data, 252);
            } else {
                mcu_ir_send(fd, data, 252);
            }
        });
        const uint8_t code = new_format ? 0x9C : 0x9B;
        Bytes expected{0xAA, 0xFF, code};
        expected.insert(expected.end(), data, data + 252);
        expected.push_back(static_cast<uint8_t>(code + 252));
        expected.push_back(0xBB);
        EXPECT_EQ(sent.bytes, expected) << "code " << int(code);
        EXPECT_EQ(sent.printed, new_format ? "len:252\n" : "");
    }
}

TEST(CommandLimits, AppFlashPacketLargest)
{
    uint8_t data[251];
    for (uint8_t& b : data) {
        b = 0x02;
    }
    const unit::Sent sent =
        run_builder([&](int fd) { mcu_send_aprom_packet(fd, data, 251, 0x10); });
    Bytes expected{0xAA, 0xFF, 0xDD, 0x10};
    expected.insert(expected.end(), data, data + 251);
    expected.push_back(0xE3); // 0xDD + 0x10 + 502, cut to 8 bits
    expected.push_back(0xBB);
    EXPECT_EQ(sent.bytes, expected);
    EXPECT_EQ(sent.printed, "len:251 255\n");
}

} // namespace
