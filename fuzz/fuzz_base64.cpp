// Base64 decoder, two ways per input:
// 1. the input as text: base64_decode into a heap block of exactly 3 * ceil(len / 4) bytes,
//    the room the decoder asks of its caller; the result must lie between 0 and that size.
// 2. the input as data: encoded here with the standard alphabet and padding, with a line break
//    after every fourth group, decoded again; the bytes must come back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "receiver/base64.h"

namespace {

size_t decode_room(size_t text_len) { return 3 * ((text_len + 3) / 4); }

void decode_text(const uint8_t* text, size_t len)
{
    const size_t room = decode_room(len);
    const std::unique_ptr<uint8_t[]> dst(new uint8_t[room]);
    const int32_t written = base64_decode(text, static_cast<uint32_t>(len), dst.get());
    if (written < 0 || static_cast<size_t>(written) > room) {
        fuzz_fail("base64_decode wrote more than 3 * ceil(len / 4) bytes");
    }
}

std::vector<uint8_t> encode(const uint8_t* data, size_t size)
{
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    constexpr size_t GROUPS_PER_LINE = 4;
    std::vector<uint8_t> text;
    size_t groups = 0;
    for (size_t i = 0; i < size; i += 3) {
        if (groups != 0 && groups % GROUPS_PER_LINE == 0) {
            text.push_back('\r');
            text.push_back('\n');
        }
        const size_t left = size - i;
        const uint32_t v = (static_cast<uint32_t>(data[i]) << 16) |
                           (left > 1 ? static_cast<uint32_t>(data[i + 1]) << 8 : 0U) |
                           (left > 2 ? static_cast<uint32_t>(data[i + 2]) : 0U);
        text.push_back(static_cast<uint8_t>(alphabet[(v >> 18) & 63]));
        text.push_back(static_cast<uint8_t>(alphabet[(v >> 12) & 63]));
        text.push_back(left > 1 ? static_cast<uint8_t>(alphabet[(v >> 6) & 63]) : '=');
        text.push_back(left > 2 ? static_cast<uint8_t>(alphabet[v & 63]) : '=');
        groups++;
    }
    return text;
}

void round_trip(const uint8_t* data, size_t size)
{
    const std::vector<uint8_t> text = encode(data, size);
    const auto exact_text = exact_copy(text.data(), text.size());
    const size_t room = decode_room(text.size());
    const std::unique_ptr<uint8_t[]> dst(new uint8_t[room]);
    const int32_t written =
        base64_decode(exact_text.get(), static_cast<uint32_t>(text.size()), dst.get());
    if (written < 0 || static_cast<size_t>(written) != size) {
        fuzz_fail("encoded data does not decode to its own length");
    }
    if (size != 0 && memcmp(dst.get(), data, size) != 0) {
        fuzz_fail("encoded data does not decode to itself");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    decode_text(data, size);
    round_trip(data, size);
    return 0;
}
