#include "receiver/receiver.h"

#include <bit>
#include <cstdio>
#include <cstring>

#include "protocol/codes.h"
#include "protocol/frame.h"
#include "receiver/base64.h"
#include "receiver/msg_ring.h"
#include "receiver/ntc.h"
#include "serial/serial_port.h"

// The last FCT result (CODE_FCT_TEST); -1 until one arrives. Printed by operation 10.
std::atomic<int32_t> g_fct_test{-1};
// The RS485 loopback counters of operation 17, which zeroes both before it sends:
// poe_test[0] counts the texts matched ("Receive" in a CODE_RS485_RECEIVE report, counted here);
// poe_test[1] counts the texts sent (counted by the operation; this thread never touches it).
std::atomic<int32_t> poe_test[2] = {0, 0};

namespace {

// The last values reported, kept for this thread alone: nothing else in the tool reads them.
int32_t g_mcu_model = 0;       // model code (CODE_MCU_MODEL)
uint8_t g_flash_ops_state = 0; // last flash status (CODE_ERASE_APROM, CODE_APROM_PACKET)

constexpr auto RELAXED = std::memory_order_relaxed;
constexpr uint32_t READ_BUFFER = 1024;
constexpr int READ_PIECE = 4;
constexpr size_t BT_NAME = 8;

// Reply values arrive least significant byte first; built from single bytes on every target.
uint32_t le_u32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

float le_float(const uint8_t* p) { return std::bit_cast<float>(le_u32(p)); }

const char* pass_fail(uint8_t v) { return v != 0 ? "pass" : "fail"; }

void on_power_load(const char* test, const uint8_t* d)
{
    printf("%s:%s\n", test, pass_fail(d[2]));
    printf("ADC val:0x%02d%02d\n", d[3], d[4]);
}

// RS485 loopback report: the payload in hex, then the text compared with "Receive".
void on_rs485_receive(const uint8_t* d, uint32_t len)
{
    printf("rs485 receive result len:%d \n", static_cast<int>(len));
    for (int i = 0; i < static_cast<int>(len) - 4; i++) {
        printf("%3x", d[2 + i]);
    }
    putchar('\n');
    // Equal to strcmp with "Receive" (the text ends at its first zero byte), but reads only
    // the eight bytes that decide it, so never past the slot.
    static const char expected[] = "Receive";
    if (memcmp(&d[2], expected, sizeof(expected)) == 0) {
        poe_test[0].fetch_add(1, RELAXED);
    } else {
        puts("s1 != s2");
    }
}

// Infrared learning report: d2 and d3, then Base64 text up to the checksum byte. A frame too
// short to hold any text decodes an empty one.
void on_ir_learning(const uint8_t* d, uint32_t len, uint8_t* ir_decode)
{
    const uint32_t text_len = len >= 6 ? len - 6 : 0;
    const uint16_t n = static_cast<uint16_t>(base64_decode(&d[4], text_len, ir_decode));
    printf("%d/%d byte_len: %d\n", d[3], d[2], n);
    for (size_t i = 0; i < n / 2U; i++) {
        printf("%d ", ir_decode[2 * i] | (ir_decode[2 * i + 1] << 8));
    }
    putchar('\n');
}

// A reply frame's body d, as every handler reads it (len is its length byte L):
//   d[0]        head byte, the MCU's own; printed for CODE_BT_PREPARE and CODE_KEY_TEST only
//   d[1]        event id: the code that the dispatch switches on
//   d[2..L-3]   payload, per event
//   d[L-2]      checksum byte, d[L-1] end byte (never looked at)
// Handlers do not check L: past the body the slot holds zeros (or noise the assembler left).
void dispatch(const uint8_t* d, uint32_t len, uint8_t* ir_decode)
{
    const uint8_t event = d[1];
    switch (event) {
    case CODE_SYSTICK:
        printf("Systick time:%u ms\n", le_u32(&d[2]));
        break;
    case CODE_FCT_TEST:
        g_fct_test.store(d[2], RELAXED);
        printf("g_fct_test:%d \n", d[2]);
        break;
    case CODE_WORK_MODE:
        printf("mcu work %s.\n", d[2] != 0 ? "aprom" : "bootloader");
        break;
    case CODE_VERSION:
        printf("ver:%d \n", d[2]);
        break;
    case CODE_SW1_STATE:
        printf("sw1 state :%d \n", d[2]);
        break;
    case CODE_PRESSTEST_EXIT_TEMP:
    case CODE_PRESSTEST_EXIT:
        printf("presstest exit %s\n", event == CODE_PRESSTEST_EXIT_TEMP ? "temporary" : "set");
        break;
    case CODE_SN_READ:
        printf("sn: %4x%4x%4x%4x%4x%4x.\n", d[2], d[3], d[4], d[5], d[6], d[7]);
        break;
    case CODE_PRESSTEST_RESULT:
        printf("presstest result:%d \n", d[2]);
        break;
    case CODE_VOLTAGE: {
        const float v = le_float(&d[2]);
        const float millivolts = v * 10.0F;
        const float volts = v / 100.0F;
        printf("---A vol %f mv = %f V.\n", static_cast<double>(millivolts),
               static_cast<double>(volts));
        break;
    }
    case CODE_CURRENT:
        printf("---A cur %f mA.\n", static_cast<double>(le_float(&d[2])));
        break;
    case CODE_POWER:
    case CODE_POWER_REPORT:
        printf("---A Pa %f W.\n", static_cast<double>(le_float(&d[2])));
        break;
    case CODE_ENERGY:
        printf("---A Ea %f KWh.\n", static_cast<double>(le_float(&d[2])));
        break;
    case CODE_ANGLE:
        printf("---A Angle %f.\n", static_cast<double>(le_float(&d[2])));
        break;
    case CODE_LOAD_TYPE:
        printf("---A Load Type:%d=%s.\n", d[2], d[2] != 0 ? "Indctive" : "Capacitive");
        break;
    case CODE_PWM_DUTY:
        printf("duty %d\n", d[2]);
        break;
    case CODE_PWM_TARGET_DUTY:
        printf("target duty %d\n", d[2]);
        break;
    case CODE_BT_PREPARE:
        printf("bt int:%d \n", d[0]);
        break;
    case CODE_BT_NAME: {
        char name[BT_NAME + 1];
        memcpy(name, &d[2], BT_NAME);
        name[BT_NAME] = '\0';
        printf("gbtname:%s \n", name);
        break;
    }
    case CODE_TEMP_HUMIDITY:
        printf("humidity:%d, temp:%d \n", d[2] * 256 + d[3], d[4] * 256 + d[5]);
        break;
    case CODE_IR_TEST: {
        const uint32_t v =
            (static_cast<uint32_t>(d[2]) << 16) | (static_cast<uint32_t>(d[3]) << 8) | d[4];
        printf("ir test:%s\n", v == 0x17BB ? "success" : "fail");
        break;
    }
    case CODE_PWR_TO_LOAD:
        on_power_load("Power Load test", d);
        break;
    case CODE_PWR_LOAD_SHORT:
        on_power_load("Short Circuit test", d);
        break;
    case CODE_RS485_RECEIVE:
        on_rs485_receive(d, len);
        break;
    case CODE_RELAY_CONTROL:
        printf("Relay Control:%d\n", d[2]);
        break;
    case CODE_RELAY_GET:
        printf("Relay%d Read:%d\n", d[2], d[3]);
        break;
    case CODE_RELAY_TIME:
        printf("Relay%d Time:%ld\n", d[2], static_cast<long>(static_cast<int32_t>(le_u32(&d[3]))));
        break;
    case CODE_RELAY_NTC:
        printf("NTC_Temp:%0.2f°C\n", static_cast<double>(temp_fitting(le_u32(&d[2]))));
        break;
    case CODE_MAINS_FREQUENCY:
        printf("Main Frequency:%d Hz\n", d[2]);
        break;
    case CODE_ZERO_CROSS:
        printf("Zero-cross detection status:%s\n", d[2] == 0 ? "normal" : "err");
        break;
    case CODE_RELAY_MULTI:
        printf("Relay Multi-Control:set=%d and success=%d\n", d[2], d[3]);
        break;
    case CODE_IR_LEARNING:
        on_ir_learning(d, len, ir_decode);
        break;
    case CODE_KEY_TEST:
        printf("key set %x\n", d[0]);
        break;
    case CODE_ERASE_APROM:
        g_flash_ops_state = d[2];
        printf("APP_FLASH_ERASE g_flash_ops_state:%d \n", g_flash_ops_state);
        break;
    case CODE_APROM_PACKET:
        g_flash_ops_state = d[2];
        printf("APP_FLASH_PROGRAM g_flash_ops_state:%d \n", g_flash_ops_state);
        break;
    case CODE_MCU_MODEL:
        g_mcu_model = d[2];
        printf("mcu type 0x%2x.\n", static_cast<unsigned int>(g_mcu_model));
        break;
    default:
        break; // no handler: the event line is all the operator sees
    }
}

} // namespace

