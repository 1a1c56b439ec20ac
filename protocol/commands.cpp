#include "protocol/commands.h"

#include <cstdio>
#include <cstring>

#include "protocol/codes.h"
#include "protocol/frame.h"
#include "serial/serial_port.h"

namespace {

constexpr size_t PLAIN_FRAME = 5;
constexpr size_t RS485_BUFFER = 133;
constexpr size_t IR_BUFFER = 261;
constexpr size_t MULTI_RELAY_BUFFER = 25;
constexpr size_t APROM_BUFFER = 512;

// Frame bytes in lower-case hex, each followed by a blank, no line end.
void print_frame(const char* label, const uint8_t* frame, size_t size)
{
    printf("%s", label);
    for (size_t i = 0; i < size; i++) {
        printf("%x ", static_cast<unsigned int>(frame[i]));
    }
}

// AA L code, then the payload at offset 3; finishes and sends the whole frame.
void send_frame(int fd, uint8_t* frame)
{
    frame_finish(frame);
    devctrl_serial_write(fd, frame, static_cast<size_t>(frame[1]) + 2);
}

// The commands without parameters: AA 03 code code BB.
void send_plain(int fd, uint8_t code, const char* trace = nullptr)
{
    uint8_t frame[PLAIN_FRAME] = {FRAME_START, 0x03, code, 0x00, FRAME_END};
    frame_finish(frame);
    if (trace != nullptr) {
        print_frame(trace, frame, sizeof(frame));
    }
    devctrl_serial_write(fd, frame, sizeof(frame));
}

// One-byte payload: AA 04 code value checksum BB.
void send_byte(int fd, uint8_t code, uint8_t value)
{
    uint8_t frame[6] = {FRAME_START, 0x04, code, value, 0x00, FRAME_END};
    send_frame(fd, frame);
}

// The two infrared sends share one layout: n data bytes behind the code, n + 5 bytes sent.
void send_ir(int fd, uint8_t code, const uint8_t* data, uint16_t len)
{
    uint8_t buf[IR_BUFFER] = {};
    buf[0] = FRAME_START;
    buf[1] = static_cast<uint8_t>(len + 3);
    buf[2] = code;
    memcpy(&buf[3], data, len);
    frame_finish(buf);
    devctrl_serial_write(fd, buf, static_cast<size_t>(len) + 5);
}

} // namespace

void mcu_jump_to_ldrom_upgrader(int fd) { send_plain(fd, CODE_LDROM_UPGRADER); }
void mcu_systick_get(int fd) { send_plain(fd, CODE_SYSTICK); }
void mcu_fct_test(int fd) { send_plain(fd, CODE_FCT_TEST, "get:"); }
void mcu_get_work_mode(int fd) { send_plain(fd, CODE_WORK_MODE); }
void mcu_get_version(int fd) { send_plain(fd, CODE_VERSION); }
void mcu_presstest_exit_temporary(int fd) { send_plain(fd, CODE_PRESSTEST_EXIT_TEMP); }
void mcu_sn_no_read(int fd) { send_plain(fd, CODE_SN_READ); }
void mcu_presstest_exit(int fd) { send_plain(fd, CODE_PRESSTEST_EXIT); }
void mcu_presstest_relust_get(int fd) { send_plain(fd, CODE_PRESSTEST_RESULT); }
void mcu_voltage_get(int fd) { send_plain(fd, CODE_VOLTAGE); }
void mcu_rly1_current_get(int fd) { send_plain(fd, CODE_CURRENT); }
void mcu_rly1_power_factor_get(int fd) { send_plain(fd, CODE_POWER); }
void mcu_rly1_electric_consume_get(int fd) { send_plain(fd, CODE_ENERGY); }
void mcu_hlw8112_get_angle(int fd) { send_plain(fd, CODE_ANGLE); }
void mcu_hlw8112_get_load_type(int fd) { send_plain(fd, CODE_LOAD_TYPE); }
void mcu_PWM_duty_get(int fd) { send_plain(fd, CODE_PWM_DUTY); }
void mcu_PWM_target_duty_get(int fd) { send_plain(fd, CODE_PWM_TARGET_DUTY); }
void fct_bt_preapear(int fd) { send_plain(fd, CODE_BT_PREPARE, "get:"); }
void fct_bt_get_name(int fd) { send_plain(fd, CODE_BT_NAME, "get:"); }
void mcu_temp_humidity_get(int fd) { send_plain(fd, CODE_TEMP_HUMIDITY); }
void mcu_relay_read_ntc(int fd) { send_plain(fd, CODE_RELAY_NTC); }
void mcu_relay_read_frequency(int fd) { send_plain(fd, CODE_MAINS_FREQUENCY); }
void mcu_relay_read_zero_cross_status(int fd) { send_plain(fd, CODE_ZERO_CROSS); }
void mcu_upgrader_end(int fd) { send_plain(fd, CODE_UPGRADER_END); }
void mcu_erase_aprom(int fd) { send_plain(fd, CODE_ERASE_APROM); }
void mcu_get_mcu_model(int fd) { send_plain(fd, CODE_MCU_MODEL); }

void mcu_pwr_to_load_test(int fd)
{
    puts("mcu_pwr_to_load_test");
    send_plain(fd, CODE_PWR_TO_LOAD);
}

void mcu_pwr_load_short_test(int fd)
{
    puts("mcu_pwr_load_short_test");
    send_plain(fd, CODE_PWR_LOAD_SHORT);
}

void mcu_hlw8112_get(int fd, uint8_t code) { send_plain(fd, code); }

