// When each byte that the simulated MCU sends goes out, and in how many write() calls.
//
//   Pace::parse("line" | "byte:USEC" | "burst")
//   Transmitter::enqueue(bytes, not_before_ns)  queue one frame or script step
//   Transmitter::next_due()                     when the next write is due, if any
//   Transmitter::due(now_ns)                    the bytes to write now, as one write()
//   Transmitter::consume(n)                     n of them were written
//
// line: 115200 bit/s 8N1, 10 bits a byte, about 86.8 us; byte k of a transmission is due at
// its start + k * 86.8 us, computed from the start (no drift); a transmission starts when it is
// due and the line is free. byte:USEC: one write per byte, USEC apart. burst: one write per
// transmission. Transmissions go out in the order of their start times.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "frame.hpp"

namespace sim {

struct Pace {
    enum class Kind { line, byte, burst };
    Kind kind = Kind::line;
    std::int64_t byte_us = 0; // for Kind::byte

    // Throws std::invalid_argument for anything else.
    static Pace parse(std::string_view text);
};

inline constexpr std::int64_t line_bits_per_second = 115200;
inline constexpr std::int64_t bits_per_byte = 10; // start, 8 data, stop

// Offset of byte k from the start of a transmission at line rate, in ns.
std::int64_t line_offset_ns(std::int64_t k);

class Transmitter {
  public:
    explicit Transmitter(Pace pace = {});

    void enqueue(Bytes bytes, std::int64_t not_before_ns);
    std::optional<std::int64_t> next_due() const;
    std::span<const std::uint8_t> due(std::int64_t now_ns) const;
    void consume(std::size_t n);
    void clear();
    bool empty() const { return queue_.empty(); }

  private:
    struct Item {
        Bytes bytes;
        std::int64_t not_before;
        std::int64_t start = 0; // fixed when its first byte is due
        std::size_t sent = 0;
    };
    std::int64_t start_of(const Item& item) const;
    std::int64_t byte_due(const Item& item, std::size_t k) const;

    Pace pace_;
    std::deque<Item> queue_;
    std::int64_t line_free_ = 0; // when the line has sent everything before the head
};

} // namespace sim