void receiver_handle_frame(const uint8_t* data, uint32_t length, uint8_t* ir_decode)
{
    // A length byte of 1 leaves no room for a checksum byte: the frame is dropped unseen.
    if (length < 2) {
        return;
    }
    const uint8_t sum = check_sum(data, static_cast<uint8_t>(length - 2));
    const uint8_t received = data[length - 2];
    printf("checksum:%x == %x \n", static_cast<unsigned int>(sum),
           static_cast<unsigned int>(received));
    if (sum != received) {
        return;
    }
    printf("event id:%x\n", static_cast<unsigned int>(data[1]));
    dispatch(data, length, ir_decode);
}

void receiver_take_piece(const uint8_t* piece, int32_t count, uint8_t* ir_decode)
{
    devctrl_uart_msg_deal(piece, count);
    // One frame per piece; a second complete one waits for the next read.
    const msg_slot* frame = msg_ring_oldest();
    if (frame == nullptr) {
        return;
    }
    receiver_handle_frame(frame->data, frame->length, ir_decode);
    msg_ring_release();
}

void* devctrl_rs485recv_thread(void* arg)
{
    const int fd = *static_cast<const int*>(arg);
    uint8_t buf[READ_BUFFER] = {};
    uint8_t ir_decode[IR_DECODE_SIZE] = {};
    for (;;) {
        const int count = devctrl_serial_read(fd, buf, READ_PIECE);
        if (count > 0) {
            receiver_take_piece(buf, count, ir_decode);
        }
    }
    return nullptr;
}
