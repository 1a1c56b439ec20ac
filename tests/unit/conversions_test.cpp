// The two reply conversions: the NTC temperature fit at its band bounds, and the lenient
// Base64 decoder's rules.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "receiver/base64.h"
#include "receiver/ntc.h"
#include "support.h"

TEST(Ntc, BandBoundsOnWholeReadings)
{
    const struct {
        uint32_t raw;
        const char* printed;
    } cases[] = {
        // Outside 306..3757 every reading is exactly 0.0: ntc_sweep checks them all.
        {2048, "25.02"}, {306, "-24.37"}, {1170, "4.94"},  {1171, "5.15"},  {2275, "29.86"},
        {2276, "29.03"}, {3276, "60.20"}, {3277, "60.24"}, {3757, "87.58"},
    };
    for (const auto& c : cases) {
        char text[32];
        snprintf(text, sizeof text, "%0.2f", static_cast<double>(temp_fitting(c.raw)));
        EXPECT_STREQ(text, c.printed) << "raw " << c.raw;
    }
}

TEST(Base64, StandardAndLenientRules)
{
    const struct {
        std::string text;
        std::string bytes;
    } cases[] = {
        // RFC 4648, section 10.
        {"", ""},
        {"Zg==", "f"},
        {"Zm8=", "fo"},
        {"Zm9v", "foo"},
        {"Zm9vYg==", "foob"},
        {"Zm9vYmE=", "fooba"},
        {"Zm9vYmFy", "foobar"},
        // Line breaks are skipped between groups only; inside a group they decode as 'A'.
        {"\r\n\n\r", ""},
        {"Zm9v\r\nYmFy\r\n", "foobar"},
        {"Zm\n9vYmFy", std::string("\x66\x60\x3D\xBD\x89\x85\xC8\x00\x00", 9)},
        // Every character outside the alphabet decodes like 'A'.
        {"Zm v", "\x66\x60\x2F"},
        {"Zm_v", "\x66\x60\x2F"},
        {"Zm\xDAv", "\x66\x60\x2F"},
        // '=' in position 2 skips the second byte and stops after its group.
        {"Zm=vZm9v", "\x66\x2F"},
        {"Zg==Zm9v", "f"},
        {"Zm9vYmFyZm9vYmFyZg==", "foobarfoobarf"},
        // A short final group decodes its unfilled positions as 0.
        {"Zm9vY", std::string("foo\x60\x00\x00", 6)},
    };
    for (const auto& c : cases) {
        uint8_t out[64] = {};
        const int32_t n = base64_decode(reinterpret_cast<const uint8_t*>(c.text.data()),
                                        static_cast<uint32_t>(c.text.size()), out);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(out), static_cast<size_t>(n)), c.bytes)
            << "text \"" << c.text << "\"";
    }
}
