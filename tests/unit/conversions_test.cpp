// The two reply conversions: the NTC temperature fit and the lenient Base64 decoder.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "receiver/base64.h"
#include "receiver/ntc.h"
#include "support.h"

namespace {

using unit::Bytes;

std::string two_decimals(float t)
{
    char text[32];
    snprintf(text, sizeof text, "%0.2f", static_cast<double>(t));
    return text;
}

struct NtcCase {
    uint32_t raw;
    const char* printed;
};

class NtcReadings : public testing::TestWithParam<NtcCase> {};

TEST_P(NtcReadings, PrintedTemperature)
{
    EXPECT_EQ(two_decimals(temp_fitting(GetParam().raw)), GetParam().printed)
        << "raw " << GetParam().raw;
}

// The whole readings on both sides of every band bound, and the middle of the scale.
INSTANTIATE_TEST_SUITE_P(BandEdges, NtcReadings,
                         testing::Values(NtcCase{2048, "25.02"}, NtcCase{305, "0.00"},
                                         NtcCase{306, "-24.37"}, NtcCase{1170, "4.94"},
                                         NtcCase{1171, "5.15"}, NtcCase{2275, "29.86"},
                                         NtcCase{2276, "29.03"}, NtcCase{3276, "60.20"},
                                         NtcCase{3277, "60.24"}, NtcCase{3757, "87.58"},
                                         NtcCase{3758, "0.00"}, NtcCase{1000, "1.03"},
                                         NtcCase{3000, "50.05"}));

TEST(Ntc, OutOfRangeIsExactlyZero)
{
    for (const uint32_t raw : {0u, 1u, 100u, 305u, 3758u, 4000u, 4095u, 4096u, 4097u, 65535u,
                               0x80000000u, 0xFFFFFFFFu}) {
        const float t = temp_fitting(raw);
        EXPECT_FALSE(std::isnan(t)) << "raw " << raw;
        EXPECT_EQ(t, 0.0f) << "raw " << raw;
    }
}

// Across the working range every reading has a temperature inside the fits' span, rising with
// the reading except for the one step down where band 2 hands over to band 3.
TEST(Ntc, WorkingRangeRisesWithTheReading)
{
    float previous = temp_fitting(306);
    for (uint32_t raw = 307; raw <= 3757; ++raw) {
        const float t = temp_fitting(raw);
        ASSERT_GT(t, -24.40f) << "raw " << raw;
        ASSERT_LT(t, 87.70f) << "raw " << raw;
        if (raw == 2276) {
            ASSERT_LT(t, previous) << "band 3 starts below the end of band 2";
        } else {
            ASSERT_GT(t, previous) << "raw " << raw;
        }
        previous = t;
    }
}

// Base64.
Bytes decode(const std::string& text, int32_t* count = nullptr)
{
    uint8_t out[512];
    memset(out, 0xEE, sizeof out);
    const int32_t n = base64_decode(reinterpret_cast<const uint8_t*>(text.data()),
                                    static_cast<uint32_t>(text.size()), out);
    if (count != nullptr) {
        *count = n;
    }
    if (n < 0 || n > 400) {
        ADD_FAILURE() << "count " << n;
        return {};
    }
    for (int32_t i = n; i < static_cast<int32_t>(sizeof out); ++i) {
        if (out[i] != 0xEE) {
            ADD_FAILURE() << "byte " << i << " written past the count " << n;
            break;
        }
    }
    return Bytes(out, out + n);
}

Bytes text_bytes(const char* text)
{
    return Bytes(text, text + strlen(text));
}

struct Base64Case {
    const char* name;
    std::string text;
    Bytes bytes;
};

class Base64 : public testing::TestWithParam<Base64Case> {};

TEST_P(Base64, Decodes)
{
    EXPECT_EQ(decode(GetParam().text), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(Rfc4648, Base64,
                         testing::Values(Base64Case{"empty", "", {}},
                                         Base64Case{"f", "Zg==", text_bytes("f")},
                                         Base64Case{"fo", "Zm8=", text_bytes("fo")},
                                         Base64Case{"foo", "Zm9v", text_bytes("foo")},
                                         Base64Case{"foob", "Zm9vYg==", text_bytes("foob")},
                                         Base64Case{"fooba", "Zm9vYmE=", text_bytes("fooba")},
                                         Base64Case{"foobar", "Zm9vYmFy", text_bytes("foobar")},
                                         Base64Case{"top_values", "/+/+", {0xFF, 0xEF, 0xFE}}),
                         [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Lenient, Base64,
    testing::Values(
        Base64Case{"only_line_breaks", "\r\n\n\r", {}},
        Base64Case{"breaks_between_groups", "Zm9v\r\nYmFy\r\n", text_bytes("foobar")},
        Base64Case{"lf_between_groups", "\nZm9v\nYmFy\n", text_bytes("foobar")},
        Base64Case{"break_inside_group_shifts",
                   "Zm\n9vYmFy",
                   {0x66, 0x60, 0x3D, 0xBD, 0x89, 0x85, 0xC8, 0x00, 0x00}},
        Base64Case{"A_inside", "ZmAv", {0x66, 0x60, 0x2F}},
        Base64Case{"blank", "Zm v", {0x66, 0x60, 0x2F}},
        Base64Case{"tab", "Zm\tv", {0x66, 0x60, 0x2F}},
        Base64Case{"minus", "Zm-v", {0x66, 0x60, 0x2F}},
        Base64Case{"underscore", "Zm_v", {0x66, 0x60, 0x2F}},
        Base64Case{"cr_inside", "Zm\rv", {0x66, 0x60, 0x2F}},
        Base64Case{"byte_0x80", std::string("Zm\x80v"), {0x66, 0x60, 0x2F}},
        Base64Case{
            "byte_0xDA", std::string("Zm\xDAv"), {0x66, 0x60, 0x2F}}, // 'Z' with the top bit set
        Base64Case{"byte_0xFF", std::string("Zm\xFFv"), {0x66, 0x60, 0x2F}},
        Base64Case{"pad_then_letter", "Zm=v", {0x66, 0x2F}},
        Base64Case{"stops_after_pad_group", "Zm=vZm9v", {0x66, 0x2F}},
        Base64Case{"rest_after_padding_ignored", "Zg==Zm9v", text_bytes("f")},
        Base64Case{"pad_first_keeps_three", "Zm9v=AAAZm9v", {0x66, 0x6F, 0x6F, 0x00, 0x00, 0x00}},
        Base64Case{"thirteen_bytes", "Zm9vYmFyZm9vYmFyZg==", text_bytes("foobarfoobarf")},
        Base64Case{
            "pad_alone_at_end", "Zm9vYmFy=", {0x66, 0x6F, 0x6F, 0x62, 0x61, 0x72, 0x00, 0x00}}),
    [](const auto& info) { return std::string(info.param.name); });

// Text that stops inside a group: its missing positions decode as 0, not as what the group
// before left there.
INSTANTIATE_TEST_SUITE_P(
    ShortGroup, Base64,
    testing::Values(Base64Case{"one_char", "Z", {0x64, 0x00}},
                    Base64Case{"two_chars", "Zg", {0x66, 0x00, 0x00}},
                    Base64Case{"two_and_pad", "Zg=", {0x66, 0x00}},
                    Base64Case{"after_group_1", "Zm9vY", {0x66, 0x6F, 0x6F, 0x60, 0x00, 0x00}},
                    Base64Case{"after_group_2", "Zm9vYm", {0x66, 0x6F, 0x6F, 0x62, 0x60, 0x00}},
                    Base64Case{"after_group_3", "Zm9vYmF", {0x66, 0x6F, 0x6F, 0x62, 0x61, 0x40}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Base64Bounds, ReadsNothingAtOrBeyondTheLength)
{
    for (const std::string text : {"Zm9v", "Zm9", "Zm9vY", "Zg=="}) {
        unit::GuardedBytes src(text.size(), true);
        memcpy(src.data(), text.data(), text.size());
        uint8_t out[8];
        const int32_t n = base64_decode(src.data(), static_cast<uint32_t>(text.size()), out);
        EXPECT_EQ(n, static_cast<int32_t>(decode(text).size())) << text;
    }
}

TEST(Base64Bounds, TextAfterThePaddedGroupIsNeverRead)
{
    // "Zg==" ends right before an inaccessible page; the length claims four more characters.
    unit::GuardedBytes src(4, true);
    memcpy(src.data(), "Zg==", 4);
    uint8_t out[8] = {};
    EXPECT_EQ(base64_decode(src.data(), 8, out), 1);
    EXPECT_EQ(out[0], 'f');
}

} // namespace
