#include "device.hpp"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "codes.hpp"

namespace sim {
namespace {

void put_u32_le(Bytes& out, std::uint32_t v)
{
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(v >> shift));
    }
}

void put_float_le(Bytes& out, float v) { put_u32_le(out, std::bit_cast<std::uint32_t>(v)); }

void put_u16_be(Bytes& out, std::uint16_t v)
{
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

// A float as a finite number, or as its raw pattern "bits:0xHHHHHHHH" (eight hex digits), which
// also gives NaNs and infinities: the tool's answer to them is part of what tests look at.
bool parse_float(std::string_view text, float& out)
{
    if (text.starts_with("bits:")) {
        const std::string_view digits = text.substr(5);
        std::uint64_t pattern = 0;
        if (digits.size() != 10 || !digits.starts_with("0x") ||
            !parse_uint(digits, 0xFFFFFFFF, pattern)) {
            return false;
        }
        out = std::bit_cast<float>(static_cast<std::uint32_t>(pattern));
        return true;
    }
    const std::string s(text);
    char* end = nullptr;
    errno = 0;
    const float v = std::strtof(s.c_str(), &end);
    if (s.empty() || *end != '\0' || errno != 0 || !std::isfinite(v)) {
        return false;
    }
    out = v;
    return true;
}

// Six bytes as twelve hex digits, optionally separated by blanks, ':' or '-'.
bool parse_sn(std::string_view text, std::array<std::uint8_t, 6>& out)
{
    std::string digits;
    for (const char c : text) {
        if (c == ' ' || c == ':' || c == '-') {
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
        digits += c;
    }
    if (digits.size() != 12) {
        return false;
    }
    for (std::size_t i = 0; i < 6; ++i) {
        out[i] = static_cast<std::uint8_t>(std::stoul(digits.substr(2 * i, 2), nullptr, 16));
    }
    return true;
}

bool parse_timings(std::string_view text, std::vector<std::uint16_t>& out)
{
    std::vector<std::uint16_t> list;
    while (!text.empty()) {
        const auto comma = text.find(',');
        std::uint64_t v = 0;
        if (!parse_uint(text.substr(0, comma), 0xFFFF, v)) {
            return false;
        }
        list.push_back(static_cast<std::uint16_t>(v));
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    }
    if (list.empty() || list.size() > 90) { // 90 timings: 240 Base64 characters, one frame
        return false;
    }
    out = std::move(list);
    return true;
}

// 'text' and what follows. Built by appending: "'" + std::string(text) trips a false -Wrestrict
// of GCC 12 at -O3.
std::string quoted(std::string_view text, std::string_view rest)
{
    std::string s(1, '\'');
    s.append(text).append(1, '\'').append(rest);
    return s;
}

// "relay3" -> 3 when the prefix matches and the number is a relay number.
int relay_index(std::string_view name, std::string_view prefix)
{
    if (name.substr(0, prefix.size()) != prefix) {
        return 0;
    }
    std::uint64_t n = 0;
    if (!parse_uint(name.substr(prefix.size()), max_relays, n) || n == 0) {
        return 0;
    }
    return static_cast<int>(n);
}

} // namespace

// Whole numbers in decimal or with 0x; the whole text must be the number.
bool parse_uint(std::string_view text, std::uint64_t max, std::uint64_t& out)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    std::uint64_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || v > max) {
        return false;
    }
    out = v;
    return true;
}

