#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device.hpp"
#include "sim_test_util.hpp"

namespace sim {
namespace {

using test::bytes;

// A command frame as the tool builds it: AA, L, code, payload, checksum, BB.
Bytes command(std::uint8_t code, const std::string& payload = "")
{
    Bytes f{0xAA, 0, code};
    const Bytes p = bytes(payload);
    f.insert(f.end(), p.begin(), p.end());
    f[1] = static_cast<std::uint8_t>(p.size() + 3);
    f.push_back(check_sum(std::span(f).subspan(2)));
    f.push_back(0xBB);
    return f;
}

std::vector<std::string> answers(Device& d, std::uint8_t code, const std::string& payload = "",
                                 std::int64_t now_ms = 0)
{
    std::vector<std::string> out;
    for (const auto& f : d.handle(command(code, payload), now_ms)) {
        out.push_back(hex(f));
    }
    return out;
}

std::string answer(Device& d, std::uint8_t code, const std::string& payload = "",
                   std::int64_t now_ms = 0)
{
    const auto all = answers(d, code, payload, now_ms);
    return all.size() == 1 ? all[0] : "(" + std::to_string(all.size()) + " answers)";
}

TEST(Device, AnswersWithTheDefaultState)
{
    struct Case {
        std::uint8_t code;
        const char* payload;
        const char* reply;
    };
    const Case cases[] = {
        {0x32, "", "AA 05 00 32 07 39 BB"},
        {0x31, "", "AA 05 00 31 02 33 BB"},
        {0xFE, "", "AA 05 00 FE 05 03 BB"},
        {0x30, "", "AA 05 00 30 01 31 BB"},
        {0x35, "", "AA 04 00 35 35 BB"},
        {0x45, "", "AA 04 00 45 45 BB"},
        {0x44, "", "AA 0A 00 44 00 00 00 00 00 00 44 BB"},
        {0x71, "", "AA 04 01 71 72 BB"},   // head byte: Bluetooth init status
        {0xA1, "03", "AA 04 03 A1 A4 BB"}, // head byte: the key number
        {0x74, "", "AA 08 00 74 01 F4 00 FA 63 BB"},
        {0x51, "", "AA 08 00 51 00 B0 B3 46 FA BB"},             // 23000.0f = 0x46B3B000
        {0x96, "", "AA 08 00 96 00 08 00 00 9E BB"},             // 2048, least significant first
        {0x72, "", "AA 0C 00 72 53 49 4D 2D 42 54 00 00 1E BB"}, // "SIM-BT" and two zeros
        {0x81, "", "AA 07 00 81 01 0C 22 B0 BB"},
        {0x97, "", "AA 05 00 97 32 C9 BB"},
        {0x98, "", "AA 05 00 98 00 98 BB"},
        {0xBB, "", "AA 05 00 BB 00 BB BB"},
        {0x69, "", "AA 05 00 69 32 9B BB"},
        // RS485 loopback: "Receive" and a zero byte, L = 12
        {0x90, "31 32 33 00", "AA 0C 00 91 52 65 63 65 69 76 65 00 54 BB"},
        {0x9B, "10 20", "AA 07 00 75 00 17 BB 47 BB"}, // IR test report: success
        {0x9C, "10 20", "AA 07 00 75 00 17 BB 47 BB"},
    };
    for (const auto& c : cases) {
        Device d;
        EXPECT_EQ(answer(d, c.code, c.payload), c.reply) << std::hex << int{c.code};
    }
}

TEST(Device, CommandsWithoutReplyHandlerGetNoAnswer)
{
    Device d;
    const std::pair<std::uint8_t, const char*> silent[] = {
        {0x10, ""},
        {0x43, "0C 22 05 43 59 00"},
        {0x55, ""},
        {0x68, "32"},
        {0x92, "00 01 C2 00 01 00 00"},
        {0x9A, "94 70 21"},
        {0xAA, ""},
        {0x12, ""},
    };
    for (const auto& [code, payload] : silent) {
        EXPECT_TRUE(answers(d, code, payload).empty()) << std::hex << int{code};
    }
}

TEST(Device, SerialNumberWrittenIsReadBack)
{
    Device d;
    answers(d, 0x43, "0C 22 05 43 59 00");
    // 44 + 0C + 22 + 05 + 43 + 59 = 0x113
    EXPECT_EQ(answer(d, 0x44), "AA 0A 00 44 0C 22 05 43 59 00 13 BB");
}

TEST(Device, RelaysSwitchAndCountTheirOnTime)
{
    Device d;
    EXPECT_EQ(answer(d, 0x94, "02"), "AA 06 00 94 02 00 96 BB");
    EXPECT_EQ(answer(d, 0x93, "02 01", 1000), "AA 05 00 93 01 94 BB"); // success
    EXPECT_EQ(answer(d, 0x94, "02"), "AA 06 00 94 02 01 97 BB");
    // 1500 - 1000 = 500 ms = 0x1F4, least significant byte first
    EXPECT_EQ(answer(d, 0x95, "02", 1500), "AA 09 00 95 02 F4 01 00 00 8C BB");
    answers(d, 0x93, "02 00", 1700);
    EXPECT_EQ(d.relay_time(2, 9000), 700); // stopped when switched off
    EXPECT_EQ(answer(d, 0x94, "02"), "AA 06 00 94 02 00 96 BB");
    answers(d, 0x93, "02 01", 10000);
    EXPECT_EQ(d.relay_time(2, 10250), 250); // switching on starts again
    EXPECT_EQ(d.relay_time(1, 10250), 0);
}

TEST(Device, MissingRelaysAreRefused)
{
    Device d;
    EXPECT_EQ(answer(d, 0x93, "09 01"), "AA 05 00 93 00 93 BB");
    EXPECT_EQ(answer(d, 0x94, "09"), "AA 06 00 94 09 FF 9C BB");
    EXPECT_EQ(answer(d, 0x95, "00"), "AA 09 00 95 00 FF FF FF FF 91 BB"); // -1
}

TEST(Device, MultiControlCountsSetAndSuccess)
{
    Device d;
    // (1,1) (2,0) (9,1): three set, two exist
    EXPECT_EQ(answer(d, 0x99, "01 01 02 00 09 01", 5), "AA 06 00 99 03 02 9E BB");
    EXPECT_TRUE(d.state().relay[1].on);
    EXPECT_FALSE(d.state().relay[2].on);
    EXPECT_EQ(answer(d, 0x99), "AA 06 00 99 00 00 99 BB");
}

TEST(Device, DutyWorkModeAndTick)
{
    Device d;
    answers(d, 0x68, "4D");
    EXPECT_EQ(answer(d, 0x69), "AA 05 00 69 4D B6 BB");
    EXPECT_EQ(answer(d, 0x6A), "AA 05 00 6A 4D B7 BB");
    answers(d, 0x10);
    EXPECT_EQ(answer(d, 0x31), "AA 05 00 31 00 31 BB");
    answers(d, 0xAA);
    EXPECT_EQ(answer(d, 0x31), "AA 05 00 31 02 33 BB");
    // 123456 ms = 0x0001E240
    EXPECT_EQ(answer(d, 0x20, "", 123456), "AA 08 00 20 40 E2 01 00 43 BB");
}

TEST(Device, LearningReportCarriesTimingsInBase64)
{
    DeviceState s;
    ASSERT_EQ(set_state(s, "ir_learn=1,2"), "");
    Device d(s);
    // d2 = 1 report, d3 = index 1, "AQACAA==" is 01 00 02 00
    EXPECT_EQ(answer(d, 0x9D, "01"), "AA 0E 00 9E 01 01 41 51 41 43 41 41 3D 3D B2 BB");

    ASSERT_EQ(set_state(s, "ir_learn=1,2,3"), "");
    ASSERT_EQ(set_state(s, "ir_fragment=2"), "");
    Device split(s);
    const auto reports = answers(split, 0x9D, "01");
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].substr(0, 20), "AA 0E 00 9E 02 01 41"); // 2 reports, first
    EXPECT_EQ(reports[1], hex(report_ir_learning(2, 2, "AwA=")));
}

