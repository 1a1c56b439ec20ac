// The receiver: checksum and event lines, every handler's output and the status variables it
// sets, and the take-one-frame-per-piece rhythm over the ring.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "receiver/msg_ring.h"
#include "receiver/receiver.h"
#include "support.h"

namespace {

using unit::Bytes;
using unit::capture_stdout;

struct Status {
    int32_t fct_test = -1;
    int32_t workmode = 1;
    int32_t version = 1;
    int32_t model = 0;
    uint8_t flash = 0;
    int32_t poe0 = 0;
    int32_t poe1 = 0;

    bool operator==(const Status&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Status& s)
{
    return os << "{fct " << s.fct_test << ", workmode " << s.workmode << ", version " << s.version
              << ", model " << s.model << ", flash " << int(s.flash) << ", poe " << s.poe0 << "/"
              << s.poe1 << "}";
}

Status status_now()
{
    return {g_fct_test.load(),  g_mcu_workmode.load(),    g_mcu_version.load(),
            g_mcu_model.load(), g_flash_ops_state.load(), poe_test[0].load(),
            poe_test[1].load()};
}

uint8_t sum(const Bytes& bytes)
{
    uint8_t s = 0;
    for (const uint8_t b : bytes) {
        s = static_cast<uint8_t>(s + b);
    }
    return s;
}

// head, event id and payload, followed by the checksum byte (plus delta) and the end byte.
Bytes with_trailer(const Bytes& content, uint8_t delta = 0)
{
    Bytes body = content;
    body.push_back(static_cast<uint8_t>(sum(content) + delta));
    body.push_back(0xBB);
    return body;
}

std::string check_lines(const Bytes& content)
{
    char line[64];
    snprintf(line, sizeof line, "checksum:%x == %x \nevent id:%x\n", sum(content), sum(content),
             content[1]);
    return line;
}

class Receiver : public testing::Test {
  protected:
    uint8_t ir_decode[IR_DECODE_SIZE] = {};

