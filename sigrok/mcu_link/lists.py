##
## Protocol decoder for the link between the board and its MCU (mcu_test).
##
## This program is free software; you can redistribute it and/or modify
## it under the terms of the GNU General Public License as published by
## the Free Software Foundation; either version 3 of the License, or
## (at your option) any later version.
##

# The link's table: data only, so that code outside sigrok (the factory station, the tests)
# can load this file by its path.

START = 0xAA
END = 0xBB

# MCU codes: one 8-bit space shared by commands and replies. A reply carries the code of the
# command it answers; the codes marked "report" come only from the MCU.
LDROM_UPGRADER = 0x10       # start the boot-loader upgrader (LDROM)
SYSTICK = 0x20              # the MCU's tick counter
FCT_TEST = 0x30             # the factory-test result
WORK_MODE = 0x31            # application or boot loader
VERSION = 0x32              # firmware version
SW1_STATE = 0x33            # report: switch 1 state
PRESSTEST_EXIT_TEMP = 0x35  # leave the press test for a while
SN_WRITE = 0x43             # store the serial number
SN_READ = 0x44              # the stored serial number
PRESSTEST_EXIT = 0x45       # leave the press test
PRESSTEST_RESULT = 0x46     # the press-test result
VOLTAGE = 0x51              # HLW8112 voltage
CURRENT = 0x52              # current through relay 1
POWER = 0x53                # power of relay 1 (asked as "power factor")
ENERGY = 0x54               # energy consumed through relay 1
HLW8112_QUERY = 0x55        # HLW8112 query of the energy test; no reply
ANGLE = 0x56                # HLW8112 phase angle
LOAD_TYPE = 0x57            # inductive or capacitive load
POWER_REPORT = 0x58         # report: power, printed as POWER
PWM_SET = 0x68              # set the PWM duty
PWM_DUTY = 0x69             # the present PWM duty
PWM_TARGET_DUTY = 0x6A      # the target PWM duty
BT_PREPARE = 0x71           # Bluetooth factory-test preparation
BT_NAME = 0x72              # the Bluetooth module's name
TEMP_HUMIDITY = 0x74        # temperature and humidity
IR_TEST = 0x75              # report: infrared self-test
PWR_TO_LOAD = 0x81          # power-to-load test
PWR_LOAD_SHORT = 0x82       # load short-circuit test
RS485_SEND = 0x90           # send a text on the RS485 port
RS485_RECEIVE = 0x91        # report: text received on the RS485 port
RS485_SETTINGS = 0x92       # RS485 baud rate, data width, stop bits, parity
RELAY_CONTROL = 0x93        # switch one relay
RELAY_GET = 0x94            # one relay's state
RELAY_TIME = 0x95           # one relay's on-time
RELAY_NTC = 0x96            # relay NTC reading
MAINS_FREQUENCY = 0x97      # mains frequency
ZERO_CROSS = 0x98           # zero-cross detection status
RELAY_MULTI = 0x99          # switch several relays
IR_CARRIER = 0x9A           # infrared carrier setting
IR_SEND = 0x9B              # send raw infrared timings
IR_NEW_SEND = 0x9C          # send a new-format infrared pattern
IR_RECEIVER = 0x9D          # infrared receiver setting
IR_LEARNING = 0x9E          # report: learnt infrared data, Base64
KEY_TEST = 0xA1             # key test
UPGRADER_END = 0xAA         # end the firmware upgrade
ERASE_APROM = 0xBB          # erase the application flash; flash status
APROM_PACKET = 0xDD         # one block of the application; flash status
MCU_MODEL = 0xFE            # the MCU's model code

