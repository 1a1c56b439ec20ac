// Timed sends after each connect: the --script file and the --report options.
//
// Script file, one step per line, '#' starts a comment, blank lines are ignored:
//   <ms> <hex bytes...>              raw bytes, exactly as given
//   <ms> frame <code> [hex bytes...] a reply frame: head byte 0, correct checksum
//   <ms> report <name> [values...]   a report that no command asks for:
//        key <state>                 0x33, d2 = state (the key SW1 state)
//        power <watts>               0x58, float
//        ir success|fail|<number>    0x75, 24-bit value (success = 00 17 BB, fail = 00 17 BA)
//        rs485 [text]                0x91, the text and a zero byte (default Receive)
//        learn <total> <index> <base64>  0x9E, IR learning fragment
// <ms> counts from the moment the tool opens the port; steps run in time order.
//
// --report NAME=V1,V2,...@MS is the step "<MS> report NAME V1 V2 ...".
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "frame.hpp"

namespace sim {

struct Step {
    std::int64_t ms;
    Bytes bytes;
};

struct ScriptError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Parses the script text; throws ScriptError naming the line. Steps come out sorted by time,
// steps of the same time in file order.
std::vector<Step> parse_script(std::string_view text);

// One script line without the comment handling; throws ScriptError.
Step parse_step(std::string_view line);

// "key=1@500" -> "500 report key 1"; throws ScriptError.
std::string report_option_line(std::string_view option);

Bytes build_report(const std::vector<std::string>& words); // words[0] is the name

std::string script_help();

} // namespace sim
