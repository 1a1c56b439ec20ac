// A readable line for each thing the tool sent, for --decode:
//   decode(cut)   "mcu_relay_control relay=1 value=1", "mcu_get_version",
//                 "noise 73 bytes (zero padding)", "... bad checksum (sum 95, byte 96)"
// Command names are those of the tool's builders.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "frame.hpp"

namespace sim {

// The builder that sends this code; "mcu_hlw8112_get" for codes that only it sends, and
// empty for codes the tool has no builder for.
std::string_view command_name(std::uint8_t code);

std::string decode(const Cut& cut);

} // namespace sim