# The tool's builder that sends each command code.
BUILDERS = {
    LDROM_UPGRADER: 'mcu_jump_to_ldrom_upgrader',
    SYSTICK: 'mcu_systick_get',
    FCT_TEST: 'mcu_fct_test',
    WORK_MODE: 'mcu_get_work_mode',
    VERSION: 'mcu_get_version',
    PRESSTEST_EXIT_TEMP: 'mcu_presstest_exit_temporary',
    SN_WRITE: 'mcu_sn_no_write',
    SN_READ: 'mcu_sn_no_read',
    PRESSTEST_EXIT: 'mcu_presstest_exit',
    PRESSTEST_RESULT: 'mcu_presstest_relust_get',
    VOLTAGE: 'mcu_voltage_get',
    CURRENT: 'mcu_rly1_current_get',
    POWER: 'mcu_rly1_power_factor_get',
    ENERGY: 'mcu_rly1_electric_consume_get',
    HLW8112_QUERY: 'mcu_hlw8112_get',
    ANGLE: 'mcu_hlw8112_get_angle',
    LOAD_TYPE: 'mcu_hlw8112_get_load_type',
    PWM_SET: 'mcu_PWM_ctrl',
    PWM_DUTY: 'mcu_PWM_duty_get',
    PWM_TARGET_DUTY: 'mcu_PWM_target_duty_get',
    BT_PREPARE: 'fct_bt_preapear',
    BT_NAME: 'fct_bt_get_name',
    TEMP_HUMIDITY: 'mcu_temp_humidity_get',
    PWR_TO_LOAD: 'mcu_pwr_to_load_test',
    PWR_LOAD_SHORT: 'mcu_pwr_load_short_test',
    RS485_SEND: 'mcu_rs485_send',
    RS485_SETTINGS: 'mcu_rs485_usart_set',
    RELAY_CONTROL: 'mcu_relay_control',
    RELAY_GET: 'mcu_relay_get',
    RELAY_TIME: 'mcu_relay_read_time',
    RELAY_NTC: 'mcu_relay_read_ntc',
    MAINS_FREQUENCY: 'mcu_relay_read_frequency',
    ZERO_CROSS: 'mcu_relay_read_zero_cross_status',
    RELAY_MULTI: 'mcu_relay_multi_control',
    IR_CARRIER: 'mcu_ir_carrier_set',
    IR_SEND: 'mcu_ir_send',
    IR_NEW_SEND: 'mcu_ir_new_send',
    IR_RECEIVER: 'mcu_ir_receiver_set',
    KEY_TEST: 'mcu_key_test',
    UPGRADER_END: 'mcu_upgrader_end',
    ERASE_APROM: 'mcu_erase_aprom',
    APROM_PACKET: 'mcu_send_aprom_packet',
    MCU_MODEL: 'mcu_get_mcu_model',
}

# Payload bytes of each command (absent: none; None: as many as the builder is given).
COMMAND_PAYLOAD = {
    SN_WRITE: 6, PWM_SET: 1, RELAY_GET: 1, RELAY_TIME: 1, IR_RECEIVER: 1, KEY_TEST: 1,
    RS485_SETTINGS: 7, RELAY_CONTROL: 2, IR_CARRIER: 3,
    RS485_SEND: None, RELAY_MULTI: None, IR_SEND: None, IR_NEW_SEND: None, APROM_PACKET: None,
}

# The codes that the tool's receiver has a handler for, with the payload bytes the handler
# reads (None: any number).
REPLY_PAYLOAD = {
    SYSTICK: 4, FCT_TEST: 1, WORK_MODE: 1, VERSION: 1, SW1_STATE: 1, PRESSTEST_EXIT_TEMP: 0,
    PRESSTEST_EXIT: 0, SN_READ: 6, PRESSTEST_RESULT: 1, VOLTAGE: 4, CURRENT: 4, POWER: 4,
    ENERGY: 4, ANGLE: 4, LOAD_TYPE: 1, POWER_REPORT: 4, PWM_DUTY: 1, PWM_TARGET_DUTY: 1,
    BT_PREPARE: None, BT_NAME: 8, TEMP_HUMIDITY: 4, IR_TEST: 3, PWR_TO_LOAD: 3,
    PWR_LOAD_SHORT: 3, RS485_RECEIVE: None, RELAY_CONTROL: 1, RELAY_GET: 2, RELAY_TIME: 5,
    RELAY_NTC: 4, MAINS_FREQUENCY: 1, ZERO_CROSS: 1, RELAY_MULTI: 2, IR_LEARNING: None,
    KEY_TEST: None, ERASE_APROM: 1, APROM_PACKET: 1, MCU_MODEL: 1,
}