TEST(Device, FaultsChangeTheAnswers)
{
    Faults f;
    f.rs485 = true;
    f.ir = true;
    Device d({}, f);
    EXPECT_EQ(answer(d, 0x90, "00"), hex(report_rs485("Rec0ive")));
    EXPECT_EQ(answer(d, 0x9B, "00"), "AA 07 00 75 00 17 BA 46 BB");

    Faults bad;
    bad.checksum = true;
    Device wrong({}, bad);
    EXPECT_EQ(answer(wrong, 0x32), "AA 05 00 32 07 3A BB");

    Faults cut;
    cut.drop_tail = 2;
    Device tail({}, cut);
    EXPECT_EQ(answer(tail, 0x32), "AA 05 00 32 07");

    Faults quiet;
    quiet.silent = true;
    quiet.ignore.insert(0x32);
    Device silent({}, quiet);
    EXPECT_TRUE(answers(silent, 0x44).empty());
    answers(silent, 0x43, "01 02 03 04 05 06"); // still acts on commands
    EXPECT_EQ(silent.state().sn[5], 0x06);

    Faults ignore;
    ignore.ignore.insert(0x32);
    Device deaf({}, ignore);
    EXPECT_TRUE(answers(deaf, 0x32).empty());
    EXPECT_EQ(answers(deaf, 0x31).size(), 1u);
}

