// MCU frames as the simulated MCU sees them: the 8-bit checksum, reply frames, and the cutter
// that turns the tool's byte stream into command frames, noise and incomplete frames.
//
//   check_sum(bytes)          8-bit sum of the bytes
//   build_reply(head, code, payload)
//                             AA, L, head, code, payload, checksum, BB (L = payload + 4)
//   hex(bytes)                "AA 03 32 32 BB": upper case, single blanks
//   FrameCutter               cuts command frames by their length byte; 20 ms of silence ends
//                             an incomplete frame and a burst of noise
//   log_line(cut)             "<ms> <bytes>[ bad checksum| incomplete| noise]"
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t start_byte = 0xAA;
inline constexpr std::uint8_t end_byte = 0xBB;

std::uint8_t check_sum(std::span<const std::uint8_t> bytes);

// A reply frame: the checksum covers head byte, code and payload. The payload holds at most
// 251 bytes (the length byte is 8 bits wide); longer payloads are cut there.
Bytes build_reply(std::uint8_t head, std::uint8_t code, std::span<const std::uint8_t> payload);

std::string hex(std::span<const std::uint8_t> bytes);

// What the cutter found in the stream.
enum class CutKind {
    frame,        // a whole command frame with a correct checksum
    bad_checksum, // a whole frame whose checksum byte is wrong (or too short to hold one)
    incomplete,   // a frame cut short by line silence or by the tool closing the port
    noise,        // bytes outside any frame (e.g. the zero padding after a fixed-size send)
};

struct Cut {
    CutKind kind;
    std::int64_t ms; // time of the first byte, in ms since the simulator started
    Bytes bytes;     // the bytes as received; a frame starts with AA and its length byte
};

// True when the command frame (AA L code payload checksum end) carries a correct checksum:
// the byte at offset L is the sum of the L-2 bytes from offset 2. A frame with L below 3 has
// no code byte and never passes.
bool command_checksum_ok(std::span<const std::uint8_t> frame);

class FrameCutter {
  public:
    static constexpr std::int64_t default_silence_ms = 20;

    explicit FrameCutter(std::int64_t silence_ms = default_silence_ms);

    // Feeds bytes that arrived at now_ms; completed cuts are appended to out in stream order.
    void feed(std::span<const std::uint8_t> data, std::int64_t now_ms, std::vector<Cut>& out);
    // Ends a frame or a noise burst that has seen no byte for the silence time.
    void idle(std::int64_t now_ms, std::vector<Cut>& out);
    // When idle() has something to end, if anything is pending.
    std::optional<std::int64_t> deadline() const;
    // Ends whatever is pending, at once (the tool closed the port).
    void flush(std::vector<Cut>& out);
    void reset();

  private:
    enum class State { between, want_length, body };
    void end_noise(std::vector<Cut>& out);
    void end_frame(CutKind kind, std::vector<Cut>& out);

    std::int64_t silence_ms_;
    State state_ = State::between;
    Bytes frame_;
    std::int64_t frame_ms_ = 0;
    std::size_t want_ = 0; // total frame size once the length byte is known
    Bytes noise_;
    std::int64_t noise_ms_ = 0;
    std::int64_t last_ms_ = 0;
};

std::string log_line(const Cut& cut);

} // namespace sim
