#include "pacer.hpp"

#include <algorithm>
#include <charconv>
#include <stdexcept>

namespace sim {

Pace Pace::parse(std::string_view text)
{
    if (text == "line") {
        return {Kind::line, 0};
    }
    if (text == "burst") {
        return {Kind::burst, 0};
    }
    if (text.substr(0, 5) == "byte:") {
        const std::string_view n = text.substr(5);
        std::int64_t us = 0;
        const auto [end, ec] = std::from_chars(n.data(), n.data() + n.size(), us);
        if (!n.empty() && ec == std::errc{} && end == n.data() + n.size() && us >= 0 &&
            us <= 10'000'000) {
            return {Kind::byte, us};
        }
    }
    throw std::invalid_argument("'" + std::string(text) +
                                "' is not line, byte:USEC (USEC up to 10000000) or burst");
}

std::int64_t line_offset_ns(std::int64_t k)
{
    return k * bits_per_byte * 1'000'000'000 / line_bits_per_second;
}

Transmitter::Transmitter(Pace pace) : pace_(pace) {}

void Transmitter::enqueue(Bytes bytes, std::int64_t not_before_ns)
{
    if (bytes.empty()) {
        return;
    }
    // After every item that starts no later; never ahead of one already on the line.
    const auto pos = std::find_if(queue_.begin(), queue_.end(), [&](const Item& it) {
        return it.sent == 0 && it.not_before > not_before_ns;
    });
    queue_.insert(pos, Item{std::move(bytes), not_before_ns});
}

std::int64_t Transmitter::start_of(const Item& item) const
{
    return item.sent > 0 ? item.start : std::max(item.not_before, line_free_);
}

std::int64_t Transmitter::byte_due(const Item& item, std::size_t k) const
{
    const std::int64_t start = start_of(item);
    switch (pace_.kind) {
    case Pace::Kind::line:
        return start + line_offset_ns(static_cast<std::int64_t>(k));
    case Pace::Kind::byte:
        return start + static_cast<std::int64_t>(k) * pace_.byte_us * 1000;
    case Pace::Kind::burst:
        return start;
    }
    return start;
}

std::optional<std::int64_t> Transmitter::next_due() const
{
    if (queue_.empty()) {
        return std::nullopt;
    }
    const Item& head = queue_.front();
    return byte_due(head, head.sent);
}

std::span<const std::uint8_t> Transmitter::due(std::int64_t now_ns) const
{
    if (queue_.empty()) {
        return {};
    }
    const Item& head = queue_.front();
    if (byte_due(head, head.sent) > now_ns) {
        return {};
    }
    std::size_t end = head.sent + 1;
    if (pace_.kind == Pace::Kind::burst) {
        end = head.bytes.size();
    } else if (pace_.kind == Pace::Kind::line) {
        while (end < head.bytes.size() && byte_due(head, end) <= now_ns) {
            ++end;
        }
    }
    return std::span(head.bytes).subspan(head.sent, end - head.sent);
}

void Transmitter::consume(std::size_t n)
{
    if (queue_.empty() || n == 0) {
        return;
    }
    Item& head = queue_.front();
    if (head.sent == 0) {
        head.start = start_of(head);
    }
    head.sent += std::min(n, head.bytes.size() - head.sent);
    if (head.sent == head.bytes.size()) {
        // The line is busy until the last byte has gone out.
        const std::size_t k = head.bytes.size();
        line_free_ = pace_.kind == Pace::Kind::burst ? head.start : byte_due(head, k);
        queue_.pop_front();
    }
}

void Transmitter::clear()
{
    queue_.clear();
    line_free_ = 0;
}

} // namespace sim