std::string set_state(DeviceState& s, std::string_view assignment)
{
    const auto eq = assignment.find('=');
    if (eq == std::string_view::npos || eq == 0) {
        return quoted(assignment, " is not NAME=VALUE");
    }
    const std::string_view name = assignment.substr(0, eq);
    const std::string_view value = assignment.substr(eq + 1);
    const auto bad = [&](std::string_view what) {
        return std::string(name) + ": '" + std::string(value) + "' is not " + std::string(what);
    };
    constexpr std::string_view a_byte = "a whole number from 0 to 255";

    struct ByteField {
        std::string_view name;
        std::uint8_t DeviceState::*field;
    };
    static constexpr ByteField bytes[] = {
        {"mode", &DeviceState::mode},
        {"version", &DeviceState::version},
        {"model", &DeviceState::model},
        {"fct", &DeviceState::fct},
        {"presstest", &DeviceState::presstest},
        {"load", &DeviceState::load},
        {"duty", &DeviceState::duty},
        {"target_duty", &DeviceState::target_duty},
        {"bt_init", &DeviceState::bt_init},
        {"freq", &DeviceState::freq},
        {"zero_cross", &DeviceState::zero_cross},
        {"flash", &DeviceState::flash},
        {"load_test", &DeviceState::load_test},
        {"short_test", &DeviceState::short_test},
        {"adc_hi", &DeviceState::adc_hi},
        {"adc_lo", &DeviceState::adc_lo},
    };
    struct FloatField {
        std::string_view name;
        float DeviceState::*field;
    };
    static constexpr FloatField floats[] = {
        {"voltage", &DeviceState::voltage}, {"current", &DeviceState::current},
        {"power", &DeviceState::power},     {"energy", &DeviceState::energy},
        {"angle", &DeviceState::angle},
    };

    std::uint64_t n = 0;
    for (const auto& f : bytes) {
        if (name == f.name) {
            if (!parse_uint(value, 0xFF, n)) {
                return bad(a_byte);
            }
            s.*f.field = static_cast<std::uint8_t>(n);
            return {};
        }
    }
    for (const auto& f : floats) {
        if (name == f.name) {
            return parse_float(value, s.*f.field) ? std::string{}
                                                  : bad("a finite number or bits:0xHHHHHHHH");
        }
    }
    if (name == "ir_fragment") {
        if (!parse_uint(value, 0xFF, n) || n == 0) {
            return bad("a whole number from 1 to 255");
        }
        s.ir_fragment = static_cast<std::uint8_t>(n);
    } else if (name == "humidity" || name == "temp") {
        if (!parse_uint(value, 0xFFFF, n)) {
            return bad("a whole number from 0 to 65535");
        }
        (name == "temp" ? s.temp : s.humidity) = static_cast<std::uint16_t>(n);
    } else if (name == "ntc") {
        if (!parse_uint(value, 0xFFFFFFFF, n)) {
            return bad("a whole number from 0 to 4294967295");
        }
        s.ntc = static_cast<std::uint32_t>(n);
    } else if (name == "sn") {
        return parse_sn(value, s.sn) ? std::string{} : bad("12 hex digits");
    } else if (name == "bt_name") {
        if (value.size() > 8) {
            return bad("at most 8 characters");
        }
        s.bt_name = value;
    } else if (name == "relays") {
        if (!parse_uint(value, max_relays, n) || n == 0) {
            return bad("a whole number from 1 to 32");
        }
        s.relays = static_cast<int>(n);
    } else if (const int r = relay_index(name, "relay_time")) {
        if (!parse_uint(value, std::numeric_limits<std::int32_t>::max(), n)) {
            return bad("a whole number of milliseconds from 0 to 2147483647");
        }
        s.relay[static_cast<std::size_t>(r)].time_ms = static_cast<std::int64_t>(n);
    } else if (const int r2 = relay_index(name, "relay")) {
        if (!parse_uint(value, 1, n)) {
            return bad("0 or 1");
        }
        s.relay[static_cast<std::size_t>(r2)].on = n != 0;
    } else if (name == "ir_learn") {
        return parse_timings(value, s.ir_learn)
                   ? std::string{}
                   : bad("1 to 90 whole numbers from 0 to 65535, comma-separated");
    } else {
        return quoted(name, " is not a part of the device state");
    }
    return {};
}

