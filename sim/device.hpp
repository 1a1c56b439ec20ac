// The simulated MCU: its state, and what it answers to each command frame.
//
//   DeviceState                every value the MCU reports, with the defaults below
//   set_state(state, "k=v")    one --set option; returns what is wrong with it, empty if nothing
//                              ("version: '256' is not a whole number from 0 to 255")
//   state_help()               the --set names, defaults and meanings, for --help
//   Device::handle(frame, ms)  acts on one command frame; returns the frames to send
//   report_*()                 the reports that no command asks for (0x33 0x58 0x75 0x91 0x9E)
//
// The MCU keeps its state across connections: a serial number written in one run of the tool
// is read back in the next, a relay stays switched, the boot loader stays entered.
#pragma once

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "frame.hpp"

namespace sim {

inline constexpr int max_relays = 32;

struct Relay {
    bool on = false;
    std::int64_t time_ms = 0; // on-time accumulated before on_since_ms
    std::int64_t on_since_ms = 0;
};

struct DeviceState {
    std::uint8_t mode = 2;    // work mode: 0 boot loader, 2 application (APROM)
    std::uint8_t version = 7; // firmware version
    std::uint8_t model = 5;   // model code
    std::uint8_t fct = 1;     // factory-test result
    std::array<std::uint8_t, 6> sn{};
    std::uint8_t presstest = 1; // press-test result
    float voltage = 23000.0F;   // the tool prints v*10 mV and v/100 V: 230 V
    float current = 1500.0F;    // mA
    float power = 310.5F;       // W (230 V x 1.5 A x cos 25.84 deg)
    float energy = 12.34F;      // kWh
    float angle = 25.84F;       // phase angle, degrees
    std::uint8_t load = 1;      // load type: 1 inductive, 0 capacitive
    std::uint8_t duty = 50;     // present PWM duty
    std::uint8_t target_duty = 50;
    std::uint8_t bt_init = 1; // Bluetooth init status, the head byte of the 0x71 reply
    std::string bt_name = "SIM-BT";
    std::uint16_t humidity = 500;
    std::uint16_t temp = 250;
    int relays = 4;                            // relays 1..relays exist
    std::array<Relay, max_relays + 1> relay{}; // index 1..max_relays
    std::uint32_t ntc = 2048;                  // raw NTC count, 10 kOhm: 25.02 degrees C
    std::uint8_t freq = 50;                    // mains frequency, Hz
    std::uint8_t zero_cross = 0;               // 0 normal, other values an error
    std::uint8_t flash = 0;                    // flash status of the erase and program replies
    std::uint8_t load_test = 1;                // pass byte of the power-to-load test (0x81)
    std::uint8_t short_test = 1;               // pass byte of the load short-circuit test (0x82)
    std::uint8_t adc_hi = 12;                  // ADC bytes of both load tests
    std::uint8_t adc_lo = 34;
    std::vector<std::uint16_t> ir_learn{9000, 4500, 560, 560, 560, 1690}; // learned timings
    std::uint8_t ir_fragment = 32;                                        // timings per 0x9E report
};

// Misbehaviour on request (--fail, --drop-tail, --ignore, --silent).
struct Faults {
    bool silent = false;   // answer nothing
    bool rs485 = false;    // loop back "Rec0ive" instead of "Receive"
    bool ir = false;       // IR test report 00 17 BA (fail)
    bool checksum = false; // every answer with its checksum byte off by one
    // Relays that do not switch: 0x93 and 0x99 are acknowledged as usual, the state stays.
    std::array<bool, max_relays + 1> stuck_relay{}; // index 1..max_relays
    std::size_t drop_tail = 0;     // cut this many bytes off the end of every answer
    std::set<std::uint8_t> ignore; // command codes that get no answer
};

// A whole number, decimal or 0x-hex, that is the whole text and at most max.
bool parse_uint(std::string_view text, std::uint64_t max, std::uint64_t& out);

std::string set_state(DeviceState& state, std::string_view assignment);
std::string state_help();

// Reports without a command.
Bytes report_key(std::uint8_t state);
Bytes report_power(float watts);
Bytes report_ir_test(std::uint32_t value); // 24 bits, most significant byte first
inline constexpr std::uint32_t ir_test_success = 0x0017BB;
inline constexpr std::uint32_t ir_test_fail = 0x0017BA;
Bytes report_rs485(std::string_view text); // the text and a zero byte
Bytes report_ir_learning(std::uint8_t total, std::uint8_t index, std::string_view base64);

std::string base64_encode(std::span<const std::uint8_t> bytes);

class Device {
  public:
    explicit Device(DeviceState state = {}, Faults faults = {});

    // A command frame with a correct checksum; now_ms counts from the simulator's start.
    // Returns the frames that the MCU sends in answer, in order (none for most commands
    // without a reply handler on the tool's side).
    std::vector<Bytes> handle(std::span<const std::uint8_t> frame, std::int64_t now_ms);

    std::int32_t relay_time(int relay, std::int64_t now_ms) const;

  private:
    bool switch_relay(int relay, std::uint8_t value, std::int64_t now_ms);
    Bytes damage(Bytes frame) const;
    std::vector<Bytes> answer(std::uint8_t code, std::span<const std::uint8_t> payload,
                              std::int64_t now_ms);

    DeviceState state_;
    Faults faults_;
};

} // namespace sim
