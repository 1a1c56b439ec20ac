#include "port.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {
namespace {

[[noreturn]] void fail(const std::string& what)
{
    throw PortError(what + ": " + std::strerror(errno));
}

void make_raw(int fd, bool set_speed)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        fail("tcgetattr");
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (set_speed) {
        cfsetispeed(&t, B115200);
        cfsetospeed(&t, B115200);
    }
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        fail("tcsetattr");
    }
}

void set_nonblocking(int fd)
{
    if (fcntl(fd, F_SETFL, O_NONBLOCK) != 0) {
        fail("fcntl");
    }
}

// A pseudo-terminal whose slave has been opened and closed once, so that the master reports
// POLLHUP until the tool opens the slave. Returns the master; slave_path is filled.
int open_pty(std::string& slave_path)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        fail("posix_openpt");
    }
    const char* name = ptsname(master);
    if (name == nullptr) {
        fail("ptsname");
    }
    slave_path = name;
    const int slave = open(name, O_RDWR | O_NOCTTY);
    if (slave < 0) {
        fail("open " + slave_path);
    }
    make_raw(slave, false); // no echo even before the tool sets its own mode
    ::close(slave);
    set_nonblocking(master);
    return master;
}

void publish_link(const std::string& link, const std::string& target)
{
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        errno = EEXIST;
        fail(link + " exists and is not a symlink");
    }
    const std::string tmp = link + ".tmp" + std::to_string(getpid());
    unlink(tmp.c_str());
    if (symlink(target.c_str(), tmp.c_str()) != 0) {
        fail("symlink " + tmp);
    }
    if (rename(tmp.c_str(), link.c_str()) != 0) { // replaces a stale link atomically
        unlink(tmp.c_str());
        fail("rename " + tmp + " to " + link);
    }
}

// Removes the link only while it still points at this simulator's pty.
void remove_link(const std::string& link, const std::string& target)
{
    char buf[4096];
    const ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    if (n > 0 && std::string(buf, static_cast<std::size_t>(n)) == target) {
        unlink(link.c_str());
    }
}

int open_device(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        fail("open " + path);
    }
    make_raw(fd, true);
    tcflush(fd, TCIOFLUSH);
    return fd;
}

int connect_socket(const std::string& path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() > max_socket_path()) {
        errno = ENAMETOOLONG;
        fail("cannot connect to socket " + path);
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fail("socket");
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        const int e = errno;
        ::close(fd);
        errno = e;
        fail("cannot connect to socket " + path);
    }
    set_nonblocking(fd);
    return fd;
}

// Written under a temporary name and renamed, so that a harness that sees it sees it whole.
void create_ready(const std::string& path, const std::string& port)
{
    const std::string tmp = path + ".tmp" + std::to_string(getpid());
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (f == nullptr) {
        fail("create " + tmp);
    }
    std::fprintf(f, "%s\n", port.c_str());
    if (std::fclose(f) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        fail("create " + path);
    }
}

} // namespace

std::size_t max_socket_path() { return sizeof(sockaddr_un::sun_path) - 1; }

Port::Port(PortKind kind, const std::string& path, const std::string& ready)
    : kind_(kind), path_(path), name_(path)
{
    if (!ready.empty()) {
        unlink(ready.c_str()); // a stale one from an earlier run
    }
    switch (kind) {
    case PortKind::link:
        fd_ = open_pty(name_);
        try {
            publish_link(path_, name_);
        } catch (const PortError&) {
            ::close(fd_);
            throw;
        }
        break;
    case PortKind::device:
        fd_ = open_device(path);
        break;
    case PortKind::socket:
        fd_ = connect_socket(path);
        break;
    }
    if (!ready.empty()) {
        try {
            create_ready(ready, name_);
        } catch (const PortError&) {
            close();
            throw;
        }
        ready_ = ready;
    }
}

bool Port::tool_present() const
{
    pollfd p{fd_, POLLIN, 0};
    return fd_ >= 0 && poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0;
}

void Port::close()
{
    if (fd_ < 0) {
        return;
    }
    ::close(fd_);
    fd_ = -1;
    if (kind_ == PortKind::link && !path_.empty()) {
        remove_link(path_, name_);
    }
    if (!ready_.empty()) {
        unlink(ready_.c_str());
    }
}

} // namespace sim
