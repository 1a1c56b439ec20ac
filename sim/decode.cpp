#include "decode.hpp"

#include <algorithm>
#include <cstdio>

namespace sim {
namespace {

std::string num(unsigned v)
{
    return std::to_string(v);
}

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
    case 0x43:
        return need(6) ? "sn=" + hex(p.first(6)) : "";
    case 0x68:
        return need(1) ? "duty=" + num(at(0)) : "";
    case 0x90:
        return "len=" + num(static_cast<unsigned>(p.size())) + " data=" + quoted(p);
    case 0x92:
        if (!need(7)) {
            return "";
        }
        return "baudrate=" + num(at(0) << 24 | at(1) << 16 | at(2) << 8 | at(3)) +
               " data_width=" + num(at(4)) + "(" + choice(at(4), {"7", "8", "9"}) + ")" +
               " stop_bits=" + num(at(5)) + "(" + choice(at(5), {"1", "1.5", "2"}) + ")" +
               " parity=" + num(at(6)) + "(" + choice(at(6), {"NO", "EVEN", "ODD"}) + ")";
    case 0x93:
        return need(2) ? "relay=" + num(at(0)) + " value=" + num(at(1)) : "";
    case 0x94:
    case 0x95:
        return need(1) ? "relay=" + num(at(0)) : "";
    case 0x99: {
        std::string s = "pairs=" + num(static_cast<unsigned>(p.size() / 2));
        for (std::size_t i = 0; i + 1 < p.size(); i += 2) {
            s += " relay" + num(at(i)) + "=" + num(at(i + 1));
        }
        return s;
    }
    case 0x9A:
        return need(3) ? "carrier=" + num(at(0) << 8 | at(1)) + " param=" + num(at(2)) : "";
    case 0x9B:
    case 0x9C:
        return "len=" + num(static_cast<unsigned>(p.size())) +
               (p.empty() ? ""
                          : " data=" + hex(p.first(std::min<std::size_t>(p.size(), 8))) +
                                (p.size() > 8 ? " ..." : ""));
    case 0x9D:
        return need(1) ? "setting=" + num(at(0)) : "";
    case 0xA1:
        return need(1) ? "key=" + num(at(0)) : "";
    case 0xDD:
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
    case 0x43:
        return 6;
    case 0x68:
    case 0x94:
    case 0x95:
    case 0x9D:
    case 0xA1:
        return 1;
    case 0x92:
        return 7;
    case 0x93:
        return 2;
    case 0x9A:
        return 3;
    case 0x90:
    case 0x99:
    case 0x9B:
    case 0x9C:
    case 0xDD:
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
        {0x10, "mcu_jump_to_ldrom_upgrader"},
        {0x20, "mcu_systick_get"},
        {0x30, "mcu_fct_test"},
        {0x31, "mcu_get_work_mode"},
        {0x32, "mcu_get_version"},
        {0x35, "mcu_presstest_exit_temporary"},
        {0x43, "mcu_sn_no_write"},
        {0x44, "mcu_sn_no_read"},
        {0x45, "mcu_presstest_exit"},
        {0x46, "mcu_presstest_relust_get"},
        {0x51, "mcu_voltage_get"},
        {0x52, "mcu_rly1_current_get"},
        {0x53, "mcu_rly1_power_factor_get"},
        {0x54, "mcu_rly1_electric_consume_get"},
        {0x56, "mcu_hlw8112_get_angle"},
        {0x57, "mcu_hlw8112_get_load_type"},
        {0x68, "mcu_PWM_ctrl"},
        {0x69, "mcu_PWM_duty_get"},
        {0x6A, "mcu_PWM_target_duty_get"},
        {0x71, "fct_bt_preapear"},
        {0x72, "fct_bt_get_name"},
        {0x74, "mcu_temp_humidity_get"},
        {0x81, "mcu_pwr_to_load_test"},
        {0x82, "mcu_pwr_load_short_test"},
        {0x90, "mcu_rs485_send"},
        {0x92, "mcu_rs485_usart_set"},
        {0x93, "mcu_relay_control"},
        {0x94, "mcu_relay_get"},
        {0x95, "mcu_relay_read_time"},
        {0x96, "mcu_relay_read_ntc"},
        {0x97, "mcu_relay_read_frequency"},
        {0x98, "mcu_relay_read_zero_cross_status"},
        {0x99, "mcu_relay_multi_control"},
        {0x9A, "mcu_ir_carrier_set"},
        {0x9B, "mcu_ir_send"},
        {0x9C, "mcu_ir_new_send"},
        {0x9D, "mcu_ir_receiver_set"},
        {0xA1, "mcu_key_test"},
        {0xAA, "mcu_upgrader_end"},
        {0xBB, "mcu_erase_aprom"},
        {0xDD, "mcu_send_aprom_packet"},
        {0xFE, "mcu_get_mcu_model"},
        {0x55, "mcu_hlw8112_get"},
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
