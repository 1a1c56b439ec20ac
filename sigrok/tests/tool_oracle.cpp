// The tool's own code, for checking the sigrok decoder against it.
//
//   tool_oracle frames   every command builder, called once or more, one line a call:
//                        "<builder> <hex bytes it wrote>" (the builders' trace lines are dropped)
//   tool_oracle          reads lines from standard input and answers each:
//     ntc <raw>          -> the temperature as the tool prints it ("%0.2f")
//     b64 <hex bytes>    -> the decoded bytes, in hex ("-" for none)
//     reply <hex body>   -> what the receiver prints for that reply frame body (head byte
//                           first, the length byte is the body's size), then a line "--"
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include "driver/payloads.h"
#include "protocol/commands.h"
#include "receiver/base64.h"
#include "receiver/ntc.h"
#include "receiver/receiver.h"

namespace {

int pipe_fds[2];
FILE* out;

// Prints what the builder just wrote into the pipe.
void sent(const char* builder)
{
    uint8_t buf[1024];
    const ssize_t n = read(pipe_fds[0], buf, sizeof buf);
    std::fprintf(out, "%s", builder);
    for (ssize_t i = 0; i < n; ++i) {
        std::fprintf(out, " %02X", buf[i]);
    }
    std::fprintf(out, "\n");
}

#define CALL(builder, ...)                                                                         \
    do {                                                                                           \
        builder(pipe_fds[1] __VA_OPT__(, ) __VA_ARGS__);                                           \
        sent(#builder);                                                                            \
    } while (0)

int frames()
{
    if (pipe(pipe_fds) != 0) {
        return 1;
    }
    // Our lines go to the real standard output, the builders' trace lines nowhere.
    out = fdopen(dup(1), "w");
    if (out == nullptr || std::freopen("/dev/null", "w", stdout) == nullptr) {
        return 1;
    }
    // The builders that take no more than the descriptor (a table, packed).
    // clang-format off
#define B(builder) std::make_pair(#builder, builder)
    const std::pair<const char*, void (*)(int fd)> plain[] = {
        B(mcu_jump_to_ldrom_upgrader), B(mcu_systick_get), B(mcu_fct_test), B(mcu_get_work_mode),
        B(mcu_get_version), B(mcu_presstest_exit_temporary), B(mcu_sn_no_read),
        B(mcu_presstest_exit), B(mcu_presstest_relust_get), B(mcu_voltage_get),
        B(mcu_rly1_current_get), B(mcu_rly1_power_factor_get), B(mcu_rly1_electric_consume_get),
        B(mcu_hlw8112_get_angle), B(mcu_hlw8112_get_load_type), B(mcu_PWM_duty_get),
        B(mcu_PWM_target_duty_get), B(fct_bt_preapear), B(fct_bt_get_name),
        B(mcu_temp_humidity_get), B(mcu_pwr_to_load_test), B(mcu_pwr_load_short_test),
        B(mcu_relay_read_ntc), B(mcu_relay_read_frequency), B(mcu_relay_read_zero_cross_status),
        B(mcu_upgrader_end), B(mcu_erase_aprom), B(mcu_get_mcu_model)
    };
    // clang-format on
#undef B
    for (const auto& [name, build] : plain) {
        build(pipe_fds[1]);
        sent(name);
    }

    CALL(mcu_hlw8112_get, 0x55);
    CALL(mcu_hlw8112_get, 0x51); // a code that has a builder of its own
    CALL(mcu_hlw8112_get, 0x12); // a code that no builder has
    CALL(mcu_sn_no_write, builtin_sn);
    const uint8_t sn_framing[6] = {0xAA, 0xBB, 0xAA, 0x00, 0xFF, 0x03};
    CALL(mcu_sn_no_write, sn_framing);
    CALL(mcu_PWM_ctrl, 50);
    CALL(mcu_PWM_ctrl, 300); // narrowed to one byte
    const uint8_t text[] = "say \"hi\" \\ \x01\x7F\xC3\xA9";
    CALL(mcu_rs485_send, text, sizeof text);
    uint8_t full[128];
    for (size_t i = 0; i < sizeof full; ++i) {
        full[i] = static_cast<uint8_t>(0x20 + i % 95);
    }
    CALL(mcu_rs485_send, full, sizeof full); // fills the 133 bytes: no padding behind it
    CALL(mcu_rs485_send, full, 0);
    CALL(mcu_rs485_usart_set, 9600, 1, 0, 0);
    CALL(mcu_rs485_usart_set, 0xFFFFFFFFU, 2, 2, 2);
    CALL(mcu_rs485_usart_set, 115200, 3, 3, 3); // beyond the named choices
    CALL(mcu_relay_control, 1, 1);
    CALL(mcu_relay_control, 255, 0);
    CALL(mcu_relay_get, 1);
    CALL(mcu_relay_read_time, 5);
    const uint8_t pairs[20] = {1, 1, 2, 0, 3, 1, 4, 0, 5, 1, 6, 0, 7, 1, 8, 0, 9, 1, 10, 0xAA};
    CALL(mcu_relay_multi_control, 0, pairs);
    CALL(mcu_relay_multi_control, 1, pairs);
    CALL(mcu_relay_multi_control, 10, pairs);
    CALL(mcu_ir_carrier_set, 38000, 33);
    CALL(mcu_ir_carrier_set, -1, 0);
    CALL(mcu_ir_send, ir_raw_pattern.data(), IR_RAW_SIZE);
    CALL(mcu_ir_send, ir_raw_pattern.data(), 8);
    CALL(mcu_ir_send, ir_raw_pattern.data(), 0);
    CALL(mcu_ir_new_send, ir_new_pattern, IR_NEW_SIZE);
    CALL(mcu_ir_new_send, ir_new_pattern, 9);
    CALL(mcu_ir_receiver_set, 1);
    CALL(mcu_ir_receiver_set, 258);
    CALL(mcu_key_test, 3);
    CALL(mcu_key_test, 259);
    const uint8_t block[4] = {1, 2, 3, 4};
    CALL(mcu_send_aprom_packet, block, 4, 7);
    CALL(mcu_send_aprom_packet, block, 0, 0);
    CALL(mcu_soft_test);
    return std::fclose(out) == 0 ? 0 : 1;
}

// Hex bytes after a line's keyword, at most size of them.
uint32_t hex_bytes(const char* p, uint8_t* dst, uint32_t size)
{
    uint32_t n = 0;
    unsigned byte = 0;
    int used = 0;
    while (n < size && std::sscanf(p, "%2x%n", &byte, &used) == 1) {
        dst[n++] = static_cast<uint8_t>(byte);
        p += used;
    }
    return n;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "frames") == 0) {
        return frames();
    }
    char line[4096];
    uint8_t ir_decode[IR_DECODE_SIZE] = {};
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        unsigned long raw = 0;
        if (std::sscanf(line, "ntc %lu", &raw) == 1) {
            std::printf("%0.2f\n", static_cast<double>(temp_fitting(static_cast<uint32_t>(raw))));
        } else if (std::strncmp(line, "b64", 3) == 0) {
            uint8_t src[1024];
            const uint32_t n = hex_bytes(line + 3, src, sizeof src);
            uint8_t dst[1024 * 3 / 4 + 3] = {};
            const int32_t count = base64_decode(src, n, dst);
            if (count == 0) {
                std::printf("-");
            }
            for (int32_t i = 0; i < count; ++i) {
                std::printf("%02X", dst[i]);
            }
            std::printf("\n");
        } else if (std::strncmp(line, "reply", 5) == 0) {
            uint8_t slot[1024] = {}; // zeros past the body, as in the receive ring's slot
            const uint32_t n = hex_bytes(line + 5, slot, 256);
            receiver_handle_frame(slot, n, ir_decode);
            std::printf("--\n");
        } else {
            std::printf("?\n");
        }
    }
    return 0;
}