TEST(SetState, ParsesEveryKindOfValue)
{
    DeviceState s;
    EXPECT_EQ(set_state(s, "version=0x10"), "");
    EXPECT_EQ(s.version, 0x10);
    EXPECT_EQ(set_state(s, "voltage=22050.5"), "");
    EXPECT_FLOAT_EQ(s.voltage, 22050.5F);
    EXPECT_EQ(set_state(s, "sn=0C:22:05:43:59:00"), "");
    EXPECT_EQ(s.sn[1], 0x22);
    EXPECT_EQ(s.sn[4], 0x59);
    EXPECT_EQ(set_state(s, "humidity=65535"), "");
    EXPECT_EQ(s.humidity, 65535);
    EXPECT_EQ(set_state(s, "relay3=1"), "");
    EXPECT_TRUE(s.relay[3].on);
    EXPECT_EQ(set_state(s, "relay_time3=4000"), "");
    EXPECT_EQ(s.relay[3].time_ms, 4000);
    EXPECT_EQ(set_state(s, "bt_name=ABCDEFGH"), "");
    EXPECT_EQ(set_state(s, "ntc=4294967295"), "");
    EXPECT_EQ(s.ntc, 4294967295u);

    Device d(s);
    EXPECT_EQ(d.relay_time(3, 1000), 5000); // on since the start, 4000 before
}

TEST(SetState, RefusesWhatItCannotUse)
{
    DeviceState s;
    for (const char* bad :
         {"version", "=1", "version=256", "version=", "version=7x", "nosuch=1", "voltage=abc",
          "sn=0C2205", "sn=0C22054359ZZ", "bt_name=ABCDEFGHI", "relay0=1", "relay33=1", "relay1=2",
          "relays=0", "humidity=65536", "ir_learn=", "ir_learn=1,,2", "ir_fragment=0"}) {
        EXPECT_NE(set_state(s, bad), "") << bad;
    }
    EXPECT_EQ(s.version, 7); // nothing changed
}

TEST(Base64, EncodesLikeTheStandardAlphabet)
{
    EXPECT_EQ(base64_encode({}), "");
    EXPECT_EQ(base64_encode(bytes("01")), "AQ==");
    EXPECT_EQ(base64_encode(bytes("01 00")), "AQA=");
    EXPECT_EQ(base64_encode(bytes("01 00 02 00")), "AQACAA==");
    EXPECT_EQ(base64_encode(bytes("FB FF BF")), "+/+/");
}

} // namespace
} // namespace sim
