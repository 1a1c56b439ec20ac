// MCU codes: one 8-bit space shared by commands and replies. A reply carries the code of the
// command it answers; the codes marked "report" come only from the MCU.
#pragma once

#include <cstdint>

constexpr uint8_t CODE_LDROM_UPGRADER = 0x10;      // start the boot-loader upgrader (LDROM)
constexpr uint8_t CODE_SYSTICK = 0x20;             // the MCU's tick counter
constexpr uint8_t CODE_FCT_TEST = 0x30;            // the factory-test result
constexpr uint8_t CODE_WORK_MODE = 0x31;           // application or boot loader
constexpr uint8_t CODE_VERSION = 0x32;             // firmware version
constexpr uint8_t CODE_SW1_STATE = 0x33;           // report: switch 1 state
constexpr uint8_t CODE_PRESSTEST_EXIT_TEMP = 0x35; // leave the press test for a while
constexpr uint8_t CODE_SN_WRITE = 0x43;            // store the serial number
constexpr uint8_t CODE_SN_READ = 0x44;             // the stored serial number
constexpr uint8_t CODE_PRESSTEST_EXIT = 0x45;      // leave the press test
constexpr uint8_t CODE_PRESSTEST_RESULT = 0x46;    // the press-test result
constexpr uint8_t CODE_VOLTAGE = 0x51;             // HLW8112 voltage
constexpr uint8_t CODE_CURRENT = 0x52;             // current through relay 1
constexpr uint8_t CODE_POWER = 0x53;               // power of relay 1 (asked as "power factor")
constexpr uint8_t CODE_ENERGY = 0x54;              // energy consumed through relay 1
constexpr uint8_t CODE_HLW8112_QUERY = 0x55;       // HLW8112 query of the energy test; no reply
constexpr uint8_t CODE_ANGLE = 0x56;               // HLW8112 phase angle
constexpr uint8_t CODE_LOAD_TYPE = 0x57;           // inductive or capacitive load
constexpr uint8_t CODE_POWER_REPORT = 0x58;        // report: power, printed as 0x53
constexpr uint8_t CODE_PWM_SET = 0x68;             // set the PWM duty
constexpr uint8_t CODE_PWM_DUTY = 0x69;            // the present PWM duty
constexpr uint8_t CODE_PWM_TARGET_DUTY = 0x6A;     // the target PWM duty
constexpr uint8_t CODE_BT_PREPARE = 0x71;          // Bluetooth factory-test preparation
constexpr uint8_t CODE_BT_NAME = 0x72;             // the Bluetooth module's name
constexpr uint8_t CODE_TEMP_HUMIDITY = 0x74;       // temperature and humidity
constexpr uint8_t CODE_IR_TEST = 0x75;             // report: infrared self-test
constexpr uint8_t CODE_PWR_TO_LOAD = 0x81;         // power-to-load test
constexpr uint8_t CODE_PWR_LOAD_SHORT = 0x82;      // load short-circuit test
constexpr uint8_t CODE_RS485_SEND = 0x90;          // send a text on the RS485 port
constexpr uint8_t CODE_RS485_RECEIVE = 0x91;       // report: text received on the RS485 port
constexpr uint8_t CODE_RS485_SETTINGS = 0x92;      // RS485 baud rate, data width, stop bits, parity
constexpr uint8_t CODE_RELAY_CONTROL = 0x93;       // switch one relay
constexpr uint8_t CODE_RELAY_GET = 0x94;           // one relay's state
constexpr uint8_t CODE_RELAY_TIME = 0x95;          // one relay's on-time
constexpr uint8_t CODE_RELAY_NTC = 0x96;           // relay NTC reading
constexpr uint8_t CODE_MAINS_FREQUENCY = 0x97;     // mains frequency
constexpr uint8_t CODE_ZERO_CROSS = 0x98;          // zero-cross detection status
constexpr uint8_t CODE_RELAY_MULTI = 0x99;         // switch several relays
constexpr uint8_t CODE_IR_CARRIER = 0x9A;          // infrared carrier setting
constexpr uint8_t CODE_IR_SEND = 0x9B;             // send raw infrared timings
constexpr uint8_t CODE_IR_NEW_SEND = 0x9C;         // send a new-format infrared pattern
constexpr uint8_t CODE_IR_RECEIVER = 0x9D;         // infrared receiver setting
constexpr uint8_t CODE_IR_LEARNING = 0x9E;         // report: learnt infrared data, Base64
constexpr uint8_t CODE_KEY_TEST = 0xA1;            // key test
constexpr uint8_t CODE_UPGRADER_END = 0xAA;        // end the firmware upgrade
constexpr uint8_t CODE_ERASE_APROM = 0xBB;         // erase the application flash; flash status
constexpr uint8_t CODE_APROM_PACKET = 0xDD;        // one block of the application; flash status
constexpr uint8_t CODE_MCU_MODEL = 0xFE;           // the MCU's model code
