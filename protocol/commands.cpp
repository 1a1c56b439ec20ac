#include "protocol/commands.h"

#include "protocol/frame.h"
#include "serial/serial_port.h"

#include <cstdio>
#include <cstring>

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

void mcu_jump_to_ldrom_upgrader(int fd) { send_plain(fd, 0x10); }
void mcu_systick_get(int fd) { send_plain(fd, 0x20); }
void mcu_fct_test(int fd) { send_plain(fd, 0x30, "get:"); }
void mcu_get_work_mode(int fd) { send_plain(fd, 0x31); }
void mcu_get_version(int fd) { send_plain(fd, 0x32); }
void mcu_presstest_exit_temporary(int fd) { send_plain(fd, 0x35); }
void mcu_sn_no_read(int fd) { send_plain(fd, 0x44); }
void mcu_presstest_exit(int fd) { send_plain(fd, 0x45); }
void mcu_presstest_relust_get(int fd) { send_plain(fd, 0x46); }
void mcu_voltage_get(int fd) { send_plain(fd, 0x51); }
void mcu_rly1_current_get(int fd) { send_plain(fd, 0x52); }
void mcu_rly1_power_factor_get(int fd) { send_plain(fd, 0x53); }
void mcu_rly1_electric_consume_get(int fd) { send_plain(fd, 0x54); }
void mcu_hlw8112_get_angle(int fd) { send_plain(fd, 0x56); }
void mcu_hlw8112_get_load_type(int fd) { send_plain(fd, 0x57); }
void mcu_PWM_duty_get(int fd) { send_plain(fd, 0x69); }
void mcu_PWM_target_duty_get(int fd) { send_plain(fd, 0x6A); }
void fct_bt_preapear(int fd) { send_plain(fd, 0x71, "get:"); }
void fct_bt_get_name(int fd) { send_plain(fd, 0x72, "get:"); }
void mcu_temp_humidity_get(int fd) { send_plain(fd, 0x74); }
void mcu_relay_read_ntc(int fd) { send_plain(fd, 0x96); }
void mcu_relay_read_frequency(int fd) { send_plain(fd, 0x97); }
void mcu_relay_read_zero_cross_status(int fd) { send_plain(fd, 0x98); }
void mcu_upgrader_end(int fd) { send_plain(fd, 0xAA); }
void mcu_erase_aprom(int fd) { send_plain(fd, 0xBB); }
void mcu_get_mcu_model(int fd) { send_plain(fd, 0xFE); }

void mcu_pwr_to_load_test(int fd)
{
    puts("mcu_pwr_to_load_test");
    send_plain(fd, 0x81);
}

void mcu_pwr_load_short_test(int fd)
{
    puts("mcu_pwr_load_short_test");
    send_plain(fd, 0x82);
}

void mcu_hlw8112_get(int fd, uint8_t code) { send_plain(fd, code); }

void mcu_sn_no_write(int fd, const uint8_t* sn)
{
    uint8_t frame[11] = {FRAME_START, 0x09, 0x43, 0, 0, 0, 0, 0, 0, 0, FRAME_END};
    memcpy(&frame[3], sn, 6);
    send_frame(fd, frame);
}

void mcu_PWM_ctrl(int fd, int duty) { send_byte(fd, 0x68, static_cast<uint8_t>(duty)); }

void mcu_rs485_send(int fd, const uint8_t* data, uint8_t len)
{
    // Always the whole buffer: the zero bytes after the end byte go out too.
    uint8_t buf[RS485_BUFFER] = {};
    buf[0] = FRAME_START;
    buf[1] = static_cast<uint8_t>(len + 3);
    buf[2] = 0x90;
    printf("len:%d\n", len);
    memcpy(&buf[3], data, len);
    frame_finish(buf);
    devctrl_serial_write(fd, buf, sizeof(buf));
}

void mcu_rs485_usart_set(int fd, uint32_t baudrate, uint8_t data_width, uint8_t stop_bits, uint8_t parity)
{
    uint8_t frame[12] = {FRAME_START, 0x0A, 0x92, 0, 0, 0, 0, 0, 0, 0, 0, FRAME_END};
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
    uint8_t frame[7] = {FRAME_START, 0x05, 0x93, 0, 0, 0, FRAME_END};
    printf("set relay_numb:%u\n", static_cast<unsigned int>(relay));
    frame[3] = relay;
    frame[4] = value;
    send_frame(fd, frame);
}

void mcu_relay_get(int fd, uint8_t relay) { send_byte(fd, 0x94, relay); }

void mcu_relay_read_time(int fd, uint8_t relay) { send_byte(fd, 0x95, relay); }

void mcu_relay_multi_control(int fd, uint8_t pairs_count, const uint8_t* pairs)
{
    // Always all 25 bytes; ten pairs fill the buffer exactly.
    uint8_t buf[MULTI_RELAY_BUFFER] = {FRAME_START, 0x17, 0x99};
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
    uint8_t frame[8] = {FRAME_START, 0x06, 0x9A, 0, 0, 0, 0, FRAME_END};
    frame[3] = static_cast<uint8_t>(carrier >> 8);
    frame[4] = static_cast<uint8_t>(carrier);
    frame[5] = param;
    send_frame(fd, frame);
}

void mcu_ir_send(int fd, const uint8_t* data, uint16_t len) { send_ir(fd, 0x9B, data, len); }

void mcu_ir_new_send(int fd, const uint8_t* data, uint16_t len)
{
    printf("len:%d\n", len);
    send_ir(fd, 0x9C, data, len);
}

void mcu_ir_receiver_set(int fd, int setting) { send_byte(fd, 0x9D, static_cast<uint8_t>(setting)); }

void mcu_key_test(int fd, int key)
{
    uint8_t frame[6] = {FRAME_START, 0x04, 0xA1, static_cast<uint8_t>(key), 0x00, FRAME_END};
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
    buf[2] = 0xDD;
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
    uint8_t frame[PLAIN_FRAME] = {FRAME_START, 0xAA, 0xAA, 0x00, 0xAA};
    frame[3] = check_sum(&frame[2], 1);
    puts("---------------");
    devctrl_serial_write(fd, frame, sizeof(frame));
}
