// The simulator's end of the board's UART, of one of three kinds:
//
//   link    a pseudo-terminal whose slave is published as a symlink. The tool opens and closes
//           the port once per run, and the master shows it without the simulator holding the
//           slave open itself: poll() reports POLLHUP while no slave descriptor is open. A
//           fresh pty does not report it before its first open, so the slave is opened and
//           closed once before the link is published; from then on POLLHUP goes away at the
//           tool's open ("connect") and comes back at its close ("disconnect").
//   device  a real serial port, 115200 8N1 raw. It cannot signal connects: it counts as
//           connected from the start, for good.
//   socket  a Unix stream socket that a virtual board's UART is served on (QEMU's socket
//           character device); the simulator connects as the client. Like a serial port it
//           counts as connected from the start; when the peer closes it, the simulator ends.
//
// A readiness file, if asked for, is created once the port is up and removed when it closes.
#pragma once

#include <stdexcept>
#include <string>

namespace sim {

enum class PortKind { link, device, socket };

// A system call failed; the text names the call or the path and the system's reason.
struct PortError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The longest path a Unix socket address holds.
std::size_t max_socket_path();

class Port {
  public:
    // Opens the port and creates the readiness file (none if ready is empty); throws PortError.
    Port(PortKind kind, const std::string& path, const std::string& ready);
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;
    ~Port() { close(); }

    PortKind kind() const { return kind_; }
    int fd() const { return fd_; }
    bool is_open() const { return fd_ >= 0; }
    // What the port is known as: the pty's slave for a link, the path otherwise.
    const std::string& name() const { return name_; }
    // A link knows when the tool opens and closes it; the other kinds are connected for good.
    bool signals_connects() const { return kind_ == PortKind::link; }
    // For a link: the tool holds the slave open (the master reports no hang-up).
    bool tool_present() const;
    // Closes the port, removes the link and the readiness file; nothing if already closed.
    void close();

  private:
    PortKind kind_;
    int fd_ = -1;
    std::string path_; // the link, device or socket path
    std::string name_;
    std::string ready_;
};

} // namespace sim
