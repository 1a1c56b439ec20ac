#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device.hpp"
#include "script.hpp"

namespace sim {
namespace {

std::string step_text(const Step& s)
{
    return std::to_string(s.ms) + ": " + hex(s.bytes);
}

TEST(Script, ParsesEveryKindOfStep)
{
    const std::string text = "# a comment line\n"
                             "\n"
                             "100 frame 32 07          # version 7\n"
                             "0 01 aa Bb\n"
                             "200 report key 1\n"
                             "300 report ir fail\n"
                             "300 report ir 0x17BB\n"
                             "400 report power 100\n"
                             "500 report learn 2 1 AQACAA==\n"
                             "600 report rs485\n"
                             "650 report rs485 Rec0ive\n"
                             "700 frame 55\n";
    const std::vector<std::string> want = {
        "0: 01 AA BB",
        "100: AA 05 00 32 07 39 BB",
        "200: AA 05 00 33 01 34 BB",
        "300: AA 07 00 75 00 17 BA 46 BB",
        "300: AA 07 00 75 00 17 BB 47 BB",
        "400: AA 08 00 58 00 00 C8 42 62 BB", // 100.0f = 0x42C80000
        "500: AA 0E 00 9E 02 01 41 51 41 43 41 41 3D 3D B3 BB",
        "600: AA 0C 00 91 52 65 63 65 69 76 65 00 54 BB",
        "650: " + hex(report_rs485("Rec0ive")),
        "700: AA 04 00 55 55 BB",
    };
    std::vector<std::string> got;
    for (const auto& s : parse_script(text)) {
        got.push_back(step_text(s));
    }
    EXPECT_EQ(got, want);
}

TEST(Script, SortsByTimeKeepingFileOrderForEqualTimes)
{
    const auto steps = parse_script("50 02\n10 01\n50 03\n");
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_EQ(step_text(steps[0]), "10: 01");
    EXPECT_EQ(step_text(steps[1]), "50: 02");
    EXPECT_EQ(step_text(steps[2]), "50: 03");
}

TEST(Script, ErrorsNameTheLine)
{
    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {"10 01\nx 01\n", "line 2: bad time 'x'"},
        {"10\n", "line 1: a step is <ms> and what to send"},
        {"\n\n10 0G\n", "line 3: bad hex byte '0G'"},
        {"10 100\n", "line 1: bad hex byte '100'"},
        {"10 frame\n", "line 1: frame needs a code"},
        {"10 report\n", "line 1: report without a name"},
        {"10 report beep 1\n", "line 1: unknown report 'beep' (key, power, ir, rs485, learn)"},
        {"10 report key\n", "line 1: report key takes 1 value(s)"},
        {"10 report key 256\n", "line 1: bad key state '256'"},
        {"10 report learn 1 1\n", "line 1: report learn takes 3 value(s)"},
        {"10 report ir maybe\n", "line 1: bad IR test value 'maybe'"},
        {"10 report power x\n", "line 1: bad power 'x'"},
        {"-5 01\n", "line 1: bad time '-5'"},
    };
    for (const auto& c : cases) {
        try {
            parse_script(c.text);
            ADD_FAILURE() << "no error for: " << c.text;
        } catch (const ScriptError& e) {
            EXPECT_STREQ(e.what(), c.error) << c.text;
        }
    }
}

TEST(ReportOption, BecomesAScriptLine)
{
    EXPECT_EQ(report_option_line("key=1@500"), "500 report key 1");
    EXPECT_EQ(report_option_line("learn=2,1,AQACAA==@300"), "300 report learn 2 1 AQACAA==");
    EXPECT_EQ(report_option_line("rs485=@0"), "0 report rs485 ");
    const auto step = parse_step(report_option_line("key=1@500"));
    EXPECT_EQ(step_text(step), "500: AA 05 00 33 01 34 BB");
    for (const char* bad : {"key", "key=1", "key@500", "=1@5", "key@5=1"}) {
        EXPECT_THROW(report_option_line(bad), ScriptError) << bad;
    }
}

} // namespace
} // namespace sim
