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

// Decodes into a block of exactly the room the decoder asks for; written is what it returned.
std::unique_ptr<uint8_t[]> decode(const uint8_t* text, size_t len, size_t& written)
{
    const size_t room = 3 * ((len + 3) / 4);
    std::unique_ptr<uint8_t[]> dst(new uint8_t[room]);
    const int32_t n = base64_decode(text, static_cast<uint32_t>(len), dst.get());
    if (n < 0 || static_cast<size_t>(n) > room) {
        fuzz_fail("base64_decode wrote more than 3 * ceil(len / 4) bytes");
    }
    written = static_cast<size_t>(n);
    return dst;
}

std::vector<uint8_t> encode(const uint8_t* data, size_t size)
{
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    constexpr size_t BYTES_PER_LINE = 12; // four groups
    std::vector<uint8_t> text;
    for (size_t i = 0; i < size; i += 3) {
        if (i != 0 && i % BYTES_PER_LINE == 0) {
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
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    size_t written = 0;
    decode(data, size, written);

    const std::vector<uint8_t> text = encode(data, size);
    const auto exact_text = exact_copy(text.data(), text.size());
    const auto decoded = decode(exact_text.get(), text.size(), written);
    if (written != size || (size != 0 && memcmp(decoded.get(), data, size) != 0)) {
        fuzz_fail("encoded data does not decode to itself");
    }
    return 0;
}
