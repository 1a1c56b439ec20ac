#include "decode.hpp"

#include <algorithm>
#include <cstdio>

#include "codes.hpp"

namespace sim {
namespace {

std::string num(unsigned v) { return std::to_string(v); }

std::string quoted(std::span<const std::uint8_t> bytes)
{
    std::string s = "\"";
    char buf[8];
    for (const std::uint8_t b : bytes) {
        if (b == '"' || b == '\\') {
            s += '\\';
            s += static_cast<char>(b);
        } else if (b >= 0x20 && b < 0x7F) {
            s += static_cast<char>(b);
        } else {
            std::snprintf(buf, sizeof buf, "\\x%02X", b);
            s += buf;
        }
    }
    return s + "\"";
}

const char* choice(unsigned v, std::initializer_list<const char*> names)
{
    return v < names.size() ? names.begin()[v] : "?";
}

// The fields of a command, from its payload. Returns "" for commands without fields.
std::string fields(std::uint8_t code, std::span<const std::uint8_t> p)
{
    const auto at = [&](std::size_t i) -> unsigned { return p[i]; };
    const auto need = [&](std::size_t n) { return p.size() >= n; };
    switch (code) {
    case code::sn_write:
        return need(6) ? "sn=" + hex(p.first(6)) : "";
    case code::pwm_control:
        return need(1) ? "duty=" + num(at(0)) : "";
    case code::rs485_send:
        return "len=" + num(static_cast<unsigned>(p.size())) + " data=" + quoted(p);
    case code::rs485_usart_set:
        if (!need(7)) {
            return "";
        }
        return "baudrate=" + num(at(0) << 24 | at(1) << 16 | at(2) << 8 | at(3)) +
               " data_width=" + num(at(4)) + "(" + choice(at(4), {"7", "8", "9"}) + ")" +
               " stop_bits=" + num(at(5)) + "(" + choice(at(5), {"1", "1.5", "2"}) + ")" +
               " parity=" + num(at(6)) + "(" + choice(at(6), {"NO", "EVEN", "ODD"}) + ")";
    case code::relay_control:
        return need(2) ? "relay=" + num(at(0)) + " value=" + num(at(1)) : "";
    case code::relay_get:
    case code::relay_time:
        return need(1) ? "relay=" + num(at(0)) : "";
    case code::relay_multi_control: {
        std::string s = "pairs=" + num(static_cast<unsigned>(p.size() / 2));
        for (std::size_t i = 0; i + 1 < p.size(); i += 2) {
            s += " relay" + num(at(i)) + "=" + num(at(i + 1));
        }
        return s;
    }
    case code::ir_carrier_set:
        return need(3) ? "carrier=" + num(at(0) << 8 | at(1)) + " param=" + num(at(2)) : "";
    case code::ir_send:
    case code::ir_new_send:
        return "len=" + num(static_cast<unsigned>(p.size())) +
               (p.empty() ? ""
                          : " data=" + hex(p.first(std::min<std::size_t>(p.size(), 8))) +
                                (p.size() > 8 ? " ..." : ""));
    case code::ir_receiver_set:
        return need(1) ? "setting=" + num(at(0)) : "";
    case code::key_test:
        return need(1) ? "key=" + num(at(0)) : "";
    case code::aprom_packet:
        return need(1) ? "header=" + num(at(0)) + " len=" + num(static_cast<unsigned>(p.size() - 1))
                       : "";
    default:
        if (command_name(code) == "mcu_hlw8112_get") {
            char buf[16];
            std::snprintf(buf, sizeof buf, "code=0x%02X", code);
            return buf;
        }
        return "";
    }
}

// Payload sizes of the fixed-size commands; -1 for the variable ones.
int payload_size(std::uint8_t code)
{
    switch (code) {
    case code::sn_write:
        return 6;
    case code::pwm_control:
    case code::relay_get:
    case code::relay_time:
    case code::ir_receiver_set:
    case code::key_test:
        return 1;
    case code::rs485_usart_set:
        return 7;
    case code::relay_control:
        return 2;
    case code::ir_carrier_set:
        return 3;
    case code::rs485_send:
    case code::relay_multi_control:
    case code::ir_send:
    case code::ir_new_send:
    case code::aprom_packet:
        return -1;
    default:
        return 0;
    }
}

std::string frame_text(const Cut& cut)
{
    const Bytes& f = cut.bytes;
    const std::uint8_t code = f[2];
    const auto payload = std::span(f).subspan(3, f.size() - 5);
    const std::string_view name = command_name(code);
    char buf[64];
    std::string s;
    if (name.empty()) {
        std::snprintf(buf, sizeof buf, "unknown command 0x%02X", code);
        s = buf;
        if (!payload.empty()) {
            s += " payload=" + hex(payload);
        }
    } else {
        s = name;
        const std::string fl = fields(code, payload);
        if (!fl.empty()) {
            s += ' ' + fl;
        }
        const int want = payload_size(code);
        if (want >= 0 && payload.size() != static_cast<std::size_t>(want)) {
            std::snprintf(buf, sizeof buf, " (payload %zu bytes, expected %d)", payload.size(),
                          want);
            s += buf;
        }
    }
    if (f.back() != end_byte) {
        std::snprintf(buf, sizeof buf, " end byte 0x%02X", f.back());
        s += buf;
    }
    if (cut.kind == CutKind::bad_checksum) {
        const std::size_t len = f[1];
        std::snprintf(buf, sizeof buf, " bad checksum (sum %02X, byte %02X)",
                      check_sum(std::span(f).subspan(2, len - 2)), f[len]);
        s += buf;
    }
    return s;
}

} // namespace

std::string_view command_name(std::uint8_t code)
{
    struct Name {
        std::uint8_t code;
        std::string_view name;
    };
    static constexpr Name names[] = {
        {code::jump_to_ldrom, "mcu_jump_to_ldrom_upgrader"},
        {code::systick, "mcu_systick_get"},
        {code::fct_test, "mcu_fct_test"},
        {code::work_mode, "mcu_get_work_mode"},
        {code::version, "mcu_get_version"},
        {code::presstest_exit_temporary, "mcu_presstest_exit_temporary"},
        {code::sn_write, "mcu_sn_no_write"},
        {code::sn_read, "mcu_sn_no_read"},
        {code::presstest_exit, "mcu_presstest_exit"},
        {code::presstest_result, "mcu_presstest_relust_get"},
        {code::voltage, "mcu_voltage_get"},
        {code::rly1_current, "mcu_rly1_current_get"},
        {code::rly1_power, "mcu_rly1_power_factor_get"},
        {code::rly1_energy, "mcu_rly1_electric_consume_get"},
        {code::angle, "mcu_hlw8112_get_angle"},
        {code::load_type, "mcu_hlw8112_get_load_type"},
        {code::pwm_control, "mcu_PWM_ctrl"},
        {code::pwm_duty, "mcu_PWM_duty_get"},
        {code::pwm_target_duty, "mcu_PWM_target_duty_get"},
        {code::bt_prepare, "fct_bt_preapear"},
        {code::bt_name, "fct_bt_get_name"},
        {code::temp_humidity, "mcu_temp_humidity_get"},
        {code::power_to_load_test, "mcu_pwr_to_load_test"},
        {code::load_short_test, "mcu_pwr_load_short_test"},
        {code::rs485_send, "mcu_rs485_send"},
        {code::rs485_usart_set, "mcu_rs485_usart_set"},
        {code::relay_control, "mcu_relay_control"},
        {code::relay_get, "mcu_relay_get"},
        {code::relay_time, "mcu_relay_read_time"},
        {code::ntc, "mcu_relay_read_ntc"},
        {code::frequency, "mcu_relay_read_frequency"},
        {code::zero_cross, "mcu_relay_read_zero_cross_status"},
        {code::relay_multi_control, "mcu_relay_multi_control"},
        {code::ir_carrier_set, "mcu_ir_carrier_set"},
        {code::ir_send, "mcu_ir_send"},
        {code::ir_new_send, "mcu_ir_new_send"},
        {code::ir_receiver_set, "mcu_ir_receiver_set"},
        {code::key_test, "mcu_key_test"},
        {code::upgrader_end, "mcu_upgrader_end"},
        {code::erase_aprom, "mcu_erase_aprom"},
        {code::aprom_packet, "mcu_send_aprom_packet"},
        {code::model, "mcu_get_mcu_model"},
        {code::hlw8112_query, "mcu_hlw8112_get"},
    };
    for (const auto& n : names) {
        if (n.code == code) {
            return n.name;
        }
    }
    return {};
}

std::string decode(const Cut& cut)
{
    const Bytes& f = cut.bytes;
    char buf[128];
    switch (cut.kind) {
    case CutKind::noise: {
        const bool zeros = std::all_of(f.begin(), f.end(), [](std::uint8_t b) { return b == 0; });
        std::snprintf(buf, sizeof buf, "noise %zu byte%s%s", f.size(), f.size() == 1 ? "" : "s",
                      zeros ? " (zero padding)" : "");
        return buf;
    }
    case CutKind::incomplete: {
        if (f.size() < 2) {
            return "incomplete frame: no length byte";
        }
        const std::size_t body = f.size() - 2;
        std::snprintf(buf, sizeof buf, "length byte 0x%02X announces %u bytes, %zu came", f[1],
                      static_cast<unsigned>(f[1]), body);
        if (f[1] == 0xAA && body >= 1 && f[2] == 0xAA) {
            return std::string("mcu_soft_test (incomplete frame: ") + buf + ")";
        }
        return std::string("incomplete frame: ") + buf;
    }
    case CutKind::bad_checksum:
        if (f[1] < 3) {
            std::snprintf(buf, sizeof buf, "short frame: length byte %u, no code and checksum",
                          static_cast<unsigned>(f[1]));
            return buf;
        }
        return frame_text(cut);
    case CutKind::frame:
        return frame_text(cut);
    }
    return {};
}

} // namespace sim
