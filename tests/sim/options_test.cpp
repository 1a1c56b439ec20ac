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

TEST(Options, SetPortBehaviourAndOutputs)
{
    const Options o = parse_options({"--socket",
                                     "/run/mcu.sock",
                                     "--ready=up",
                                     "--log",
                                     "sim.log",
                                     "--decode",
                                     "--set",
                                     "version=9",
                                     "--fail",
                                     "rs485,checksum",
                                     "--ignore",
                                     "9d",
                                     "--delay",
                                     "0",
                                     "--silence=35",
                                     "--close-after",
                                     "250",
                                     "--drop",
                                     "2",
                                     "--pace",
                                     "byte:2000",
                                     "--silent"}); // --drop: a unique prefix of --drop-tail
    EXPECT_EQ(o.port, PortKind::socket);
    EXPECT_EQ(o.port_path, "/run/mcu.sock");
    EXPECT_EQ(o.ready, "up");
    EXPECT_EQ(o.log, "sim.log");
    EXPECT_TRUE(o.decode);
    const Behaviour& b = o.behaviour;
    EXPECT_EQ(b.state.version, 9);
    EXPECT_TRUE(b.faults.rs485 && b.faults.checksum && b.faults.silent && !b.faults.ir);
    EXPECT_EQ(b.faults.ignore, std::set<std::uint8_t>{0x9D});
    EXPECT_EQ(b.delay_ms, 0);
    EXPECT_EQ(b.silence_ms, 35);
    EXPECT_EQ(b.close_after_ms, 250);
    EXPECT_EQ(b.faults.drop_tail, 2u);
    EXPECT_EQ(b.pace.kind, Pace::Kind::byte);
    EXPECT_EQ(b.pace.byte_us, 2000);

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
    EXPECT_EQ(stuck("relay:2,relay:32"), "01000000000000000000000000000001");
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
    std::vector<std::int64_t> times;
    for (const Step& s : o.behaviour.steps) {
        times.push_back(s.ms);
    }
    EXPECT_EQ(times, (std::vector<std::int64_t>{0, 100, 100, 300}));
    // Steps of the same time keep the order of the options: the key report before line 3.
    EXPECT_EQ(hex(o.behaviour.steps[1].bytes), "AA 05 00 33 01 34 BB");
    EXPECT_EQ(hex(o.behaviour.steps[2].bytes), "02");
}

TEST(Options, EveryRefusalNamesTheOptionAndTheValue)
{
    const std::vector<std::string> port{"--link", "ttyMCU"};
    const auto with_port = [&](std::vector<std::string> args) {
        args.insert(args.begin(), port.begin(), port.end());
        return refusal(args);
    };
    EXPECT_EQ(with_port({"--delay", "x"}), "--delay: 'x' is not a whole number of milliseconds");
    EXPECT_EQ(with_port({"--silence=-1"}), "--silence: '-1' is not a whole number of milliseconds");
    EXPECT_EQ(with_port({"--close-after", "86400001"}),
              "--close-after: '86400001' is more than 86400000 milliseconds");
    EXPECT_EQ(with_port({"--drop-tail", "2b"}), "--drop-tail: '2b' is not a whole number of bytes");
    EXPECT_EQ(with_port({"--ignore", "100"}),
              "--ignore: '100' is not a command code in hex, 0 to FF");
    EXPECT_EQ(with_port({"--fail", "rs485,bogus"}),
              "--fail: 'bogus' is not rs485, ir, checksum, silent, relay or relay:N (N from 1 "
              "to 32)");
    EXPECT_EQ(with_port({"--fail", "relay:33"}).substr(0, 30), "--fail: 'relay:33' is not rs48");
    EXPECT_EQ(with_port({"--fail", "relay:0"}).substr(0, 29), "--fail: 'relay:0' is not rs48");
    EXPECT_EQ(with_port({"--set", "version=256"}),
              "--set: version: '256' is not a whole number from 0 to 255");
    EXPECT_EQ(with_port({"--set", "angle=bits:0x7fc0"}),
              "--set: angle: 'bits:0x7fc0' is not a finite number or bits:0xHHHHHHHH");
    EXPECT_EQ(with_port({"--set", "colour=red"}),
              "--set: 'colour' is not a part of the device state");
    EXPECT_EQ(with_port({"--pace", "fast"}),
              "--pace: 'fast' is not line, byte:USEC (USEC up to 10000000) or burst");
    EXPECT_EQ(with_port({"--report", "key=1"}), "--report: 'key=1' is not NAME=V1,V2,...@MS");
    EXPECT_EQ(with_port({"--script", "/nonexistent/script"}),
              "--script: '/nonexistent/script' is not a file that can be read");
    EXPECT_EQ(with_port({"--delay"}), "--delay needs a value");
    EXPECT_EQ(with_port({"--decode=1"}), "--decode takes no value");
    EXPECT_EQ(with_port({"--s", "1"}), "'--s' is not an option"); // set, silent, silence, ...
    EXPECT_EQ(with_port({"extra"}), "'extra' is not an option (they start with --)");
    EXPECT_EQ(with_port({"--device", "/dev/ttyS1"}),
              "--device: one port only: --link, --device or --socket");
    EXPECT_EQ(refusal({"--socket", std::string(200, 's')}),
              "--socket: '" + std::string(200, 's') +
                  "' is longer than a socket address holds (107 bytes)");
    EXPECT_EQ(refusal({"--decode"}), "give one port: --link PATH, --device PATH or --socket PATH");
    EXPECT_TRUE(parse_options({"--help"}).help); // no port needed
}

} // namespace
} // namespace sim
