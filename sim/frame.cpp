#include "frame.hpp"

#include <algorithm>
#include <cstdio>

namespace sim {

std::uint8_t check_sum(std::span<const std::uint8_t> bytes)
{
    std::uint8_t sum = 0;
    for (const std::uint8_t b : bytes) {
        sum = static_cast<std::uint8_t>(sum + b);
    }
    return sum;
}

Bytes build_reply(std::uint8_t head, std::uint8_t code, std::span<const std::uint8_t> payload)
{
    const std::size_t n = std::min<std::size_t>(payload.size(), 251);
    Bytes f;
    f.reserve(n + 6);
    f.push_back(start_byte);
    f.push_back(static_cast<std::uint8_t>(n + 4));
    f.push_back(head);
    f.push_back(code);
    f.insert(f.end(), payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(n));
    f.push_back(check_sum(std::span(f).subspan(2)));
    f.push_back(end_byte);
    return f;
}

std::string hex(std::span<const std::uint8_t> bytes)
{
    std::string s;
    s.reserve(bytes.size() * 3);
    char buf[4];
    for (const std::uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        if (!s.empty()) {
            s += ' ';
        }
        s += buf;
    }
    return s;
}

bool command_checksum_ok(std::span<const std::uint8_t> frame)
{
    if (frame.size() < 2) {
        return false;
    }
    const std::size_t len = frame[1];
    if (len < 3 || frame.size() < len + 2) {
        return false;
    }
    return check_sum(frame.subspan(2, len - 2)) == frame[len];
}

FrameCutter::FrameCutter(std::int64_t silence_ms) : silence_ms_(silence_ms) {}

void FrameCutter::reset()
{
    state_ = State::between;
    frame_.clear();
    noise_.clear();
    want_ = 0;
}

void FrameCutter::end_noise(std::vector<Cut>& out)
{
    if (!noise_.empty()) {
        out.push_back({CutKind::noise, noise_ms_, std::move(noise_)});
        noise_.clear();
    }
}

void FrameCutter::end_frame(CutKind kind, std::vector<Cut>& out)
{
    out.push_back({kind, frame_ms_, std::move(frame_)});
    frame_.clear();
    state_ = State::between;
}

void FrameCutter::feed(std::span<const std::uint8_t> data, std::int64_t now_ms,
                       std::vector<Cut>& out)
{
    if (!data.empty()) {
        idle(now_ms, out); // a gap before these bytes ends what was pending
        last_ms_ = now_ms;
    }
    for (const std::uint8_t b : data) {
        switch (state_) {
        case State::between:
            if (b != start_byte) {
                if (noise_.empty()) {
                    noise_ms_ = now_ms;
                }
                noise_.push_back(b);
                break;
            }
            end_noise(out);
            frame_.assign(1, b);
            frame_ms_ = now_ms;
            state_ = State::want_length;
            break;
        case State::want_length:
            frame_.push_back(b);
            want_ = static_cast<std::size_t>(b) + 2;
            state_ = State::body;
            if (frame_.size() == want_) { // length byte 0: nothing follows
                end_frame(CutKind::bad_checksum, out);
            }
            break;
        case State::body:
            frame_.push_back(b);
            if (frame_.size() == want_) {
                end_frame(command_checksum_ok(frame_) ? CutKind::frame : CutKind::bad_checksum,
                          out);
            }
            break;
        }
    }
}

std::optional<std::int64_t> FrameCutter::deadline() const
{
    if (state_ == State::between && noise_.empty()) {
        return std::nullopt;
    }
    return last_ms_ + silence_ms_;
}

void FrameCutter::idle(std::int64_t now_ms, std::vector<Cut>& out)
{
    const auto due = deadline();
    if (due && now_ms >= *due) {
        flush(out);
    }
}

void FrameCutter::flush(std::vector<Cut>& out)
{
    end_noise(out);
    if (state_ != State::between) {
        end_frame(CutKind::incomplete, out);
    }
}

std::string log_line(const Cut& cut)
{
    std::string s = std::to_string(cut.ms) + ' ' + hex(cut.bytes);
    switch (cut.kind) {
    case CutKind::frame:
        break;
    case CutKind::bad_checksum:
        s += " bad checksum";
        break;
    case CutKind::incomplete:
        s += " incomplete";
        break;
    case CutKind::noise:
        s += " noise";
        break;
    }
    return s;
}

} // namespace sim
