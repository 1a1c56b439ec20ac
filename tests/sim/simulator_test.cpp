// The simulator's core driven with fixed times: connects, answers after the reply delay,
// script steps in time order after each connect, --close-after, and the log it writes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_test_util.hpp"
#include "simulator.hpp"

namespace sim {
namespace {

using test::bytes;

constexpr std::int64_t ms = ns_per_ms;

// A simulator started at time 0 whose log lines are kept, with writes taken as they fall due.
struct Driven {
    std::vector<std::string> log;
    Simulator sim;

    explicit Driven(Behaviour b)
        : sim(std::move(b), 0,
              [this](const std::string& line, const std::string&) { log.push_back(line); })
    {
    }

    // Everything written between now and until, as "<ms> <bytes>" per write.
    std::vector<std::string> run_until(std::int64_t now, std::int64_t until)
    {
        std::vector<std::string> writes;
        for (;;) {
            sim.advance(now);
            for (auto b = sim.due(now); !b.empty(); b = sim.due(now)) {
                writes.push_back(std::to_string(now / ms) + " " + hex(b));
                sim.sent(b.size());
            }
            const auto d = sim.next_deadline();
            if (!d || *d > until) {
                return writes;
            }
            now = std::max(now, *d);
        }
    }
};

Behaviour burst()
{
    Behaviour b;
    b.pace = Pace::parse("burst");
    return b;
}

TEST(Simulator, AnswersAfterTheDelayOnlyWhileConnected)
{
    Behaviour b = burst();
    b.delay_ms = 5;
    Driven d(b);
    d.sim.received(bytes("AA 03 32 32 BB"), 10 * ms); // before any connect: logged only
    EXPECT_TRUE(d.run_until(10 * ms, 100 * ms).empty());

    d.sim.connect(100 * ms);
    d.sim.received(bytes("AA 03 32"), 110 * ms);
    d.sim.received(bytes("32 BB"), 111 * ms);
    EXPECT_EQ(d.sim.next_deadline(), 116 * ms);
    EXPECT_EQ(d.run_until(111 * ms, 200 * ms),
              (std::vector<std::string>{"116 AA 05 00 32 07 39 BB"}));

    // A reply still waiting when the tool closes the port never goes out.
    d.sim.received(bytes("AA 03 32 32 BB"), 200 * ms);
    d.sim.disconnect(202 * ms);
    d.sim.connect(300 * ms);
    EXPECT_TRUE(d.run_until(300 * ms, 400 * ms).empty());

    EXPECT_EQ(d.log,
              (std::vector<std::string>{"10 AA 03 32 32 BB", "100 connect", "110 AA 03 32 32 BB",
                                        "200 AA 03 32 32 BB", "202 disconnect", "300 connect"}));
}

TEST(Simulator, DisconnectAndFinishLogWhatIsPending)
{
    Driven d(burst());
    d.sim.connect(0);
    d.sim.received(bytes("AA 03 32"), 5 * ms);
    d.sim.disconnect(8 * ms); // the tool closed mid-frame
    d.sim.connect(20 * ms);
    d.sim.received(bytes("00 00"), 25 * ms);
    d.sim.finish(30 * ms); // the simulator ends: no disconnect line
    EXPECT_EQ(d.log, (std::vector<std::string>{"0 connect", "5 AA 03 32 incomplete", "8 disconnect",
                                               "20 connect", "25 00 00 noise"}));
}

TEST(Simulator, ScriptStepsRunInTimeOrderAfterEachConnect)
{
    Behaviour b = burst();
    b.steps = {{0, bytes("01")}, {50, bytes("02")}, {50, bytes("03")}, {120, bytes("04")}};
    Driven d(b);
    EXPECT_EQ(d.sim.next_deadline(), std::nullopt); // no clock before the tool opens the port

    d.sim.connect(1000 * ms);
    d.sim.received(bytes("AA 03 FE FE BB"), 1048 * ms); // its answer falls between the steps
    EXPECT_EQ(d.run_until(1000 * ms, 1200 * ms),
              (std::vector<std::string>{"1000 01", "1050 AA 05 00 FE 05 03 BB", "1050 02",
                                        "1050 03", "1120 04"}));

    // Cut short by a disconnect, the script starts again from its first step at the next
    // connect, timed from that connect.
    d.sim.connect(2000 * ms);
    EXPECT_EQ(d.run_until(2000 * ms, 2060 * ms),
              (std::vector<std::string>{"2000 01", "2050 02", "2050 03"}));
    d.sim.disconnect(2070 * ms);
    EXPECT_TRUE(d.run_until(2070 * ms, 3000 * ms).empty());
    d.sim.connect(3000 * ms);
    EXPECT_EQ(d.run_until(3000 * ms, 3010 * ms), (std::vector<std::string>{"3000 01"}));
}

TEST(Simulator, LineRateSpacesTheBytesOfAStep)
{
    Behaviour b;
    b.steps = {{10, bytes("01 02 03")}};
    Driven d(b);
    d.sim.connect(0);
    d.sim.advance(10 * ms);
    // 86.8 us a byte: the first byte at 10 ms, the rest only when their time has come.
    EXPECT_EQ(hex(d.sim.due(10 * ms)), "01");
    d.sim.sent(1);
    EXPECT_TRUE(d.sim.due(10 * ms + 86'000).empty());
    EXPECT_EQ(hex(d.sim.due(10 * ms + 174'000)), "02 03");
}

TEST(Simulator, CloseAfterCountsFromEachConnect)
{
    Behaviour b = burst();
    b.close_after_ms = 250;
    Driven d(b);
    EXPECT_FALSE(d.sim.close_due(1000 * ms)); // never before a connect
    d.sim.connect(100 * ms);
    EXPECT_EQ(d.sim.next_deadline(), 350 * ms);
    EXPECT_FALSE(d.sim.close_due(349 * ms));
    EXPECT_TRUE(d.sim.close_due(350 * ms));
    d.sim.disconnect(200 * ms);
    EXPECT_FALSE(d.sim.close_due(400 * ms));
    d.sim.connect(500 * ms);
    EXPECT_FALSE(d.sim.close_due(700 * ms));
    EXPECT_TRUE(d.sim.close_due(750 * ms));
}

} // namespace
} // namespace sim