std::string state_help()
{
    return "  mode=2          work mode: 0 boot loader, 2 application (0x31)\n"
           "  version=7       firmware version (0x32)\n"
           "  model=5         model code (0xFE)\n"
           "  fct=1           factory-test result (0x30)\n"
           "  sn=000000000000 serial number, 12 hex digits (0x44; 0x43 writes it)\n"
           "  presstest=1     press-test result (0x46)\n"
           "  voltage=23000   HLW8112 voltage float; the tool prints v*10 mV, v/100 V (0x51)\n"
           "  current=1500    relay 1 current, mA float (0x52)\n"
           "  power=310.5     relay 1 power, W float (0x53, and the 0x58 report)\n"
           "  energy=12.34    relay 1 energy, kWh float (0x54)\n"
           "  angle=25.84     phase angle, degrees float (0x56)\n"
           "  load=1          load type: 1 inductive, 0 capacitive (0x57)\n"
           "  duty=50         present PWM duty (0x69; 0x68 sets it and the target)\n"
           "  target_duty=50  target PWM duty (0x6A)\n"
           "  bt_init=1       Bluetooth init status, head byte of the 0x71 reply\n"
           "  bt_name=SIM-BT  Bluetooth name, at most 8 characters (0x72)\n"
           "  humidity=500    humidity, 16 bits (0x74)\n"
           "  temp=250        temperature, 16 bits (0x74)\n"
           "  relays=4        number of relays, 1 to 32; others answer as missing\n"
           "  relayN=0        state of relay N at start, 0 or 1 (0x94; 0x93/0x99 switch)\n"
           "  relay_timeN=0   on-time of relay N in ms at start (0x95); runs while on\n"
           "  ntc=2048        raw NTC reading, 32 bits (0x96)\n"
           "  freq=50         mains frequency, Hz (0x97)\n"
           "  zero_cross=0    zero-cross status: 0 normal, other err (0x98)\n"
           "  flash=0         flash status of the erase/program replies (0xBB, 0xDD)\n"
           "  load_test=1     pass byte of the power-to-load test (0x81)\n"
           "  short_test=1    pass byte of the load short-circuit test (0x82)\n"
           "  adc_hi=12       first ADC byte of both load tests (0x81, 0x82)\n"
           "  adc_lo=34       second ADC byte of both load tests\n"
           "  ir_learn=9000,4500,560,560,560,1690\n"
           "                  learned IR timings, 16-bit, sent as Base64 in 0x9E reports\n"
           "  ir_fragment=32  timings per 0x9E report (d2 = reports, d3 = index)\n"
           "Whole numbers are decimal or 0x-hex; byte values 0 to 255. A float may also be\n"
           "given as its raw 32-bit pattern, bits:0xHHHHHHHH, for values that are not finite:\n"
           "voltage=bits:0x7FC00000 sends a quiet NaN, bits:0x7F800000 is +infinity.\n";
}

Bytes report_key(std::uint8_t state)
{
    const std::uint8_t p[] = {state};
    return build_reply(0, code::key_report, p);
}

Bytes report_power(float watts)
{
    Bytes p;
    put_float_le(p, watts);
    return build_reply(0, code::power_report, p);
}

Bytes report_ir_test(std::uint32_t value)
{
    const std::uint8_t p[] = {static_cast<std::uint8_t>(value >> 16),
                              static_cast<std::uint8_t>(value >> 8),
                              static_cast<std::uint8_t>(value)};
    return build_reply(0, code::ir_test_report, p);
}

Bytes report_rs485(std::string_view text)
{
    Bytes p(text.begin(), text.end());
    p.push_back(0);
    return build_reply(0, code::rs485_report, p);
}

Bytes report_ir_learning(std::uint8_t total, std::uint8_t index, std::string_view base64)
{
    Bytes p{total, index};
    p.insert(p.end(), base64.begin(), base64.end());
    return build_reply(0, code::ir_learning_report, p);
}

std::string base64_encode(std::span<const std::uint8_t> bytes)
{
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t group = static_cast<std::uint32_t>(bytes[i]) << 16;
        if (n > 1) {
            group |= static_cast<std::uint32_t>(bytes[i + 1]) << 8;
        }
        if (n > 2) {
            group |= bytes[i + 2];
        }
        for (std::size_t k = 0; k < 4; ++k) {
            out += k <= n ? alphabet[(group >> (18 - 6 * k)) & 0x3F] : '=';
        }
    }
    return out;
}

