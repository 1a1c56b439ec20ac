#include <gtest/gtest.h>

#include <stdexcept>

#include "pacer.hpp"
#include "sim_test_util.hpp"

namespace sim {
namespace {

using test::bytes;

TEST(Pace, Parses)
{
    EXPECT_EQ(Pace::parse("line").kind, Pace::Kind::line);
    EXPECT_EQ(Pace::parse("burst").kind, Pace::Kind::burst);
    const Pace p = Pace::parse("byte:250");
    EXPECT_EQ(p.kind, Pace::Kind::byte);
    EXPECT_EQ(p.byte_us, 250);
    for (const char* bad : {"", "lines", "byte:", "byte:x", "byte:-1", "byte:5us"}) {
        EXPECT_THROW(Pace::parse(bad), std::invalid_argument) << bad;
    }
}

TEST(Pace, LineRateHasNoDrift)
{
    EXPECT_EQ(line_offset_ns(0), 0);
    EXPECT_EQ(line_offset_ns(1), 86'805);
    EXPECT_EQ(line_offset_ns(7), 607'638);
    EXPECT_EQ(line_offset_ns(115'200), 10'000'000'000); // 10 s exactly, not 115200 x 86805 ns
}

// Drives the transmitter like the poll loop: at each listed moment, writes what is due.
std::vector<std::string> writes_at(Transmitter& tx, std::initializer_list<std::int64_t> moments)
{
    std::vector<std::string> out;
    for (const std::int64_t now : moments) {
        for (auto due = tx.due(now); !due.empty(); due = tx.due(now)) {
            out.push_back(std::to_string(now) + ": " + hex(due));
            tx.consume(due.size());
        }
    }
    return out;
}

TEST(Transmitter, LinePaceFollowsAnAbsoluteSchedule)
{
    Transmitter tx(Pace::parse("line"));
    tx.enqueue(bytes("AA 05 00 32 07 39 BB"), 1'000'000);
    EXPECT_EQ(tx.next_due(), 1'000'000);
    const auto w = writes_at(tx, {999'999, 1'000'000, 1'100'000, 1'400'000, 2'000'000});
    const std::vector<std::string> want = {
        "1000000: AA",
        "1100000: 05",       // byte 1 due at +86805
        "1400000: 00 32 07", // bytes 2..4 due by +400000 (byte 4 at +347222)
        "2000000: 39 BB",
    };
    EXPECT_EQ(w, want);
    EXPECT_FALSE(tx.next_due());
}

TEST(Transmitter, LinePaceQueuesBehindTheLine)
{
    Transmitter tx(Pace::parse("line"));
    tx.enqueue(bytes("01 02"), 0);
    tx.enqueue(bytes("03"), 0);
    writes_at(tx, {1'000'000});
    // All three bytes went; the second transmission started when the line was free.
    tx.enqueue(bytes("04"), 0);
    EXPECT_EQ(tx.next_due(), line_offset_ns(3));
}

TEST(Transmitter, BytePaceWritesOneByteAtATime)
{
    Transmitter tx(Pace::parse("byte:100"));
    tx.enqueue(bytes("01 02 03"), 0);
    const auto w = writes_at(tx, {0, 150'000, 1'000'000});
    const std::vector<std::string> want = {"0: 01", "150000: 02", "1000000: 03"};
    EXPECT_EQ(w, want);
}

TEST(Transmitter, BurstWritesEachTransmissionWhole)
{
    Transmitter tx(Pace::parse("burst"));
    tx.enqueue(bytes("04 05"), 500);
    tx.enqueue(bytes("01 02 03"), 100); // earlier: goes first
    const auto w = writes_at(tx, {100, 500});
    const std::vector<std::string> want = {"100: 01 02 03", "500: 04 05"};
    EXPECT_EQ(w, want);
}

TEST(Transmitter, PartialWritesAndClear)
{
    Transmitter tx(Pace::parse("burst"));
    tx.enqueue(bytes("01 02 03"), 0);
    tx.consume(1); // the port took one byte
    EXPECT_EQ(hex(tx.due(0)), "02 03");
    tx.enqueue(bytes("09"), 0); // never ahead of the one on the line
    tx.consume(2);
    EXPECT_EQ(hex(tx.due(0)), "09");
    tx.clear();
    EXPECT_TRUE(tx.empty());
    EXPECT_TRUE(tx.due(0).empty());
}

} // namespace
} // namespace sim
