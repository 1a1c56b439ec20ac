// Helpers shared by the simulator's tests.
#pragma once

#include <string>

#include "script.hpp"

namespace sim::test {

// "AA 03 32 32 BB" -> bytes, read as a script step reads its raw bytes.
inline Bytes bytes(const std::string& text)
{
    return text.empty() ? Bytes{} : parse_step("0 " + text).bytes;
}

} // namespace sim::test
