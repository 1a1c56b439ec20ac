// Helpers of the unit tests: standard output capture, and a pipe that collects what a
// builder writes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace unit {

using Bytes = std::vector<uint8_t>;

// Runs fn with file descriptor 1 redirected to a temporary file; returns what it printed.
std::string capture_stdout(const std::function<void()>& fn);

// What a command builder printed and what it wrote to its descriptor (a pipe).
struct Sent {
    std::string printed;
    Bytes bytes;
};
Sent run_builder(const std::function<void(int fd)>& builder);

} // namespace unit
