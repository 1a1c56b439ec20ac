// mcu_sim's command line: the options, their checks and the usage text.
//
// Every option takes its value as the next word or after '=' (--delay 5, --delay=5), and may be
// shortened to any unique prefix. A bad value is an OptionError in one style, the option and
// the value and what is wrong with it: "--delay: 'x' is not a whole number of milliseconds".
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "port.hpp"
#include "simulator.hpp"

namespace sim {

struct Options {
    PortKind port = PortKind::link;
    std::string port_path;
    std::string ready; // readiness file, none if empty
    std::string log;   // log file, none if empty
    bool decode = false;
    bool realtime = false;
    bool help = false;
    Behaviour behaviour;
};

struct OptionError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The words after the program name; throws OptionError. Script files are read here.
Options parse_options(const std::vector<std::string>& args);

std::string usage_text();

} // namespace sim
