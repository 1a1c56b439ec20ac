// Helpers of the unit tests: standard output capture, and a pipe that collects what a
// builder writes.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace unit {

using Bytes = std::vector<uint8_t>;

// Runs fn with file descriptor 1 redirected (gtest's capture flushes stdio on both sides);
// returns what it printed.
inline std::string capture_stdout(const std::function<void()>& fn)
{
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
}

// What a command builder printed and what it wrote to its descriptor (a pipe).
struct Sent {
    std::string printed;
    Bytes bytes;
};

inline Sent run_builder(const std::function<void(int fd)>& builder)
{
    int ends[2] = {-1, -1};
    if (pipe(ends) != 0) {
        ADD_FAILURE() << "pipe failed";
        return {};
    }
    Sent sent;
    sent.printed = capture_stdout([&] { builder(ends[1]); });
    close(ends[1]);
    uint8_t chunk[1024];
    ssize_t got = 0;
    while ((got = read(ends[0], chunk, sizeof chunk)) > 0) {
        sent.bytes.insert(sent.bytes.end(), chunk, chunk + got);
    }
    close(ends[0]);
    return sent;
}

} // namespace unit
