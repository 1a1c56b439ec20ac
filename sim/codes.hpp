// The MCU's codes as the simulated firmware knows them: one byte in each command frame (after
// the length byte) and in each reply or report frame (after the head byte); a reply carries
// the code of the command it answers.
//
// This table is the simulator's own and stays independent of the tool's protocol layer on
// purpose: the simulator shares no code with the tool, so that a wrong code on either side
// shows up as a failing end-to-end case instead of agreeing with itself.
#pragma once

#include <cstdint>

namespace sim::code {

// Commands, answered by a reply of the same code unless marked "no reply".
inline constexpr std::uint8_t jump_to_ldrom = 0x10; // enter the boot loader; no reply
inline constexpr std::uint8_t systick = 0x20;       // tick counter, 32 bits
inline constexpr std::uint8_t fct_test = 0x30;      // factory-test result
inline constexpr std::uint8_t work_mode = 0x31;     // 0 boot loader, 2 application
inline constexpr std::uint8_t version = 0x32;       // firmware version
inline constexpr std::uint8_t presstest_exit_temporary = 0x35;
inline constexpr std::uint8_t sn_write = 0x43; // six bytes; no reply
inline constexpr std::uint8_t sn_read = 0x44;
inline constexpr std::uint8_t presstest_exit = 0x45;
inline constexpr std::uint8_t presstest_result = 0x46;
inline constexpr std::uint8_t voltage = 0x51; // HLW8112 floats from here to 0x56
inline constexpr std::uint8_t rly1_current = 0x52;
inline constexpr std::uint8_t rly1_power = 0x53;
inline constexpr std::uint8_t rly1_energy = 0x54;
inline constexpr std::uint8_t hlw8112_query = 0x55; // no reply
inline constexpr std::uint8_t angle = 0x56;
inline constexpr std::uint8_t load_type = 0x57;
inline constexpr std::uint8_t pwm_control = 0x68; // sets the duty; no reply
inline constexpr std::uint8_t pwm_duty = 0x69;
inline constexpr std::uint8_t pwm_target_duty = 0x6A;
inline constexpr std::uint8_t bt_prepare = 0x71; // Bluetooth init status in the head byte
inline constexpr std::uint8_t bt_name = 0x72;
inline constexpr std::uint8_t temp_humidity = 0x74;
inline constexpr std::uint8_t power_to_load_test = 0x81;
inline constexpr std::uint8_t load_short_test = 0x82;
inline constexpr std::uint8_t rs485_send = 0x90;      // looped back as an rs485_report
inline constexpr std::uint8_t rs485_usart_set = 0x92; // no reply
inline constexpr std::uint8_t relay_control = 0x93;
inline constexpr std::uint8_t relay_get = 0x94;
inline constexpr std::uint8_t relay_time = 0x95;
inline constexpr std::uint8_t ntc = 0x96;
inline constexpr std::uint8_t frequency = 0x97;
inline constexpr std::uint8_t zero_cross = 0x98;
inline constexpr std::uint8_t relay_multi_control = 0x99;
inline constexpr std::uint8_t ir_carrier_set = 0x9A;  // no reply
inline constexpr std::uint8_t ir_send = 0x9B;         // answered by an ir_test_report
inline constexpr std::uint8_t ir_new_send = 0x9C;     // answered by an ir_test_report
inline constexpr std::uint8_t ir_receiver_set = 0x9D; // answered by ir_learning_reports
inline constexpr std::uint8_t key_test = 0xA1;        // the key in the head byte
inline constexpr std::uint8_t upgrader_end = 0xAA;    // back to the application; no reply
inline constexpr std::uint8_t erase_aprom = 0xBB;
inline constexpr std::uint8_t aprom_packet = 0xDD;
inline constexpr std::uint8_t model = 0xFE;

// Reports that no command asks for.
inline constexpr std::uint8_t key_report = 0x33;
inline constexpr std::uint8_t power_report = 0x58;
inline constexpr std::uint8_t ir_test_report = 0x75;
inline constexpr std::uint8_t rs485_report = 0x91;
inline constexpr std::uint8_t ir_learning_report = 0x9E;

} // namespace sim::code
