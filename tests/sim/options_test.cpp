// mcu_sim's options: what they set, and one error style for every value they refuse.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "options.hpp"

namespace sim {
namespace {

std::string refusal(const std::vector<std::string>& args)
{
    try {
        parse_options(args);
    } catch (const OptionError& e) {
        return e.what();
    }
    return "(accepted)";
}

// What the cases and the process tests do not reach: the short forms, the edge values, the
// link's defaults.
TEST(Options, ShortFormsEdgesAndDefaults)
{
    const Options o =
        parse_options({"--link", "l", "--drop", "257", "--silence=0", "--delay", "86400000",
                       "--ignore", "9d"}); // --drop: a unique prefix of --drop-tail
    EXPECT_EQ(o.behaviour.faults.drop_tail, 257u);
    EXPECT_EQ(o.behaviour.silence_ms, 0);
    EXPECT_EQ(o.behaviour.delay_ms, 86'400'000);
    EXPECT_EQ(o.behaviour.faults.ignore, std::set<std::uint8_t>{0x9D});

    const Options link = parse_options({"--link", "ttyMCU"});
    EXPECT_EQ(link.port, PortKind::link);
    EXPECT_FALSE(link.behaviour.close_after_ms);
    EXPECT_EQ(link.behaviour.delay_ms, 2);

    const auto stuck = [](const std::string& what) {
        const auto relays = parse_options({"--link", "l", "--fail", what}).behaviour.faults;
        std::string s;
        for (std::size_t r = 1; r <= max_relays; ++r) {
            s += relays.stuck_relay[r] ? '1' : '0';
        }
        return s;
    };
    EXPECT_EQ(stuck("relay:1,relay:32"), "10000000000000000000000000000001");
    EXPECT_EQ(stuck("relay"), std::string(max_relays, '1'));
    EXPECT_EQ(stuck("ir"), std::string(max_relays, '0'));
}

TEST(Options, ScriptFilesAndReportsMergeInTimeOrder)
{
    const auto dir = std::filesystem::temp_directory_path();
    const auto path = dir / ("mcu_sim_options_test_" + std::to_string(getpid()) + ".txt");
    std::ofstream(path) << "300 01\n# a comment\n100 02\n";
    const Options o = parse_options({"--device", "/dev/ttyUSB0", "--report", "key=1@100",
                                     "--script", path.string(), "--report", "key=0@0"});
    std::filesystem::remove(path);
    std::vector<std::string> steps;
    for (const Step& s : o.behaviour.steps) {
        steps.push_back(std::to_string(s.ms) + " " + hex(s.bytes));
    }
    // Steps of the same time keep the order of the options: the key report before line 3.
    EXPECT_EQ(steps, (std::vector<std::string>{"0 AA 05 00 33 00 33 BB", "100 AA 05 00 33 01 34 BB",
                                               "100 02", "300 01"}));
}

TEST(Options, EveryRefusalNamesTheOptionAndTheValue)
{
    const std::string fail_head = "' is not rs485, ir, checksum, silent, relay or relay:N";
    const struct {
        std::vector<std::string> args; // after --link ttyMCU
        std::string message;
    } cases[] = {
        {{"--delay", "x"}, "--delay: 'x' is not a whole number of milliseconds"},
        {{"--silence=-1"}, "--silence: '-1' is not a whole number of milliseconds"},
        {{"--close-after", "86400001"},
         "--close-after: '86400001' is more than 86400000 milliseconds"},
        {{"--drop-tail", "2b"}, "--drop-tail: '2b' is not a whole number of bytes"},
        {{"--drop-tail", "258"}, "--drop-tail: '258' is more than 257 bytes"},
        {{"--ignore", "100"}, "--ignore: '100' is not a command code in hex, 0 to FF"},
        {{"--fail", "rs485,bogus"}, "--fail: 'bogus" + fail_head + " (N from 1 to 32)"},
        {{"--fail", "relay:33"}, "--fail: 'relay:33" + fail_head + " (N from 1 to 32)"},
        {{"--fail", "relay:0"}, "--fail: 'relay:0" + fail_head + " (N from 1 to 32)"},
        {{"--fail", "relay:"}, "--fail: 'relay:" + fail_head + " (N from 1 to 32)"},
        {{"--set", "version=256"}, "--set: version: '256' is not a whole number from 0 to 255"},
        {{"--set", "angle=bits:0x7fc0"},
         "--set: angle: 'bits:0x7fc0' is not a finite number or bits:0xHHHHHHHH"},
        {{"--set", "colour=red"}, "--set: 'colour' is not a part of the device state"},
        {{"--pace", "fast"},
         "--pace: 'fast' is not line, byte:USEC (USEC up to 10000000) or burst"},
        {{"--report", "key=1"}, "--report: 'key=1' is not NAME=V1,V2,...@MS"},
        {{"--script", "/nonexistent/script"},
         "--script: '/nonexistent/script' is not a file that can be read"},
        {{"--delay"}, "--delay needs a value"},
        {{"--decode=1"}, "--decode takes no value"},
        {{"--s", "1"}, "'--s' is not an option"}, // set, silent, silence, ...
        {{"extra"}, "'extra' is not an option (they start with --)"},
        {{"--device", "/dev/ttyS1"}, "--device: one port only: --link, --device or --socket"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"--link", "ttyMCU"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(refusal(args), c.message);
    }
    EXPECT_EQ(refusal({"--socket", std::string(200, 's')}),
              "--socket: '" + std::string(200, 's') +
                  "' is longer than a socket address holds (107 bytes)");
    EXPECT_EQ(refusal({"--decode"}), "give one port: --link PATH, --device PATH or --socket PATH");
    EXPECT_TRUE(parse_options({"--help"}).help); // no port needed
}

} // namespace
} // namespace sim