void mcu_sn_no_write(int fd, const uint8_t* sn)
{
    uint8_t frame[11] = {FRAME_START, 0x09, CODE_SN_WRITE, 0, 0, 0, 0, 0, 0, 0, FRAME_END};
    memcpy(&frame[3], sn, 6);
    send_frame(fd, frame);
}

void mcu_PWM_ctrl(int fd, int duty) { send_byte(fd, CODE_PWM_SET, static_cast<uint8_t>(duty)); }

void mcu_rs485_send(int fd, const uint8_t* data, uint8_t len)
{
    // Always the whole buffer: the zero bytes after the end byte go out too.
    uint8_t buf[RS485_BUFFER] = {};
    buf[0] = FRAME_START;
    buf[1] = static_cast<uint8_t>(len + 3);
    buf[2] = CODE_RS485_SEND;
    printf("len:%d\n", len);
    memcpy(&buf[3], data, len);
    frame_finish(buf);
    devctrl_serial_write(fd, buf, sizeof(buf));
}

void mcu_rs485_usart_set(int fd, uint32_t baudrate, uint8_t data_width, uint8_t stop_bits,
                         uint8_t parity)
{
    uint8_t frame[12] = {FRAME_START, 0x0A, CODE_RS485_SETTINGS, 0, 0, 0, 0, 0, 0, 0, 0, FRAME_END};
    printf("set baudrate:%u\n", baudrate);
    frame[3] = static_cast<uint8_t>(baudrate >> 24);
    frame[4] = static_cast<uint8_t>(baudrate >> 16);
    frame[5] = static_cast<uint8_t>(baudrate >> 8);
    frame[6] = static_cast<uint8_t>(baudrate);
    frame[7] = data_width;
    frame[8] = stop_bits;
    frame[9] = parity;
    send_frame(fd, frame);
}

void mcu_relay_control(int fd, uint8_t relay, uint8_t value)
{
    uint8_t frame[7] = {FRAME_START, 0x05, CODE_RELAY_CONTROL, 0, 0, 0, FRAME_END};
    printf("set relay_numb:%u\n", static_cast<unsigned int>(relay));
    frame[3] = relay;
    frame[4] = value;
    send_frame(fd, frame);
}

void mcu_relay_get(int fd, uint8_t relay) { send_byte(fd, CODE_RELAY_GET, relay); }

void mcu_relay_read_time(int fd, uint8_t relay) { send_byte(fd, CODE_RELAY_TIME, relay); }

void mcu_relay_multi_control(int fd, uint8_t pairs_count, const uint8_t* pairs)
{
    // Always all 25 bytes; ten pairs fill the buffer exactly.
    uint8_t buf[MULTI_RELAY_BUFFER] = {FRAME_START, 0x17, CODE_RELAY_MULTI};
    printf("set numb:%u\n", static_cast<unsigned int>(pairs_count));
    buf[1] = static_cast<uint8_t>(2 * pairs_count + 3);
    for (size_t i = 0; i < pairs_count; i++) {
        buf[3 + 2 * i] = pairs[2 * i];
        buf[4 + 2 * i] = pairs[2 * i + 1];
    }
    frame_finish(buf);
    devctrl_serial_write(fd, buf, sizeof(buf));
}

void mcu_ir_carrier_set(int fd, int carrier, uint8_t param)
{
    uint8_t frame[8] = {FRAME_START, 0x06, CODE_IR_CARRIER, 0, 0, 0, 0, FRAME_END};
    frame[3] = static_cast<uint8_t>(carrier >> 8);
    frame[4] = static_cast<uint8_t>(carrier);
    frame[5] = param;
    send_frame(fd, frame);
}

void mcu_ir_send(int fd, const uint8_t* data, uint16_t len)
{
    send_ir(fd, CODE_IR_SEND, data, len);
}

void mcu_ir_new_send(int fd, const uint8_t* data, uint16_t len)
{
    printf("len:%d\n", len);
    send_ir(fd, CODE_IR_NEW_SEND, data, len);
}

void mcu_ir_receiver_set(int fd, int setting)
{
    send_byte(fd, CODE_IR_RECEIVER, static_cast<uint8_t>(setting));
}

void mcu_key_test(int fd, int key)
{
    uint8_t frame[6] = {FRAME_START, 0x04,     CODE_KEY_TEST, static_cast<uint8_t>(key),
                        0x00,        FRAME_END};
    printf("%s:key num %d\n", "mcu_key_test", frame[3]);
    frame_finish(frame);
    print_frame("set:", frame, sizeof(frame));
    devctrl_serial_write(fd, frame, sizeof(frame));
}

void mcu_send_aprom_packet(int fd, const uint8_t* data, int size, uint8_t header)
{
    uint8_t buf[APROM_BUFFER] = {};
    buf[0] = FRAME_START;
    buf[1] = static_cast<uint8_t>(size + 4);
    buf[2] = CODE_APROM_PACKET;
    buf[3] = header;
    memcpy(&buf[4], data, static_cast<size_t>(size));
    frame_finish(buf);
    printf("len:%d %d\n", size, buf[1]);
    devctrl_serial_write(fd, buf, static_cast<size_t>(size) + 6);
}

void mcu_soft_test(int fd)
{
    // Start, length, code and end byte are all 0xAA, so the length byte announces 170 bytes
    // where three follow. The checksum covers what the frame holds between the length byte
    // and the checksum position, the code byte alone: 0xAA.
    uint8_t frame[PLAIN_FRAME] = {FRAME_START, FRAME_START, FRAME_START, 0x00, FRAME_START};
    frame[3] = check_sum(&frame[2], 1);
    puts("---------------");
    devctrl_serial_write(fd, frame, sizeof(frame));
}