Device::Device(DeviceState state, Faults faults)
    : state_(std::move(state)), faults_(std::move(faults))
{
}

std::int32_t Device::relay_time(int relay, std::int64_t now_ms) const
{
    if (relay < 1 || relay > state_.relays) {
        return -1;
    }
    const Relay& r = state_.relay[static_cast<std::size_t>(relay)];
    const std::int64_t t = r.on ? r.time_ms + (now_ms - r.on_since_ms) : r.time_ms;
    return static_cast<std::int32_t>(
        std::min<std::int64_t>(t, std::numeric_limits<std::int32_t>::max()));
}

// Value 0 switches off, any other value on. Switching on starts the on-time from 0; switching
// off stops it, and 0x95 keeps reporting the last on-time. A stuck relay reports success and
// stays as it is.
bool Device::switch_relay(int relay, std::uint8_t value, std::int64_t now_ms)
{
    if (relay < 1 || relay > state_.relays) {
        return false;
    }
    if (faults_.stuck_relay[static_cast<std::size_t>(relay)]) {
        return true;
    }
    Relay& r = state_.relay[static_cast<std::size_t>(relay)];
    const bool on = value != 0;
    if (on && !r.on) {
        r.time_ms = 0;
        r.on_since_ms = now_ms;
    } else if (!on && r.on) {
        r.time_ms += now_ms - r.on_since_ms;
    }
    r.on = on;
    return true;
}

Bytes Device::damage(Bytes frame) const
{
    if (faults_.checksum && frame.size() >= 2) {
        frame[frame.size() - 2] = static_cast<std::uint8_t>(frame[frame.size() - 2] + 1);
    }
    frame.resize(frame.size() - std::min(faults_.drop_tail, frame.size()));
    return frame;
}

std::vector<Bytes> Device::handle(std::span<const std::uint8_t> frame, std::int64_t now_ms)
{
    if (frame.size() < 5) {
        return {};
    }
    const std::uint8_t code = frame[2];
    const auto payload = frame.subspan(3, frame.size() - 5);
    std::vector<Bytes> out = answer(code, payload, now_ms); // the state changes even if silent
    if (faults_.silent || faults_.ignore.contains(code)) {
        return {};
    }
    for (auto& f : out) {
        f = damage(std::move(f));
    }
    return out;
}

