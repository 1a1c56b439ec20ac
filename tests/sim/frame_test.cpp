#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame.hpp"
#include "sim_test_util.hpp"

namespace sim {
namespace {

using test::bytes;

// build_reply's frames are pinned by device_test and every end-to-end case (op11_sensor: a
// sum that wraps; op13_key3: the head byte in the sum).

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

TEST(FrameCutter, CutsTheStream)
{
    struct Case {
        const char* name;
        std::vector<Chunk> chunks;
        std::int64_t final_ms;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"split, stamped at its first byte",
         {{5, "AA"}, {6, "03 32"}, {7, "32 BB"}},
         7,
         {"5 AA 03 32 32 BB"}},
        {"noise before a frame",
         {{2, "00 11"}, {3, "AA 03 31 31 BB"}},
         3,
         {"2 00 11 noise", "3 AA 03 31 31 BB"}},
        {"start and end bytes as codes",
         {{0, "AA 03 BB BB BB AA 03 AA AA BB"}},
         0,
         {"0 AA 03 BB BB BB", "0 AA 03 AA AA BB"}},
        {"soft test frame waits for silence", {{10, "AA AA AA 00 AA"}}, 29, {}},
        {"soft test frame cut after 20 ms",
         {{10, "AA AA AA 00 AA"}},
         30,
         {"10 AA AA AA 00 AA incomplete"}},
        {"a late start byte is body",
         {{0, "AA 05 93"}, {10, "AA 03 32 32 BB"}},
         10,
         {"0 AA 05 93 AA 03 32 32 bad checksum"}},
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

} // namespace
} // namespace sim
