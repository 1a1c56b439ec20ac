#include "driver/operations.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "driver/payloads.h"
#include "driver/waits.h"
#include "protocol/codes.h"
#include "protocol/commands.h"
#include "receiver/receiver.h"

namespace {

constexpr unsigned int MS = 1000; // microseconds

// The command line as every operation reads it: word 0 is the program's name, word 1 the
// operation number, and parameter k is word k + 1.
struct op_params {
    int argc;    // words on the command line, the program's name included (printed as "argc")
    char** argv; // the words
};

// Parameters given after the operation number (-1 when there is no operation word either).
int param_count(const op_params& p) { return p.argc - 2; }
bool has_param(const op_params& p, int k) { return param_count(p) >= k; }
int num(const op_params& p, int k) { return atoi(p.argv[k + 1]); }
int32_t num_long(const op_params& p, int k) { return static_cast<int32_t>(atol(p.argv[k + 1])); }
uint8_t byte(int32_t value) { return static_cast<uint8_t>(value); }

// An operation whose parameter the command line does not give refuses like an unknown number:
// "arg err", nothing sent, no wait. Nothing beyond the words given is read.
void arg_err() { puts("arg err"); }

void op_get_identity(int fd, const op_params& p)
{
    if (!has_param(p, 1)) {
        arg_err();
        return;
    }
    const int which = num(p, 1);
    if (which == 0) {
        puts("mcu_get mode.");
        mcu_get_work_mode(fd);
    } else if (which == 1) {
        puts("mcu_get version.");
        mcu_get_version(fd);
    } else {
        puts("mcu_get type.");
        mcu_get_mcu_model(fd);
    }
    wait_microseconds(300 * MS);
}

void op_key_listen(int /*fd*/, const op_params& /*p*/)
{
    puts("get Key in 10 second ");
    wait_seconds(10);
}

void op_pwm(int fd, const op_params& p)
{
    if (param_count(p) == 1) {
        const int duty = num(p, 1);
        printf("PWM_duty:%d\n", duty);
        mcu_PWM_ctrl(fd, duty);
        wait_seconds(1);
        return;
    }
    mcu_PWM_target_duty_get(fd);
    wait_microseconds(500 * MS);
    mcu_PWM_duty_get(fd);
    wait_seconds(1);
}

void op_ldrom(int fd, const op_params& /*p*/)
{
    mcu_jump_to_ldrom_upgrader(fd);
    wait_seconds(1);
}

void op_energy(int fd, const op_params& /*p*/)
{
    mcu_voltage_get(fd);
    wait_microseconds(200 * MS);
    mcu_rly1_current_get(fd);
    wait_microseconds(200 * MS);
    mcu_rly1_power_factor_get(fd);
    wait_microseconds(200 * MS);
    mcu_rly1_electric_consume_get(fd);
    wait_microseconds(200 * MS);
    mcu_hlw8112_get(fd, CODE_HLW8112_QUERY);
    wait_microseconds(200 * MS);
    mcu_hlw8112_get_angle(fd);
    wait_microseconds(200 * MS);
    mcu_hlw8112_get_load_type(fd);
    wait_microseconds(200 * MS);
}

void op_sn_write(int fd, const op_params& /*p*/)
{
    mcu_sn_no_write(fd, builtin_sn);
    wait_seconds(1);
}

void op_sn_read(int fd, const op_params& /*p*/)
{
    mcu_sn_no_read(fd);
    wait_seconds(3);
}

void op_presstest_exit(int fd, const op_params& p)
{
    if (!has_param(p, 1)) {
        arg_err();
        return;
    }
    if (num(p, 1) == 0) {
        mcu_presstest_exit_temporary(fd);
    } else {
        mcu_presstest_exit(fd);
    }
    wait_seconds(1);
}

void op_presstest_result(int fd, const op_params& /*p*/)
{
    mcu_presstest_relust_get(fd);
    wait_seconds(1);
}

void op_soft_test(int fd, const op_params& /*p*/)
{
    puts("mcu_soft_test ---.");
    mcu_soft_test(fd);
    wait_seconds(2);
}

void op_fct(int fd, const op_params& /*p*/)
{
    mcu_fct_test(fd);
    wait_microseconds(5000 * MS);
    printf("mcu fct test: %d \n", g_fct_test.load(std::memory_order_relaxed));
}

void op_sensor(int fd, const op_params& /*p*/)
{
    puts("sensor test.");
    mcu_temp_humidity_get(fd);
    wait_microseconds(500 * MS);
}

void op_infrared(int fd, const op_params& p)
{
    if (!has_param(p, 1)) {
        arg_err();
        return;
    }
    switch (num(p, 1)) {
    case 0:
        if (!has_param(p, 3)) {
            arg_err();
            return;
        }
        mcu_ir_carrier_set(fd, num(p, 2), byte(num(p, 3)));
        wait_microseconds(400 * MS);
        puts("<ir>carrier.");
        break;
    case 1:
        mcu_ir_send(fd, ir_raw_pattern.data(), IR_RAW_SIZE);
        wait_microseconds(3000 * MS);
        puts("<ir>send raw.");
        break;
    case 2:
        mcu_ir_new_send(fd, ir_new_pattern, IR_NEW_SIZE);
        wait_microseconds(2000 * MS);
        puts("<ir>send new.");
        break;
    case 3:
        if (!has_param(p, 2)) {
            arg_err();
            return;
        }
        mcu_ir_receiver_set(fd, num(p, 2));
        wait_microseconds(1000 * MS);
        puts("<ir>carrier.");
        break;
    default:
        break; // an unknown sub-operation does nothing at all
    }
}

void op_key_test(int fd, const op_params& p)
{
    if (!has_param(p, 1)) {
        arg_err();
        return;
    }
    mcu_key_test(fd, num(p, 1));
    wait_microseconds(500 * MS);
}

void op_bt_prepare(int fd, const op_params& /*p*/)
{
    fct_bt_preapear(fd);
    wait_microseconds(5000 * MS);
}

void op_bt_name(int fd, const op_params& /*p*/)
{
    fct_bt_get_name(fd);
    wait_microseconds(5000 * MS);
}

void op_rs485_settings(int fd, const op_params& p)
{
    if (!has_param(p, 4)) {
        puts("rs485 set err.");
        puts("* baudrate:\t 115200 9600");
        puts("* data_width:\t0(7) 1(8) 2(9)");
        puts("* stop_bits:\t0(1) 1(1.5) 2(2)");
        puts("* parity:\t0(NO) 1(EVEN) 2(ODD)");
        exit(0);
    }
    mcu_rs485_usart_set(fd, static_cast<uint32_t>(num_long(p, 1)), byte(num(p, 2)), byte(num(p, 3)),
                        byte(num(p, 4)));
    wait_microseconds(400 * MS);
}

void op_rs485_loopback(int fd, const op_params& /*p*/) { rs485_loopback_test(fd); }

[[noreturn]] void op_dots(int /*fd*/, const op_params& /*p*/)
{
    for (;;) {
        putchar('.');
        wait_microseconds(500 * MS);
    }
}

void op_relay(int fd, const op_params& p)
{
    if (param_count(p) == 1) {
        mcu_relay_get(fd, byte(num_long(p, 1)));
    } else if (param_count(p) == 2) {
        mcu_relay_control(fd, byte(num_long(p, 1)), byte(num_long(p, 2)));
    } else if (param_count(p) >= 3) {
        printf("argc:%d \n", p.argc);
    } else {
        arg_err();
        return;
    }
    wait_microseconds(500 * MS);
}

void op_relay_time(int fd, const op_params& p)
{
    if (param_count(p) == 1) {
        mcu_relay_read_time(fd, byte(num_long(p, 1)));
    } else if (param_count(p) >= 2) {
        printf("argc:%d \n", p.argc);
    } else {
        arg_err();
        return;
    }
    wait_microseconds(500 * MS);
}

// Operations 21 to 23 take no parameter and refuse any.
void relay_query(int fd, const op_params& p, void (*query)(int))
{
    if (param_count(p) == 0) {
        query(fd);
    } else {
        printf("argc:%d \n", p.argc);
    }
    wait_microseconds(500 * MS);
}

void op_relay_ntc(int fd, const op_params& p) { relay_query(fd, p, mcu_relay_read_ntc); }
void op_relay_frequency(int fd, const op_params& p)
{
    relay_query(fd, p, mcu_relay_read_frequency);
}
void op_relay_zero_cross(int fd, const op_params& p)
{
    relay_query(fd, p, mcu_relay_read_zero_cross_status);
}

void op_power_load(int fd, const op_params& p)
{
    if (!has_param(p, 1)) {
        arg_err();
        return;
    }
    if (num(p, 1) == 0) {
        mcu_pwr_to_load_test(fd);
    } else {
        mcu_pwr_load_short_test(fd);
    }
    wait_microseconds(2000 * MS);
}

void op_systick(int fd, const op_params& /*p*/)
{
    mcu_systick_get(fd);
    wait_microseconds(2000 * MS);
}

void op_relay_multi(int fd, const op_params& p)
{
    constexpr int MAX_VALUES = 20;
    if (!has_param(p, 2)) {
        printf("input argc:%d <4\n", p.argc);
    } else if (has_param(p, MAX_VALUES + 1)) {
        printf("argc:%d \n", p.argc);
    } else {
        const int n = param_count(p);
        printf("input_len:%d\n", n);
        uint8_t values[MAX_VALUES] = {};
        for (int k = 0; k < n; k++) {
            values[k] = byte(num_long(p, k + 1));
        }
        // Two values per relay; an odd last value stays in the buffer, uncounted.
        mcu_relay_multi_control(fd, static_cast<uint8_t>(n / 2), values);
    }
    wait_microseconds(500 * MS);
}

using operation = void (*)(int fd, const op_params& p);

constexpr operation OPERATIONS[] = {
    op_get_identity,     // 0
    op_key_listen,       // 1
    op_pwm,              // 2
    op_ldrom,            // 3
    op_energy,           // 4
    op_sn_write,         // 5
    op_sn_read,          // 6
    op_presstest_exit,   // 7
    op_presstest_result, // 8
    op_soft_test,        // 9
    op_fct,              // 10
    op_sensor,           // 11
    op_infrared,         // 12
    op_key_test,         // 13
    op_bt_prepare,       // 14
    op_bt_name,          // 15
    op_rs485_settings,   // 16
    op_rs485_loopback,   // 17
    op_dots,             // 18
    op_relay,            // 19
    op_relay_time,       // 20
    op_relay_ntc,        // 21
    op_relay_frequency,  // 22
    op_relay_zero_cross, // 23
    op_power_load,       // 24
    op_systick,          // 25
    op_relay_multi,      // 26
};

static_assert(sizeof(OPERATIONS) == OPERATION_COUNT * sizeof(operation));

} // namespace

void run_operation(int fd, int op, int argc, char** argv)
{
    if (op < 0 || op >= OPERATION_COUNT) {
        puts("arg err");
        return;
    }
    OPERATIONS[op](fd, op_params{argc, argv});
}
