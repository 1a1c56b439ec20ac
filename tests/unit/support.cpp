#include "support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace unit {

std::string capture_stdout(const std::function<void()>& fn)
{
    fflush(stdout);
    FILE* sink = tmpfile();
    if (sink == nullptr) {
        ADD_FAILURE() << "tmpfile failed";
        return {};
    }
    const int saved = dup(STDOUT_FILENO);
    dup2(fileno(sink), STDOUT_FILENO);
    fn();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);

    std::string printed;
    rewind(sink);
    char chunk[4096];
    size_t got = 0;
    while ((got = fread(chunk, 1, sizeof chunk, sink)) > 0) {
        printed.append(chunk, got);
    }
    fclose(sink);
    return printed;
}

Sent run_builder(const std::function<void(int fd)>& builder)
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

Bytes padded(Bytes frame, size_t size)
{
    frame.resize(size, 0);
    return frame;
}

Pty::Pty()
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        ADD_FAILURE() << "no pseudo terminal: errno " << errno;
        return;
    }
    char name[128] = {};
    if (ptsname_r(master_, name, sizeof name) != 0) {
        ADD_FAILURE() << "ptsname_r failed";
        return;
    }
    slave_path_ = name;
}

Pty::~Pty()
{
    if (master_ >= 0) {
        close(master_);
    }
}

void Pty::send(const Bytes& bytes) const
{
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

Bytes Pty::receive(size_t count) const
{
    Bytes got;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (got.size() < count && std::chrono::steady_clock::now() < until) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) {
            continue;
        }
        uint8_t chunk[512];
        const ssize_t n = read(master_, chunk, sizeof chunk);
        if (n > 0) {
            got.insert(got.end(), chunk, chunk + n);
        }
    }
    return got;
}

bool wait_input(int fd, int count)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    int waiting = -1;
    while (std::chrono::steady_clock::now() < until) {
        if (ioctl(fd, FIONREAD, &waiting) == 0 && waiting >= count) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

WorkDir::WorkDir()
{
    char cwd[PATH_MAX] = {};
    if (getcwd(cwd, sizeof cwd) != nullptr) {
        previous_ = cwd;
    }
    char name[] = "/tmp/mcu_unit.XXXXXX";
    if (mkdtemp(name) == nullptr || chdir(name) != 0) {
        ADD_FAILURE() << "no scratch directory";
        return;
    }
    path_ = name;
}

WorkDir::~WorkDir()
{
    if (!previous_.empty() && chdir(previous_.c_str()) != 0) {
        ADD_FAILURE() << "cannot return to " << previous_;
    }
    if (!path_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
}

int lowest_free_fd()
{
    const int fd = open("/dev/null", O_RDONLY);
    close(fd);
    return fd;
}

GuardedBytes::GuardedBytes(size_t size, bool at_end)
{
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t inner = (size + page - 1) / page * page;
    mapped_ = inner + 2 * page;
    void* map = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) {
        ADD_FAILURE() << "mmap failed";
        mapped_ = 0;
        return;
    }
    base_ = static_cast<uint8_t*>(map);
    mprotect(base_, page, PROT_NONE);
    mprotect(base_ + page + inner, page, PROT_NONE);
    data_ = at_end ? base_ + page + inner - size : base_ + page;
}

GuardedBytes::~GuardedBytes()
{
    if (base_ != nullptr) {
        munmap(base_, mapped_);
    }
}

} // namespace unit
