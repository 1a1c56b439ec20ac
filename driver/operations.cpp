#include "driver/operations.h"

#include "driver/payloads.h"
#include "driver/waits.h"
#include "protocol/codes.h"
#include "protocol/commands.h"
#include "receiver/receiver.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

int serial_fd = -1;

namespace {

constexpr unsigned int MS = 1000; // microseconds

// Parameter k is word k + 1 of the command line.
bool has_param(int argc, int k) { return argc >= k + 2; }
int num(char** argv, int k) { return atoi(argv[k + 1]); }
int32_t num_long(char** argv, int k) { return static_cast<int32_t>(atol(argv[k + 1])); }
uint8_t byte(int32_t value) { return static_cast<uint8_t>(value); }

// An operation whose parameter the command line does not give refuses like an unknown number:
// "arg err", nothing sent, no wait. Nothing beyond the words given is read.
void arg_err() { puts("arg err"); }

void op_get_identity(int argc, char** argv)
{
    if (!has_param(argc, 1)) {
        arg_err();
        return;
    }
    const int which = num(argv, 1);
    if (which == 0) {
        puts("mcu_get mode.");
        mcu_get_work_mode(serial_fd);
    } else if (which == 1) {
        puts("mcu_get version.");
        mcu_get_version(serial_fd);
    } else {
        puts("mcu_get type.");
        mcu_get_mcu_model(serial_fd);
    }
    wait_microseconds(300 * MS);
}

void op_key_listen(int /*argc*/, char** /*argv*/)
{
    puts("get Key in 10 second ");
    wait_seconds(10);
}

void op_pwm(int argc, char** argv)
{
    if (argc == 3) {
        const int duty = num(argv, 1);
        printf("PWM_duty:%d\n", duty);
        mcu_PWM_ctrl(serial_fd, duty);
        wait_seconds(1);
        return;
    }
    mcu_PWM_target_duty_get(serial_fd);
    wait_microseconds(500 * MS);
    mcu_PWM_duty_get(serial_fd);
    wait_seconds(1);
}

void op_ldrom(int /*argc*/, char** /*argv*/)
{
    mcu_jump_to_ldrom_upgrader(serial_fd);
    wait_seconds(1);
}

void op_energy(int /*argc*/, char** /*argv*/)
{
    mcu_voltage_get(serial_fd);
    wait_microseconds(200 * MS);
    mcu_rly1_current_get(serial_fd);
    wait_microseconds(200 * MS);
    mcu_rly1_power_factor_get(serial_fd);
    wait_microseconds(200 * MS);
    mcu_rly1_electric_consume_get(serial_fd);
    wait_microseconds(200 * MS);
    mcu_hlw8112_get(serial_fd, CODE_HLW8112_QUERY);
    wait_microseconds(200 * MS);
    mcu_hlw8112_get_angle(serial_fd);
    wait_microseconds(200 * MS);
    mcu_hlw8112_get_load_type(serial_fd);
    wait_microseconds(200 * MS);
}

void op_sn_write(int /*argc*/, char** /*argv*/)
{
    mcu_sn_no_write(serial_fd, builtin_sn);
    wait_seconds(1);
}

void op_sn_read(int /*argc*/, char** /*argv*/)
{
    mcu_sn_no_read(serial_fd);
    wait_seconds(3);
}

void op_presstest_exit(int argc, char** argv)
{
    if (!has_param(argc, 1)) {
        arg_err();
        return;
    }
    if (num(argv, 1) == 0) {
        mcu_presstest_exit_temporary(serial_fd);
    } else {
        mcu_presstest_exit(serial_fd);
    }
    wait_seconds(1);
}

void op_presstest_result(int /*argc*/, char** /*argv*/)
{
    mcu_presstest_relust_get(serial_fd);
    wait_seconds(1);
}

void op_soft_test(int /*argc*/, char** /*argv*/)
{
    puts("mcu_soft_test ---.");
    mcu_soft_test(serial_fd);
    wait_seconds(2);
}

void op_fct(int /*argc*/, char** /*argv*/)
{
    mcu_fct_test(serial_fd);
    wait_microseconds(5000 * MS);
    printf("mcu fct test: %d \n", g_fct_test.load(std::memory_order_relaxed));
}

void op_sensor(int /*argc*/, char** /*argv*/)
{
    puts("sensor test.");
    mcu_temp_humidity_get(serial_fd);
    wait_microseconds(500 * MS);
}

void op_infrared(int argc, char** argv)
{
    if (!has_param(argc, 1)) {
        arg_err();
        return;
    }
    switch (num(argv, 1)) {
    case 0:
        if (!has_param(argc, 3)) {
            arg_err();
            return;
        }
        mcu_ir_carrier_set(serial_fd, num(argv, 2), byte(num(argv, 3)));
        wait_microseconds(400 * MS);
        puts("<ir>carrier.");
        break;
    case 1:
        mcu_ir_send(serial_fd, ir_raw_pattern.data(), IR_RAW_SIZE);
        wait_microseconds(3000 * MS);
        puts("<ir>send raw.");
        break;
    case 2:
        mcu_ir_new_send(serial_fd, ir_new_pattern, IR_NEW_SIZE);
        wait_microseconds(2000 * MS);
        puts("<ir>send new.");
        break;
    case 3:
        if (!has_param(argc, 2)) {
            arg_err();
            return;
        }
        mcu_ir_receiver_set(serial_fd, num(argv, 2));
        wait_microseconds(1000 * MS);
        puts("<ir>carrier.");
        break;
    default:
        break; // an unknown sub-operation does nothing at all
    }
}

void op_key_test(int argc, char** argv)
{
    if (!has_param(argc, 1)) {
        arg_err();
        return;
    }
    mcu_key_test(serial_fd, num(argv, 1));
    wait_microseconds(500 * MS);
}

void op_bt_prepare(int /*argc*/, char** /*argv*/)
{
    fct_bt_preapear(serial_fd);
    wait_microseconds(5000 * MS);
}

void op_bt_name(int /*argc*/, char** /*argv*/)
{
    fct_bt_get_name(serial_fd);
    wait_microseconds(5000 * MS);
}

void op_rs485_settings(int argc, char** argv)
{
    if (argc < 6) {
        puts("rs485 set err.");
        puts("* baudrate:\t 115200 9600");
        puts("* data_width:\t0(7) 1(8) 2(9)");
        puts("* stop_bits:\t0(1) 1(1.5) 2(2)");
        puts("* parity:\t0(NO) 1(EVEN) 2(ODD)");
        exit(0);
    }
    mcu_rs485_usart_set(serial_fd, static_cast<uint32_t>(num_long(argv, 1)), byte(num(argv, 2)),
                        byte(num(argv, 3)), byte(num(argv, 4)));
    wait_microseconds(400 * MS);
}

void op_rs485_loopback(int /*argc*/, char** /*argv*/) { rs485_loopback_test(serial_fd); }

[[noreturn]] void op_dots(int /*argc*/, char** /*argv*/)
{
    for (;;) {
        putchar('.');
        wait_microseconds(500 * MS);
    }
}

void op_relay(int argc, char** argv)
{
    if (argc == 3) {
        mcu_relay_get(serial_fd, byte(num_long(argv, 1)));
    } else if (argc == 4) {
        mcu_relay_control(serial_fd, byte(num_long(argv, 1)), byte(num_long(argv, 2)));
    } else if (argc >= 5) {
        printf("argc:%d \n", argc);
    } else {
        arg_err();
        return;
    }
    wait_microseconds(500 * MS);
}

void op_relay_time(int argc, char** argv)
{
    if (argc == 3) {
        mcu_relay_read_time(serial_fd, byte(num_long(argv, 1)));
    } else if (argc >= 4) {
        printf("argc:%d \n", argc);
    } else {
        arg_err();
        return;
    }
    wait_microseconds(500 * MS);
}

// Operations 21 to 23 take no parameter and refuse any.
void relay_query(int argc, void (*query)(int))
{
    if (argc == 2) {
        query(serial_fd);
    } else {
        printf("argc:%d \n", argc);
    }
    wait_microseconds(500 * MS);
}

void op_relay_ntc(int argc, char** /*argv*/) { relay_query(argc, mcu_relay_read_ntc); }
void op_relay_frequency(int argc, char** /*argv*/) { relay_query(argc, mcu_relay_read_frequency); }
void op_relay_zero_cross(int argc, char** /*argv*/) { relay_query(argc, mcu_relay_read_zero_cross_status); }

void op_power_load(int argc, char** argv)
{
    if (!has_param(argc, 1)) {
        arg_err();
        return;
    }
    if (num(argv, 1) == 0) {
        mcu_pwr_to_load_test(serial_fd);
    } else {
        mcu_pwr_load_short_test(serial_fd);
    }
    wait_microseconds(2000 * MS);
}

void op_systick(int /*argc*/, char** /*argv*/)
{
    mcu_systick_get(serial_fd);
    wait_microseconds(2000 * MS);
}

void op_relay_multi(int argc, char** argv)
{
    constexpr int MAX_VALUES = 20;
    if (argc < 4) {
        printf("input argc:%d <4\n", argc);
    } else if (argc > MAX_VALUES + 2) {
        printf("argc:%d \n", argc);
    } else {
        const int n = argc - 2;
        printf("input_len:%d\n", n);
        uint8_t values[MAX_VALUES] = {};
        for (int k = 0; k < n; k++) {
            values[k] = byte(num_long(argv, k + 1));
        }
        // Two values per relay; an odd last value stays in the buffer, uncounted.
        mcu_relay_multi_control(serial_fd, static_cast<uint8_t>(n / 2), values);
    }
    wait_microseconds(500 * MS);
}

using operation = void (*)(int argc, char** argv);

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

constexpr int OPERATION_COUNT = static_cast<int>(sizeof(OPERATIONS) / sizeof(OPERATIONS[0]));

} // namespace

void run_operation(int op, int argc, char** argv)
{
    if (op < 0 || op >= OPERATION_COUNT) {
        puts("arg err");
        return;
    }
    OPERATIONS[op](argc, argv);
}
