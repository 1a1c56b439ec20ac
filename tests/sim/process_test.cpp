// mcu_sim as a process on each kind of port: a Unix socket served by the test (as QEMU serves a
// virtual board's UART), and a pseudo-terminal link; the readiness file on both.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "frame.hpp"
#include "sim_test_util.hpp"

namespace sim {
namespace {

namespace fs = std::filesystem;
using test::bytes;

// Bound of every wait for the simulator; a healthy run needs a few milliseconds.
const std::chrono::milliseconds long_wait{5000};

std::string read_file(const fs::path& p)
{
    std::ifstream in(p);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A fresh directory under the build tree's temporary directory, removed at the end.
struct WorkDir {
    fs::path path;
    WorkDir()
    {
        std::string tmpl = (fs::temp_directory_path() / "mcu_sim_test.XXXXXX").string();
        path = mkdtemp(tmpl.data());
    }
    ~WorkDir() { fs::remove_all(path); }
};

// mcu_sim with its standard error in WORK/sim.err; killed at the end if still running.
class SimProcess {
  public:
    SimProcess(const fs::path& work, std::vector<std::string> args) : err_(work / "sim.err")
    {
        args.insert(args.begin(), MCU_SIM_PATH);
        pid_ = fork();
        if (pid_ == 0) {
            const int fd = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, STDERR_FILENO);
            dup2(fd, STDOUT_FILENO);
            std::vector<char*> argv;
            argv.reserve(args.size() + 1);
            for (auto& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~SimProcess()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    // The exit status, or -1 if it has not ended within the bound.
    int wait_exit(std::chrono::milliseconds bound)
    {
        const auto end = std::chrono::steady_clock::now() + bound;
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return -1;
    }
    void stop() const { kill(pid_, SIGTERM); }
    std::string err() const { return read_file(err_); }

  private:
    fs::path err_;
    pid_t pid_ = -1;
};

bool wait_for_file(const fs::path& p, std::chrono::milliseconds bound)
{
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!fs::exists(fs::symlink_status(p))) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

int listen_unix(const fs::path& p)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", p.c_str());
    EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(listen(fd, 1), 0);
    return fd;
}

// Reads until n bytes have come or the bound has passed.
Bytes read_n(int fd, std::size_t n, int bound_ms)
{
    Bytes out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(bound_ms);
    while (out.size() < n && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10) == 1) {
            std::uint8_t buf[256];
            const ssize_t got = read(fd, buf, sizeof buf);
            if (got <= 0) {
                break;
            }
            out.insert(out.end(), buf, buf + got);
        }
    }
    return out;
}

TEST(SocketPort, AnswersFramesAndEndsWhenThePeerCloses)
{
    WorkDir w;
    const fs::path sock = w.path / "uart.sock";
    const fs::path ready = w.path / "ready";
    const int listener = listen_unix(sock);
    SimProcess sim(w.path, {"--socket", sock, "--ready", ready, "--log", w.path / "sim.log",
                            "--pace", "burst", "--set", "version=9"});
    pollfd p{listener, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1) << sim.err();
    const int conn = accept(listener, nullptr, nullptr);
    ASSERT_GE(conn, 0);
    ASSERT_TRUE(wait_for_file(ready, long_wait)) << sim.err();
    EXPECT_EQ(read_file(ready), sock.string() + "\n");

    // A command in two pieces, then the next one: both answered, in order.
    const Bytes version = bytes("AA 03 32 32 BB");
    ASSERT_EQ(write(conn, version.data(), 2), 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(write(conn, version.data() + 2, 3), 3);
    EXPECT_EQ(hex(read_n(conn, 7, 2000)), "AA 05 00 32 09 3B BB");
    const Bytes model = bytes("AA 03 FE FE BB");
    ASSERT_EQ(write(conn, model.data(), model.size()), 5);
    EXPECT_EQ(hex(read_n(conn, 7, 2000)), "AA 05 00 FE 05 03 BB");

    // Half a frame, then the peer goes: logged as incomplete, exit 0, ready file gone.
    ASSERT_EQ(write(conn, version.data(), 3), 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    close(conn);
    close(listener);
    EXPECT_EQ(sim.wait_exit(long_wait), 0) << sim.err();
    EXPECT_FALSE(fs::exists(ready));
    std::istringstream log(read_file(w.path / "sim.log"));
    std::vector<std::string> rest;
    for (std::string line; std::getline(log, line);) {
        rest.push_back(line.substr(line.find(' ') + 1)); // without the time
    }
    EXPECT_EQ(rest, (std::vector<std::string>{"connect", "AA 03 32 32 BB", "AA 03 FE FE BB",
                                              "AA 03 32 incomplete", "disconnect"}));
    EXPECT_NE(sim.err().find("closed by the peer"), std::string::npos) << sim.err();
}

TEST(SocketPort, NoListenerIsAClearError)
{
    WorkDir w;
    const fs::path sock = w.path / "nobody.sock";
    SimProcess missing(w.path, {"--socket", sock, "--ready", w.path / "ready"});
    EXPECT_EQ(missing.wait_exit(long_wait), 1);
    EXPECT_NE(missing.err().find("cannot connect to socket " + sock.string()), std::string::npos)
        << missing.err();
    EXPECT_FALSE(fs::exists(w.path / "ready"));
}

// Whoever waits for the ready file may stop the simulator at once: even then it ends cleanly,
// taking its link and ready file with it (not killed by the signal half-way through its start).
// The ready file names the link's terminal, and a stale one is never taken for it.
TEST(LinkPort, StoppedTheMomentItIsReadyItStillEndsCleanly)
{
    for (int round = 0; round < 30; ++round) {
        WorkDir w;
        const fs::path link = w.path / "ttyMCU";
        const fs::path ready = w.path / "ready";
        std::ofstream(ready) << "stale\n";
        SimProcess sim(w.path, {"--link", link, "--ready", ready});
        const auto end = std::chrono::steady_clock::now() + long_wait;
        std::string text;
        while ((text = read_file(ready)).empty() || text == "stale\n") {
            ASSERT_LT(std::chrono::steady_clock::now(), end) << sim.err();
        }
        EXPECT_EQ(text, fs::read_symlink(link).string() + "\n"); // the link was there first
        sim.stop();
        ASSERT_EQ(sim.wait_exit(long_wait), 0) << "round " << round << ": " << sim.err();
        EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
        EXPECT_FALSE(fs::exists(ready));
    }
}

} // namespace
} // namespace sim
