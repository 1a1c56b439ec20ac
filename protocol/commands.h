// One builder per MCU command. Each builds one command frame in a local buffer, prints its
// trace line (if any) and sends it with one devctrl_serial_write; none returns a result.
#pragma once

#include <cstdint>

// Commands without parameters: AA 03 code code BB (codes in protocol/codes.h).
void mcu_jump_to_ldrom_upgrader(int fd);
void mcu_systick_get(int fd);
void mcu_fct_test(int fd); // prints "get:" and the frame bytes
void mcu_get_work_mode(int fd);
void mcu_get_version(int fd);
void mcu_presstest_exit_temporary(int fd);
void mcu_sn_no_read(int fd);
void mcu_presstest_exit(int fd);
void mcu_presstest_relust_get(int fd);
void mcu_voltage_get(int fd);
void mcu_rly1_current_get(int fd);
void mcu_rly1_power_factor_get(int fd);
void mcu_rly1_electric_consume_get(int fd);
void mcu_hlw8112_get_angle(int fd);
void mcu_hlw8112_get_load_type(int fd);
void mcu_PWM_duty_get(int fd);
void mcu_PWM_target_duty_get(int fd);
void fct_bt_preapear(int fd); // prints "get:" and the frame bytes
void fct_bt_get_name(int fd); // prints "get:" and the frame bytes
void mcu_temp_humidity_get(int fd);
void mcu_pwr_to_load_test(int fd);    // prints its name
void mcu_pwr_load_short_test(int fd); // prints its name
void mcu_relay_read_ntc(int fd);
void mcu_relay_read_frequency(int fd);
void mcu_relay_read_zero_cross_status(int fd);
void mcu_upgrader_end(int fd);
void mcu_erase_aprom(int fd);
void mcu_get_mcu_model(int fd);

// Commands with parameters.
void mcu_hlw8112_get(int fd, uint8_t code);
void mcu_sn_no_write(int fd, const uint8_t* sn);
void mcu_PWM_ctrl(int fd, int duty);
void mcu_rs485_send(int fd, const uint8_t* data, uint8_t len);
void mcu_rs485_usart_set(int fd, uint32_t baudrate, uint8_t data_width, uint8_t stop_bits,
                         uint8_t parity);
void mcu_relay_control(int fd, uint8_t relay, uint8_t value);
void mcu_relay_get(int fd, uint8_t relay);
void mcu_relay_read_time(int fd, uint8_t relay);
void mcu_relay_multi_control(int fd, uint8_t pairs_count, const uint8_t* pairs);
void mcu_ir_carrier_set(int fd, int carrier, uint8_t param);
void mcu_ir_send(int fd, const uint8_t* data, uint16_t len);
void mcu_ir_new_send(int fd, const uint8_t* data, uint16_t len);
void mcu_ir_receiver_set(int fd, int setting);
void mcu_key_test(int fd, int key);
void mcu_send_aprom_packet(int fd, const uint8_t* data, int size, uint8_t header);
void mcu_soft_test(int fd);
