// Helpers shared by the simulator's tests.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>

#include "frame.hpp"

namespace sim::test {

// "AA 03 32 32 BB" -> bytes.
inline Bytes bytes(const std::string& text)
{
    Bytes out;
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
    }
    return out;
}

} // namespace sim::test
