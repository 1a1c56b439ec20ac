#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame.hpp"
#include "sim_test_util.hpp"

namespace sim {
namespace {

using test::bytes;

TEST(CheckSum, IsTheEightBitSum)
{
    EXPECT_EQ(check_sum({}), 0);
    EXPECT_EQ(check_sum(bytes("32")), 0x32);
    EXPECT_EQ(check_sum(bytes("9A 94 70 21")), 0xBF); // 0x1BF wraps
    EXPECT_EQ(check_sum(bytes("FF FF FF")), 0xFD);
}

TEST(BuildReply, MatchesHandBuiltFrames)
{
    struct Case {
        std::uint8_t head;
        std::uint8_t code;
        std::string payload;
        std::string frame;
    };
    const Case cases[] = {
        {0x00, 0x32, "07", "AA 05 00 32 07 39 BB"}, // version 7
        {0x01, 0x71, "", "AA 04 01 71 72 BB"},      // head byte counts in the sum
        {0x00, 0x74, "01 F4 00 FA", "AA 08 00 74 01 F4 00 FA 63 BB"},
        {0x03, 0xA1, "", "AA 04 03 A1 A4 BB"},
        {0x00, 0x75, "00 17 BB", "AA 07 00 75 00 17 BB 47 BB"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(hex(build_reply(c.head, c.code, bytes(c.payload))), c.frame) << c.frame;
    }
}

TEST(BuildReply, LongestPayloadFillsTheLengthByte)
{
    const Bytes payload(251, 0x01);
    const Bytes f = build_reply(0, 0x91, payload);
    ASSERT_EQ(f.size(), 257u);
    EXPECT_EQ(f[1], 0xFF);
    EXPECT_EQ(f[255], static_cast<std::uint8_t>(0x91 + 251));
    EXPECT_EQ(f[256], 0xBB);
}

TEST(CommandChecksum, AcceptsTheToolsFramesOnly)
{
    EXPECT_TRUE(command_checksum_ok(bytes("AA 03 32 32 BB")));
    EXPECT_TRUE(command_checksum_ok(bytes("AA 04 A1 03 A4 BB")));
    EXPECT_TRUE(command_checksum_ok(bytes("AA 0A 92 00 01 C2 00 01 00 00 56 BB")));
    EXPECT_TRUE(command_checksum_ok(bytes("AA 03 BB BB BB")));
    EXPECT_FALSE(command_checksum_ok(bytes("AA 04 A1 03 A5 BB")));
    EXPECT_FALSE(command_checksum_ok(bytes("AA 02 00 BB"))); // no code byte
    EXPECT_FALSE(command_checksum_ok(bytes("AA 04 A1 03"))); // short
}

// Feeds chunks of bytes at given times, then lets the line fall silent until final_ms, and
// returns the log lines of everything cut.
struct Chunk {
    std::int64_t ms;
    std::string hex;
};

std::vector<std::string> cut_all(const std::vector<Chunk>& chunks, std::int64_t final_ms)
{
    FrameCutter cutter;
    std::vector<Cut> cuts;
    for (const auto& c : chunks) {
        cutter.feed(bytes(c.hex), c.ms, cuts);
    }
    cutter.idle(final_ms, cuts);
    std::vector<std::string> lines;
    lines.reserve(cuts.size());
    for (const auto& cut : cuts) {
        lines.push_back(log_line(cut));
    }
    return lines;
}

std::string zeros(int n)
{
    std::string s;
    for (int i = 0; i < n; ++i) {
        s += i == 0 ? "00" : " 00";
    }
    return s;
}

TEST(FrameCutter, CutsTheStream)
{
    struct Case {
        const char* name;
        std::vector<Chunk> chunks;
        std::int64_t final_ms;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"one frame", {{5, "AA 03 32 32 BB"}}, 5, {"5 AA 03 32 32 BB"}},
        {"split, stamped at its first byte",
         {{5, "AA"}, {6, "03 32"}, {7, "32 BB"}},
         7,
         {"5 AA 03 32 32 BB"}},
        {"back to back",
         {{1, "AA 03 32 32 BB AA 04 A1 03 A4 BB"}},
         1,
         {"1 AA 03 32 32 BB", "1 AA 04 A1 03 A4 BB"}},
        {"noise before a frame",
         {{2, "00 11"}, {3, "AA 03 31 31 BB"}},
         3,
         {"2 00 11 noise", "3 AA 03 31 31 BB"}},
        {"bad checksum", {{0, "AA 03 32 33 BB"}}, 0, {"0 AA 03 32 33 BB bad checksum"}},
        {"start and end bytes as codes",
         {{0, "AA 03 BB BB BB AA 03 AA AA BB"}},
         0,
         {"0 AA 03 BB BB BB", "0 AA 03 AA AA BB"}},
        {"soft test frame waits for silence", {{10, "AA AA AA 00 AA"}}, 29, {}},
        {"soft test frame cut after 20 ms",
         {{10, "AA AA AA 00 AA"}},
         30,
         {"10 AA AA AA 00 AA incomplete"}},
        {"soft test frame, then the next command",
         {{10, "AA AA AA 00 AA"}, {2010, "AA 03 32 32 BB"}},
         2010,
         {"10 AA AA AA 00 AA incomplete", "2010 AA 03 32 32 BB"}},
        {"a late start byte is body",
         {{0, "AA 05 93"}, {10, "AA 03 32 32 BB"}},
         10,
         {"0 AA 05 93 AA 03 32 32 bad checksum"}},
        {"RS485 block: frame and 125 zero bytes",
         {{7, "AA 06 90 01 02 03 96 BB " + zeros(125)}},
         27,
         {"7 AA 06 90 01 02 03 96 BB", "7 " + zeros(125) + " noise"}},
        {"relay block: frame and 16 zero bytes",
         {{7, "AA 07 99 01 01 02 00 9D BB " + zeros(16)}, {9, "AA 03 32 32 BB"}},
         9,
         {"7 AA 07 99 01 01 02 00 9D BB", "7 " + zeros(16) + " noise", "9 AA 03 32 32 BB"}},
        {"silence splits noise bursts",
         {{0, "00 00"}, {25, "00"}},
         45,
         {"0 00 00 noise", "25 00 noise"}},
        {"length byte 0", {{0, "AA 00"}}, 0, {"0 AA 00 bad checksum"}},
        {"lone start byte", {{3, "AA"}}, 23, {"3 AA incomplete"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(cut_all(c.chunks, c.final_ms), c.lines) << c.name;
    }
}

TEST(FrameCutter, LargestFrame)
{
    std::string text = "AA FF 9B";
    for (int i = 0; i < 252; ++i) {
        text += " 01";
    }
    text += " 97 BB"; // 0x9B + 252 = 0x197
    const auto lines = cut_all({{0, text}}, 0);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "0 " + text);
}

TEST(FrameCutter, FlushEndsWhatIsPendingAndResetForgetsIt)
{
    FrameCutter cutter;
    std::vector<Cut> cuts;
    cutter.feed(bytes("AA 03 32"), 4, cuts);
    EXPECT_EQ(cutter.deadline(), 24);
    cutter.flush(cuts);
    ASSERT_EQ(cuts.size(), 1u);
    EXPECT_EQ(log_line(cuts[0]), "4 AA 03 32 incomplete");
    EXPECT_FALSE(cutter.deadline());

    cuts.clear();
    cutter.feed(bytes("AA 03"), 5, cuts);
    cutter.reset();
    cutter.feed(bytes("32 BB AA 03 32 32 BB"), 6, cuts);
    cutter.flush(cuts);
    ASSERT_EQ(cuts.size(), 2u);
    EXPECT_EQ(log_line(cuts[0]), "6 32 BB noise");
    EXPECT_EQ(log_line(cuts[1]), "6 AA 03 32 32 BB");
}

} // namespace
} // namespace sim