    void SetUp() override
    {
        g_fct_test = -1;
        g_mcu_workmode = 1;
        g_mcu_version = 1;
        g_mcu_model = 0;
        g_flash_ops_state = 0;
        poe_test[0] = 0;
        poe_test[1] = 0;
        uart_msg_init();
    }
    // One slot body as the ring holds it: the body, then zero bytes to the end of the slot.
    std::string handle(const Bytes& body)
    {
        uint8_t slot[MSG_SLOT_SIZE] = {};
        memcpy(slot, body.data(), body.size());
        return capture_stdout(
            [&] { receiver_handle_frame(slot, static_cast<uint32_t>(body.size()), ir_decode); });
    }
    std::string take(const Bytes& piece)
    {
        return capture_stdout([&] {
            receiver_take_piece(piece.data(), static_cast<int32_t>(piece.size()), ir_decode);
        });
    }
};

struct HandlerCase {
    const char* name;
    Bytes content;       // head byte, event id, payload
    const char* printed; // after the checksum and event lines
    Status status;
};

class Handlers : public Receiver, public testing::WithParamInterface<HandlerCase> {};

TEST_P(Handlers, PrintAndStore)
{
    const HandlerCase& c = GetParam();
    EXPECT_EQ(handle(with_trailer(c.content)), check_lines(c.content) + c.printed);
    EXPECT_EQ(status_now(), c.status);
}

#define DEG                                                                                        \
    "\xC2\xB0"                                                                                     \
    "C"

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Events, Handlers,
    testing::Values(
        HandlerCase{"systick", {0x00, 0x20, 0x78, 0x56, 0x34, 0x12}, "Systick time:305419896 ms\n", {}},
        HandlerCase{"systick_max", {0x00, 0x20, 0xFF, 0xFF, 0xFF, 0xFF}, "Systick time:4294967295 ms\n", {}},
        HandlerCase{"fct", {0x00, 0x30, 0x01}, "g_fct_test:1 \n", Status{.fct_test = 1}},
        HandlerCase{"fct_255", {0x00, 0x30, 0xFF}, "g_fct_test:255 \n", Status{.fct_test = 255}},
        HandlerCase{"workmode_boot", {0x00, 0x31, 0x00}, "mcu work bootloader.\n", Status{.workmode = 0}},
        HandlerCase{"workmode_aprom", {0x00, 0x31, 0x02}, "mcu work aprom.\n", Status{.workmode = 2}},
        HandlerCase{"version", {0x00, 0x32, 0x07}, "ver:7 \n", Status{.version = 7}},
        HandlerCase{"version_200", {0x00, 0x32, 0xC8}, "ver:200 \n", Status{.version = 200}},
        HandlerCase{"sw1", {0x00, 0x33, 0x01}, "sw1 state :1 \n", {}},
        HandlerCase{"presstest_temporary", {0x00, 0x35}, "presstest exit temporary\n", {}},
        HandlerCase{"presstest_set", {0x00, 0x45}, "presstest exit set\n", {}},
        HandlerCase{"sn", {0x00, 0x44, 0x0C, 0x22, 0x05, 0x43, 0x59, 0x00}, "sn:    c  22   5  43  59   0.\n", {}},
        HandlerCase{"presstest_result", {0x00, 0x46, 0x03}, "presstest result:3 \n", {}},
        HandlerCase{"voltage", {0x00, 0x51, 0x5A, 0x20, 0xF1, 0x47}, "---A vol 1234567.000000 mv = 1234.567017 V.\n", {}},
        HandlerCase{"voltage_220", {0x00, 0x51, 0x00, 0x80, 0x5C, 0x43}, "---A vol 2205.000000 mv = 2.205000 V.\n", {}},
        HandlerCase{"current", {0x00, 0x52, 0x00, 0x00, 0xC0, 0x3F}, "---A cur 1.500000 mA.\n", {}},
        HandlerCase{"power", {0x00, 0x53, 0x00, 0x00, 0x10, 0xC0}, "---A Pa -2.250000 W.\n", {}},
        HandlerCase{"power_report", {0x00, 0x58, 0xCD, 0xCC, 0xCC, 0x3D}, "---A Pa 0.100000 W.\n", {}},
        HandlerCase{"energy", {0x00, 0x54, 0x00, 0x00, 0x00, 0x3E}, "---A Ea 0.125000 KWh.\n", {}},
        HandlerCase{"angle", {0x00, 0x56, 0x00, 0x00, 0xB4, 0x42}, "---A Angle 90.000000.\n", {}},
        HandlerCase{"load_inductive", {0x00, 0x57, 0x01}, "---A Load Type:1=Indctive.\n", {}},
        HandlerCase{"load_capacitive", {0x00, 0x57, 0x00}, "---A Load Type:0=Capacitive.\n", {}},
        HandlerCase{"load_200", {0x00, 0x57, 0xC8}, "---A Load Type:200=Indctive.\n", {}},
        HandlerCase{"duty", {0x00, 0x69, 0x32}, "duty 50\n", {}},
        HandlerCase{"target_duty", {0x00, 0x6A, 0x50}, "target duty 80\n", {}},
        HandlerCase{"bt_int", {0x05, 0x71}, "bt int:5 \n", {}},
        HandlerCase{"bt_int_200", {0xC8, 0x71, 0x01}, "bt int:200 \n", {}},
        HandlerCase{"bt_name", {0x00, 0x72, 'B', 'T', '_', '1', '2', '3', '4', '5'}, "gbtname:BT_12345 \n", {}},
        HandlerCase{"bt_name_eight_of_ten", {0x00, 0x72, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J'}, "gbtname:ABCDEFGH \n", {}},
        HandlerCase{"bt_name_short", {0x00, 0x72, 'B', 'T', '1', 0x00}, "gbtname:BT1 \n", {}},
        HandlerCase{"temp_humidity", {0x00, 0x74, 0x01, 0xF4, 0x00, 0xFA}, "humidity:500, temp:250 \n", {}},
        HandlerCase{"temp_humidity_max", {0x00, 0x74, 0xFF, 0xFF, 0xFF, 0xFE}, "humidity:65535, temp:65534 \n", {}},
        HandlerCase{"ir_test_success", {0x00, 0x75, 0x00, 0x17, 0xBB}, "ir test:success\n", {}},
        HandlerCase{"ir_test_fail", {0x00, 0x75, 0x00, 0x17, 0xBA}, "ir test:fail\n", {}},
        HandlerCase{"ir_test_fail_high", {0x00, 0x75, 0x01, 0x17, 0xBB}, "ir test:fail\n", {}},
        HandlerCase{"ir_test_fail_shifted", {0x00, 0x75, 0x17, 0xBB, 0x00}, "ir test:fail\n", {}},
        HandlerCase{"power_load_pass", {0x00, 0x81, 0x01, 0x01, 0x05}, "Power Load test:pass\nADC val:0x0105\n", {}},
        HandlerCase{"power_load_fail", {0x00, 0x81, 0x00, 0x0C, 0x22}, "Power Load test:fail\nADC val:0x1234\n", {}},
        HandlerCase{"power_load_wide", {0x00, 0x81, 0xC8, 0x7B, 0x00}, "Power Load test:pass\nADC val:0x12300\n", {}},
        HandlerCase{"short_pass", {0x00, 0x82, 0x01, 0x09, 0x63}, "Short Circuit test:pass\nADC val:0x0999\n", {}},
        HandlerCase{"short_fail", {0x00, 0x82, 0x00, 0x00, 0x00}, "Short Circuit test:fail\nADC val:0x0000\n", {}},
        HandlerCase{"rs485_match", {0x00, 0x91, 'R', 'e', 'c', 'e', 'i', 'v', 'e', 0x00}, "rs485 receive result len:12 \n 52 65 63 65 69 76 65  0\n", Status{.poe0 = 1}},
        HandlerCase{"rs485_match_text_ends_at_zero", {0x00, 0x91, 'R', 'e', 'c', 'e', 'i', 'v', 'e', 0x00, 'x'}, "rs485 receive result len:13 \n 52 65 63 65 69 76 65  0 78\n", Status{.poe0 = 1}},
        // The head byte 0xAC makes the checksum byte zero, and that zero ends the text.
        HandlerCase{"rs485_match_zero_checksum", {0xAC, 0x91, 'R', 'e', 'c', 'e', 'i', 'v', 'e'}, "rs485 receive result len:11 \n 52 65 63 65 69 76 65\n", Status{.poe0 = 1}},
        HandlerCase{"rs485_other_text", {0x00, 0x91, 'R', 'e', 'c', 'e', 'i', 'v', 'x', 0x00}, "rs485 receive result len:12 \n 52 65 63 65 69 76 78  0\ns1 != s2\n", {}},
        HandlerCase{"rs485_prefix", {0x00, 0x91, 'R', 'e', 'c', 'e', 'i', 'v', 0x00}, "rs485 receive result len:11 \n 52 65 63 65 69 76  0\ns1 != s2\n", {}},
        HandlerCase{"rs485_unterminated", {0x00, 0x91, 'R', 'e', 'c', 'e', 'i', 'v', 'e'}, "rs485 receive result len:11 \n 52 65 63 65 69 76 65\ns1 != s2\n", {}},
        HandlerCase{"rs485_empty", {0x00, 0x91}, "rs485 receive result len:4 \n\ns1 != s2\n", {}},
        HandlerCase{"relay_control", {0x00, 0x93, 0x01}, "Relay Control:1\n", {}},
        HandlerCase{"relay_get", {0x00, 0x94, 0x02, 0x01}, "Relay2 Read:1\n", {}},
        HandlerCase{"relay_time", {0x00, 0x95, 0x01, 0x01, 0x02, 0x03, 0x04}, "Relay1 Time:67305985\n", {}},
        HandlerCase{"relay_time_minus_one", {0x00, 0x95, 0x04, 0xFF, 0xFF, 0xFF, 0xFF}, "Relay4 Time:-1\n", {}},
        HandlerCase{"relay_time_min", {0x00, 0x95, 0x02, 0x00, 0x00, 0x00, 0x80}, "Relay2 Time:-2147483648\n", {}},
        HandlerCase{"ntc_2048", {0x00, 0x96, 0x00, 0x08, 0x00, 0x00}, "NTC_Temp:25.02" DEG "\n", {}},
        HandlerCase{"ntc_306", {0x00, 0x96, 0x32, 0x01, 0x00, 0x00}, "NTC_Temp:-24.37" DEG "\n", {}},
        HandlerCase{"ntc_3757", {0x00, 0x96, 0xAD, 0x0E, 0x00, 0x00}, "NTC_Temp:87.58" DEG "\n", {}},
        HandlerCase{"ntc_0", {0x00, 0x96, 0x00, 0x00, 0x00, 0x00}, "NTC_Temp:0.00" DEG "\n", {}},
        HandlerCase{"ntc_upper_bytes", {0x00, 0x96, 0x00, 0x08, 0x01, 0x00}, "NTC_Temp:0.00" DEG "\n", {}},
        HandlerCase{"frequency", {0x00, 0x97, 0x32}, "Main Frequency:50 Hz\n", {}},
        HandlerCase{"zero_cross_normal", {0x00, 0x98, 0x00}, "Zero-cross detection status:normal\n", {}},
        HandlerCase{"zero_cross_err", {0x00, 0x98, 0x01}, "Zero-cross detection status:err\n", {}},
        HandlerCase{"zero_cross_err_255", {0x00, 0x98, 0xFF}, "Zero-cross detection status:err\n", {}},
        HandlerCase{"multi_control", {0x00, 0x99, 0x03, 0x02}, "Relay Multi-Control:set=3 and success=2\n", {}},
        HandlerCase{"ir_learn", {0x00, 0x9E, 0x02, 0x01, 'A', 'Q', 'A', 'C', 'A', 'A', '=', '='}, "1/2 byte_len: 4\n1 2 \n", {}},
        HandlerCase{"ir_learn_odd", {0x00, 0x9E, 0x05, 0x06, 'A', 'Q', 'I', 'D'}, "6/5 byte_len: 3\n513 \n", {}},
        HandlerCase{"ir_learn_high_byte", {0x00, 0x9E, 0x00, 0x00, '/', '/', '8', 'A'}, "0/0 byte_len: 3\n65535 \n", {}},
        HandlerCase{"ir_learn_no_text", {0x00, 0x9E, 0x05, 0x06}, "6/5 byte_len: 0\n\n", {}},
        // Shorter than the two leading bytes: the checksum and end bytes stand where they would be.
        HandlerCase{"ir_learn_length_5", {0x00, 0x9E, 0x07}, "165/7 byte_len: 0\n\n", {}},
        HandlerCase{"ir_learn_length_4", {0x00, 0x9E}, "187/158 byte_len: 0\n\n", {}},
        HandlerCase{"key", {0x03, 0xA1}, "key set 3\n", {}},
        HandlerCase{"key_hex", {0xAB, 0xA1, 0x00}, "key set ab\n", {}},
        HandlerCase{"flash_erase", {0x00, 0xBB, 0x01}, "APP_FLASH_ERASE g_flash_ops_state:1 \n", Status{.flash = 1}},
        HandlerCase{"flash_program", {0x00, 0xDD, 0x02}, "APP_FLASH_PROGRAM g_flash_ops_state:2 \n", Status{.flash = 2}},
        HandlerCase{"flash_program_255", {0x00, 0xDD, 0xFF}, "APP_FLASH_PROGRAM g_flash_ops_state:255 \n", Status{.flash = 255}},
        HandlerCase{"model", {0x00, 0xFE, 0x05}, "mcu type 0x 5.\n", Status{.model = 5}},
        HandlerCase{"model_hex", {0x00, 0xFE, 0xAB}, "mcu type 0xab.\n", Status{.model = 0xAB}},
        HandlerCase{"no_handler_55", {0x00, 0x55, 0x01, 0x02}, "", {}},
        HandlerCase{"no_handler_00", {0x00, 0x00, 0x01}, "", {}},
        HandlerCase{"no_handler_1f", {0x00, 0x1F, 0x01}, "", {}},
        HandlerCase{"no_handler_90", {0x00, 0x90, 0x01}, "", {}},
        HandlerCase{"no_handler_aa", {0x00, 0xAA, 0x01}, "", {}},
        HandlerCase{"no_handler_ff", {0x00, 0xFF, 0x01}, "", {}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// A wrong checksum byte: the checksum line alone, no handler, no status change.
class BadChecksum : public Receiver, public testing::WithParamInterface<Bytes> {};

TEST_P(BadChecksum, OnlyTheCheckLine)
{
    const Bytes& content = GetParam();
    char line[64];
    snprintf(line, sizeof line, "checksum:%x == %x \n", sum(content),
             static_cast<uint8_t>(sum(content) + 1));
    EXPECT_EQ(handle(with_trailer(content, 1)), line);
    EXPECT_EQ(status_now(), Status{});
}

INSTANTIATE_TEST_SUITE_P(
    Setters, BadChecksum,
    testing::Values(Bytes{0x00, 0x30, 0x01}, Bytes{0x00, 0x31, 0x00}, Bytes{0x00, 0x32, 0x07},
                    Bytes{0x00, 0xBB, 0x01}, Bytes{0x00, 0xDD, 0x02}, Bytes{0x00, 0xFE, 0x05},
                    Bytes{0x00, 0x91, 'R', 'e', 'c', 'e', 'i', 'v', 'e', 0x00},
                    Bytes{0x00, 0x9E, 0x02, 0x01, 'A', 'Q', 'A', 'C', 'A', 'A', '=', '='}));

TEST_F(Receiver, VersionWithWrongChecksum)
{
    EXPECT_EQ(handle({0x00, 0x32, 0x07, 0x38, 0xBB}), "checksum:39 == 38 \n");
    EXPECT_EQ(g_mcu_version.load(), 1);
}

TEST_F(Receiver, Rs485MatchesCount)
{
    poe_test[1] = 5;
    const Bytes report = with_trailer({0x00, 0x91, 'R', 'e', 'c', 'e', 'i', 'v', 'e', 0x00});
    handle(report);
    handle(report);
    handle(with_trailer({0x00, 0x91, 'r', 'e', 'c', 'e', 'i', 'v', 'e', 0x00}));
    EXPECT_EQ(poe_test[0].load(), 2);
    EXPECT_EQ(poe_test[1].load(), 5);
}

TEST_F(Receiver, IrLearningDecodesIntoTheCallersBuffer)
{
    handle(with_trailer({0x00, 0x9E, 0x01, 0x01, 'A', 'Q', 'I', 'D', 'B', 'A', 'U', 'G'}));
    EXPECT_EQ(Bytes(ir_decode, ir_decode + 6), (Bytes{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(handle(with_trailer({0x00, 0x9E, 0x01, 0x01, 'B', 'w', '=', '='})),
              check_lines({0x00, 0x9E, 0x01, 0x01, 'B', 'w', '=', '='}) + "1/1 byte_len: 1\n\n");
    EXPECT_EQ(ir_decode[0], 7);
}

// Frames whose length leaves no room for the positions a handler reads, with the slot placed
// right next to an inaccessible page: nothing outside the slot is read.
TEST_F(Receiver, LengthOneIsDroppedSilently)
{
    unit::GuardedBytes slot(MSG_SLOT_SIZE, false);
    memset(slot.data(), 0, MSG_SLOT_SIZE);
    slot.data()[0] = 0x55;
    EXPECT_EQ(capture_stdout([&] { receiver_handle_frame(slot.data(), 1, ir_decode); }), "");
    EXPECT_EQ(status_now(), Status{});
}

TEST_F(Receiver, ShortIrLearningReportStaysInsideTheSlot)
{
    for (const uint32_t length : {4u, 5u}) {
        unit::GuardedBytes slot(MSG_SLOT_SIZE, true);
        memset(slot.data(), 'Q', MSG_SLOT_SIZE); // Base64 text all the way to the slot's end
        const Bytes content = length == 4 ? Bytes{0x00, 0x9E} : Bytes{0x00, 0x9E, 0x07};
        const Bytes body = with_trailer(content);
        memcpy(slot.data(), body.data(), body.size());
        const std::string printed =
            capture_stdout([&] { receiver_handle_frame(slot.data(), length, ir_decode); });
        EXPECT_NE(printed.find("byte_len: 0\n\n"), std::string::npos) << printed;
    }
}

TEST_F(Receiver, EveryEventWithinTheSlot)
{
    unit::GuardedBytes slot(MSG_SLOT_SIZE, true);
    for (int event = 0; event < 256; ++event) {
        memset(slot.data(), 'R', MSG_SLOT_SIZE);
        slot.data()[0] = 0x01;
        slot.data()[1] = static_cast<uint8_t>(event);
        Bytes content(slot.data(), slot.data() + 253);
        slot.data()[253] = sum(content);
        slot.data()[254] = 0xBB;
        const std::string printed =
            capture_stdout([&] { receiver_handle_frame(slot.data(), 255, ir_decode); });
        EXPECT_EQ(printed.rfind(check_lines(content), 0), 0u) << "event " << event;
    }
}

// Through the ring: one frame at most after every piece, then the slot is released.
TEST_F(Receiver, VersionReplyInTwoPieces)
{
    EXPECT_EQ(take({0xAA, 0x05, 0x00, 0x32}), "");
    EXPECT_EQ(take({0x07, 0x39, 0xBB}), "checksum:39 == 39 \nevent id:32\nver:7 \n");
    EXPECT_EQ(g_mcu_version.load(), 7);
    EXPECT_EQ(mcu_msg.read_index, 1);
    EXPECT_EQ(mcu_msg.write_index, 1);
    EXPECT_EQ(mcu_msg.slot[0].length, 0u);
    for (uint32_t i = 0; i < MSG_SLOT_SIZE; ++i) {
        ASSERT_EQ(mcu_msg.slot[0].data[i], 0) << i;
    }
}

TEST_F(Receiver, WrongChecksumIsReleasedToo)
{
    EXPECT_EQ(take({0xAA, 0x05, 0x00, 0x32, 0x07, 0x38, 0xBB}), "checksum:39 == 38 \n");
    EXPECT_EQ(g_mcu_version.load(), 1);
    EXPECT_EQ(mcu_msg.read_index, 1);
    EXPECT_EQ(mcu_msg.slot[0].length, 0u);
    EXPECT_EQ(mcu_msg.slot[0].data[1], 0);
}

TEST_F(Receiver, EndByteIsNotExamined)
{
    EXPECT_EQ(take({0xAA, 0x05, 0x00, 0x32, 0x07, 0x39, 0x00}),
              "checksum:39 == 39 \nevent id:32\nver:7 \n");
}

TEST_F(Receiver, SecondWaitingFrameNeedsAnotherPiece)
{
    EXPECT_EQ(
        take({0xAA, 0x05, 0x00, 0x32, 0x07, 0x39, 0xBB, 0xAA, 0x05, 0x00, 0x32, 0x09, 0x3B, 0xBB}),
        "checksum:39 == 39 \nevent id:32\nver:7 \n");
    EXPECT_EQ(mcu_msg.read_index, 1);
    EXPECT_EQ(mcu_msg.write_index, 2);
    EXPECT_EQ(take({0x00}), "checksum:3b == 3b \nevent id:32\nver:9 \n");
    EXPECT_EQ(g_mcu_version.load(), 9);
    EXPECT_EQ(take({0x00}), "");
    EXPECT_EQ(mcu_msg.read_index, 2);
}

TEST_F(Receiver, LengthOneFrameIsReleasedSilently)
{
    EXPECT_EQ(take({0xAA, 0x01, 0x55}), "");
    EXPECT_EQ(mcu_msg.read_index, 1);
    EXPECT_EQ(mcu_msg.write_index, 1);
    EXPECT_EQ(mcu_msg.slot[0].data[0], 0);
    EXPECT_EQ(take({0xAA, 0x05, 0x00, 0x32}), "");
    EXPECT_EQ(take({0x07, 0x39, 0xBB}), "checksum:39 == 39 \nevent id:32\nver:7 \n");
}

TEST_F(Receiver, RingWrapsWhileFramesAreHandled)
{
    for (int n = 0; n < 9; ++n) {
        const uint8_t value = static_cast<uint8_t>(n + 1);
        const Bytes content{0x00, 0x32, value};
        Bytes frame{0xAA, 0x05};
        const Bytes body = with_trailer(content);
        frame.insert(frame.end(), body.begin(), body.end());
        EXPECT_EQ(take(frame), check_lines(content) + "ver:" + std::to_string(n + 1) + " \n");
        EXPECT_EQ(mcu_msg.read_index, (n + 1) % 4);
        EXPECT_EQ(mcu_msg.write_index, (n + 1) % 4);
    }
}

} // namespace