std::vector<Bytes> Device::answer(std::uint8_t code, std::span<const std::uint8_t> payload,
                                  std::int64_t now_ms)
{
    DeviceState& s = state_;
    const auto arg = [&](std::size_t i) -> std::uint8_t {
        return i < payload.size() ? payload[i] : 0;
    };
    const auto reply = [&](const Bytes& p, std::uint8_t head = 0) {
        return std::vector<Bytes>{build_reply(head, code, p)};
    };
    const auto byte_reply = [&](std::uint8_t v) { return reply(Bytes{v}); };
    const auto float_reply = [&](float v) {
        Bytes p;
        put_float_le(p, v);
        return reply(p);
    };

    switch (code) {
    case code::jump_to_ldrom: // jump to the boot-loader upgrader
        s.mode = 0;
        return {};
    case code::upgrader_end: // end of the upgrade: back to the application
        s.mode = 2;
        return {};
    case code::systick: {
        Bytes p;
        put_u32_le(p, static_cast<std::uint32_t>(now_ms));
        return reply(p);
    }
    case code::fct_test:
        return byte_reply(s.fct);
    case code::work_mode:
        return byte_reply(s.mode);
    case code::version:
        return byte_reply(s.version);
    case code::presstest_exit_temporary:
    case code::presstest_exit:
        return reply({});
    case code::sn_write:
        for (std::size_t i = 0; i < s.sn.size(); ++i) {
            s.sn[i] = arg(i);
        }
        return {};
    case code::sn_read:
        return reply(Bytes(s.sn.begin(), s.sn.end()));
    case code::presstest_result:
        return byte_reply(s.presstest);
    case code::voltage:
        return float_reply(s.voltage);
    case code::rly1_current:
        return float_reply(s.current);
    case code::rly1_power:
        return float_reply(s.power);
    case code::rly1_energy:
        return float_reply(s.energy);
    case code::angle:
        return float_reply(s.angle);
    case code::load_type:
        return byte_reply(s.load);
    case code::pwm_control:
        s.duty = arg(0);
        s.target_duty = arg(0);
        return {};
    case code::pwm_duty:
        return byte_reply(s.duty);
    case code::pwm_target_duty:
        return byte_reply(s.target_duty);
    case code::bt_prepare:
        return reply({}, s.bt_init);
    case code::bt_name: {
        Bytes name(s.bt_name.begin(), s.bt_name.end());
        name.resize(8, 0);
        return reply(name);
    }
    case code::temp_humidity: {
        Bytes p;
        put_u16_be(p, s.humidity);
        put_u16_be(p, s.temp);
        return reply(p);
    }
    case code::power_to_load_test:
        return reply(Bytes{s.load_test, s.adc_hi, s.adc_lo});
    case code::load_short_test:
        return reply(Bytes{s.short_test, s.adc_hi, s.adc_lo});
    case code::rs485_send: // RS485 send: the test fixture loops it back
        return {report_rs485(faults_.rs485 ? "Rec0ive" : "Receive")};
    case code::relay_control:
        return byte_reply(switch_relay(arg(0), arg(1), now_ms) ? 1 : 0);
    case code::relay_get: {
        const int r = arg(0);
        const bool exists = r >= 1 && r <= s.relays;
        return reply(Bytes{arg(0), static_cast<std::uint8_t>(
                                       exists ? s.relay[static_cast<std::size_t>(r)].on : 0xFF)});
    }
    case code::relay_time: {
        Bytes p{arg(0)};
        put_u32_le(p, static_cast<std::uint32_t>(relay_time(arg(0), now_ms)));
        return reply(p);
    }
    case code::ntc: {
        Bytes p;
        put_u32_le(p, s.ntc);
        return reply(p);
    }
    case code::frequency:
        return byte_reply(s.freq);
    case code::zero_cross:
        return byte_reply(s.zero_cross);
    case code::relay_multi_control: {
        const std::size_t pairs = payload.size() / 2;
        std::size_t ok = 0;
        for (std::size_t i = 0; i < pairs; ++i) {
            ok += switch_relay(payload[2 * i], payload[2 * i + 1], now_ms) ? 1 : 0;
        }
        return reply(Bytes{static_cast<std::uint8_t>(pairs), static_cast<std::uint8_t>(ok)});
    }
    case code::ir_send:
    case code::ir_new_send:
        return {report_ir_test(faults_.ir ? ir_test_fail : ir_test_success)};
    case code::ir_receiver_set: {
        std::vector<Bytes> out;
        const std::size_t per = s.ir_fragment;
        const std::size_t total = (s.ir_learn.size() + per - 1) / per;
        for (std::size_t k = 0; k < total; ++k) {
            Bytes raw;
            for (std::size_t i = k * per; i < std::min(s.ir_learn.size(), (k + 1) * per); ++i) {
                raw.push_back(static_cast<std::uint8_t>(s.ir_learn[i]));
                raw.push_back(static_cast<std::uint8_t>(s.ir_learn[i] >> 8));
            }
            out.push_back(report_ir_learning(static_cast<std::uint8_t>(total),
                                             static_cast<std::uint8_t>(k + 1), base64_encode(raw)));
        }
        return out;
    }
    case code::key_test:
        return reply({}, arg(0));
    case code::erase_aprom:
    case code::aprom_packet:
        return byte_reply(s.flash);
    case code::model:
        return byte_reply(s.model);
    default: // 0x55, the RS485 port and IR carrier settings, every other code: no answer
        return {};
    }
}

} // namespace sim
