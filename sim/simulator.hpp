// The simulator's core: what it does with the bytes, the connects and the passing time of one
// port, with every time handed in by the caller (nanoseconds of one monotonic clock), so that a
// test can drive it with fixed times and the port loop (loop.hpp) with the real clock.
//
//   connect(now)            the tool opened the port: the script clock and the frame cutter
//                           start afresh, nothing queued from before goes out
//   disconnect(now)         the tool closed it: a pending frame or noise burst is logged
//   finish(now)             the simulator ends: what is pending is logged, no disconnect
//   received(bytes, now)    bytes from the tool; each complete command frame is answered
//                           by the device after the reply delay
//   advance(now)            silence ends a pending frame; script steps that are due queue up
//   due(now) / sent(n)      the bytes to write now, as one write(); n of them were written
//   next_deadline()         when advance() or due() next has something to do
//   close_due(now)          --close-after has run out since the last connect
//
// Every event goes to the sink as a log line ("<ms> AA 03 32 32 BB") and a readable line
// ("<ms> mcu_get_version"); ms count from the simulator's start.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device.hpp"
#include "frame.hpp"
#include "pacer.hpp"
#include "script.hpp"

namespace sim {

inline constexpr std::int64_t ns_per_ms = 1'000'000;

// What the simulated MCU answers, how and when: everything but the port and the outputs.
struct Behaviour {
    DeviceState state;
    Faults faults;
    std::vector<Step> steps; // sorted by time
    Pace pace;
    std::int64_t delay_ms = 2;
    std::int64_t silence_ms = FrameCutter::default_silence_ms;
    std::optional<std::int64_t> close_after_ms;
};

class Simulator {
  public:
    using Sink = std::function<void(const std::string& log_line, const std::string& readable)>;

    Simulator(Behaviour behaviour, std::int64_t start_ns, Sink sink);

    void connect(std::int64_t now);
    void disconnect(std::int64_t now);
    void finish(std::int64_t now);
    void received(std::span<const std::uint8_t> bytes, std::int64_t now);
    void advance(std::int64_t now);
    std::span<const std::uint8_t> due(std::int64_t now) const;
    void sent(std::size_t n);
    std::optional<std::int64_t> next_deadline() const;
    // Without the transmitter: when the port cannot take more bytes now.
    std::optional<std::int64_t> next_deadline_but_writes() const;
    bool close_due(std::int64_t now) const;

    bool connected() const { return connected_; }
    const Behaviour& behaviour() const { return b_; }

  private:
    std::int64_t ms(std::int64_t ns) const { return (ns - start_ns_) / ns_per_ms; }
    void take_cuts(std::int64_t now);

    Behaviour b_;
    Device device_;
    FrameCutter cutter_;
    Transmitter tx_;
    std::vector<Cut> cuts_;
    std::int64_t start_ns_;
    Sink sink_;
    bool connected_ = false;
    std::int64_t connect_ns_ = 0;
    std::size_t next_step_ = 0;
};

} // namespace sim
