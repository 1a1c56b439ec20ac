#include "simulator.hpp"

#include <utility>

#include "decode.hpp"

namespace sim {

Simulator::Simulator(Behaviour behaviour, std::int64_t start_ns, Sink sink)
    : b_(std::move(behaviour)), device_(b_.state, b_.faults), cutter_(b_.silence_ms), tx_(b_.pace),
      start_ns_(start_ns), sink_(std::move(sink))
{
}

void Simulator::connect(std::int64_t now)
{
    connected_ = true;
    connect_ns_ = now;
    next_step_ = 0;
    cutter_.reset();
    tx_.clear();
    const std::string line = std::to_string(ms(now)) + " connect";
    sink_(line, line);
}

void Simulator::disconnect(std::int64_t now)
{
    finish(now);
    connected_ = false;
    tx_.clear();
    const std::string line = std::to_string(ms(now)) + " disconnect";
    sink_(line, line);
}

void Simulator::finish(std::int64_t now)
{
    cutter_.flush(cuts_);
    take_cuts(now);
}

void Simulator::take_cuts(std::int64_t now)
{
    for (const Cut& cut : cuts_) {
        sink_(log_line(cut), std::to_string(cut.ms) + ' ' + decode(cut));
        if (cut.kind == CutKind::frame && connected_) {
            for (Bytes& reply : device_.handle(cut.bytes, ms(now))) {
                tx_.enqueue(std::move(reply), now + b_.delay_ms * ns_per_ms);
            }
        }
    }
    cuts_.clear();
}

void Simulator::received(std::span<const std::uint8_t> bytes, std::int64_t now)
{
    cutter_.feed(bytes, ms(now), cuts_);
    take_cuts(now);
}

void Simulator::advance(std::int64_t now)
{
    cutter_.idle(ms(now), cuts_);
    take_cuts(now);
    if (!connected_) {
        return;
    }
    while (next_step_ < b_.steps.size() &&
           connect_ns_ + b_.steps[next_step_].ms * ns_per_ms <= now) {
        const Step& s = b_.steps[next_step_++];
        tx_.enqueue(s.bytes, connect_ns_ + s.ms * ns_per_ms);
    }
}

std::span<const std::uint8_t> Simulator::due(std::int64_t now) const
{
    return connected_ ? tx_.due(now) : std::span<const std::uint8_t>{};
}

void Simulator::sent(std::size_t n) { tx_.consume(n); }

std::optional<std::int64_t> Simulator::next_deadline_but_writes() const
{
    std::optional<std::int64_t> d;
    const auto take = [&](std::optional<std::int64_t> t) {
        if (t && (!d || *t < *d)) {
            d = t;
        }
    };
    if (const auto c = cutter_.deadline()) {
        take(start_ns_ + *c * ns_per_ms);
    }
    if (connected_ && next_step_ < b_.steps.size()) {
        take(connect_ns_ + b_.steps[next_step_].ms * ns_per_ms);
    }
    if (connected_ && b_.close_after_ms) {
        take(connect_ns_ + *b_.close_after_ms * ns_per_ms);
    }
    return d;
}

std::optional<std::int64_t> Simulator::next_deadline() const
{
    const auto d = next_deadline_but_writes();
    const auto w = connected_ ? tx_.next_due() : std::nullopt;
    if (!w || (d && *d <= *w)) {
        return d;
    }
    return w;
}

bool Simulator::close_due(std::int64_t now) const
{
    return connected_ && b_.close_after_ms && now >= connect_ns_ + *b_.close_after_ms * ns_per_ms;
}

} // namespace sim
