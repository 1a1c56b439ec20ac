#include <gtest/gtest.h>

#include <string>

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

// The frames the device sends in answer, in hex, " / " between them.
std::string answer(Device& d, std::uint8_t code, const std::string& payload = "",
                   std::int64_t now_ms = 0)
{
    std::string out;
    for (const auto& f : d.handle(command(code, payload), now_ms)) {
        out += (out.empty() ? "" : " / ") + hex(f);
    }
    return out;
}

TEST(Device, SerialNumberWrittenIsReadBack)
{
    Device d;
    answer(d, 0x43, "0C 22 05 43 59 00");
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
    answer(d, 0x93, "02 00", 1700);
    EXPECT_EQ(d.relay_time(2, 9000), 700); // stopped when switched off
    EXPECT_EQ(answer(d, 0x94, "02"), "AA 06 00 94 02 00 96 BB");
    answer(d, 0x93, "02 01", 10000);
    EXPECT_EQ(d.relay_time(2, 10250), 250); // switching on starts again
    EXPECT_EQ(d.relay_time(1, 10250), 0);
}

TEST(Device, StuckRelayIsAcknowledgedButKeepsItsState)
{
    DeviceState s;
    ASSERT_EQ(set_state(s, "relay3=1"), "");
    Faults f;
    f.stuck_relay[2] = true;
    f.stuck_relay[3] = true;
    Device d(s, f);
    EXPECT_EQ(answer(d, 0x93, "02 01", 1000), "AA 05 00 93 01 94 BB");          // success, as usual
    EXPECT_EQ(answer(d, 0x94, "02"), "AA 06 00 94 02 00 96 BB");                // still off
    EXPECT_EQ(answer(d, 0x99, "01 01 02 01 03 00"), "AA 06 00 99 03 03 9F BB"); // 3 of 3
    EXPECT_EQ(answer(d, 0x94, "01"), "AA 06 00 94 01 01 96 BB");                // relay 1 switches
    EXPECT_EQ(answer(d, 0x94, "02"), "AA 06 00 94 02 00 96 BB");
    EXPECT_EQ(answer(d, 0x94, "03"), "AA 06 00 94 03 01 98 BB"); // stays on
    EXPECT_EQ(d.relay_time(2, 5000), 0);                         // never ran
    EXPECT_EQ(answer(d, 0x93, "05 01"), "AA 05 00 93 00 93 BB"); // a missing relay still fails
}

TEST(Device, DutyWorkModeAndTick)
{
    Device d;
    answer(d, 0x68, "4D");
    EXPECT_EQ(answer(d, 0x69), "AA 05 00 69 4D B6 BB");
    EXPECT_EQ(answer(d, 0x6A), "AA 05 00 6A 4D B7 BB");
    answer(d, 0x10);
    EXPECT_EQ(answer(d, 0x31), "AA 05 00 31 00 31 BB");
    answer(d, 0xAA);
    EXPECT_EQ(answer(d, 0x31), "AA 05 00 31 02 33 BB");
    // 123456 ms = 0x0001E240
    EXPECT_EQ(answer(d, 0x20, "", 123456), "AA 08 00 20 40 E2 01 00 43 BB");
}

TEST(Device, LearningReportSplitIntoFragments)
{
    // One report whole is pinned end to end (op12_receiver*); split, its parts count up.
    DeviceState s;
    ASSERT_EQ(set_state(s, "ir_learn=1,2,3"), "");
    ASSERT_EQ(set_state(s, "ir_fragment=2"), "");
    Device split(s);
    EXPECT_EQ(answer(split, 0x9D, "01"), hex(report_ir_learning(2, 1, "AQACAA==")) + " / " +
                                             hex(report_ir_learning(2, 2, "AwA=")));
}

TEST(SetState, FloatsFromTheirRawPatternGoOutBitForBit)
{
    // The pattern is sent as is, least significant byte first: NaNs keep sign and payload.
    const auto voltage = [](const std::string& value) {
        DeviceState s;
        const std::string err = set_state(s, "voltage=" + value);
        Device d(s);
        return err.empty() ? answer(d, 0x51) : err;
    };
    EXPECT_EQ(voltage("bits:0x7FC00000"), "AA 08 00 51 00 00 C0 7F 90 BB"); // quiet NaN
    EXPECT_EQ(voltage("bits:0xFF800000"), "AA 08 00 51 00 00 80 FF D0 BB"); // -infinity
    EXPECT_EQ(voltage("bits:0x7FA00001"), "AA 08 00 51 01 00 A0 7F 71 BB"); // signalling NaN
    EXPECT_EQ(voltage("bits:0x00000001"), "AA 08 00 51 01 00 00 00 52 BB"); // smallest subnormal
    EXPECT_EQ(voltage("230"), "AA 08 00 51 00 00 66 43 FA BB");             // 230.0F, for contrast
    for (const char* bad :
         {"bits:", "bits:0x7FC0000", "bits:0x7FC000000", "bits:7FC00000", "bits:0x7FC0000G",
          "bits:0x-7FC0000", "bits: 0x7FC00000", "inf", "nan"}) {
        EXPECT_EQ(voltage(bad),
                  std::string("voltage: '") + bad + "' is not a finite number or bits:0xHHHHHHHH")
            << bad;
    }

    DeviceState s; // every float field takes it, each into its own reply
    for (const char* a : {"current=bits:0x7F800001", "power=bits:0x7F800002",
                          "energy=bits:0x7F800003", "angle=bits:0x7F800004"}) {
        ASSERT_EQ(set_state(s, a), "") << a;
    }
    Device d(s);
    EXPECT_EQ(answer(d, 0x52), "AA 08 00 52 01 00 80 7F 52 BB");
    EXPECT_EQ(answer(d, 0x53), "AA 08 00 53 02 00 80 7F 54 BB");
    EXPECT_EQ(answer(d, 0x54), "AA 08 00 54 03 00 80 7F 56 BB");
    EXPECT_EQ(answer(d, 0x56), "AA 08 00 56 04 00 80 7F 59 BB");
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

} // namespace
} // namespace sim
