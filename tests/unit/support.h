// Helpers of the unit tests: standard output capture, a pipe that collects what a builder
// writes, a pseudo terminal standing in for the UART, a scratch working directory, and slot
// buffers that sit right next to an inaccessible page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace unit {

using Bytes = std::vector<uint8_t>;

// Runs fn with file descriptor 1 redirected to a temporary file; returns what it printed.
std::string capture_stdout(const std::function<void()>& fn);

// What a command builder printed and what it wrote to its descriptor (the write end of a pipe).
struct Sent {
    std::string printed;
    Bytes bytes;
};
Sent run_builder(const std::function<void(int fd)>& builder);

// Frame bytes followed by zero bytes up to size.
Bytes padded(Bytes frame, size_t size);

// A pseudo terminal: the tests write the MCU's side on master; the tool opens the slave.
class Pty {
  public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int master() const { return master_; }
    const std::string& slave_path() const { return slave_path_; }
    void send(const Bytes& bytes) const;
    // Reads from master until count bytes came or 2 s passed.
    Bytes receive(size_t count) const;

  private:
    int master_ = -1;
    std::string slave_path_;
};

// Waits (at most 2 s) until the terminal fd has count bytes waiting to be read.
bool wait_input(int fd, int count);

// A fresh mkdtemp directory that is the working directory while the object lives.
class WorkDir {
  public:
    WorkDir();
    ~WorkDir();
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;

    const std::string& path() const { return path_; }

  private:
    std::string path_;
    std::string previous_;
};

// The lowest descriptor number that open() would hand out now.
int lowest_free_fd();

// size bytes that touch an inaccessible page: at_end places them right before it (reading
// past the last byte faults), otherwise right after one (reading before the first faults).
class GuardedBytes {
  public:
    GuardedBytes(size_t size, bool at_end);
    ~GuardedBytes();
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;

    uint8_t* data() const { return data_; }

  private:
    uint8_t* base_ = nullptr;
    size_t mapped_ = 0;
    uint8_t* data_ = nullptr;
};

} // namespace unit
