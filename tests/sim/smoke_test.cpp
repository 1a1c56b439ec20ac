// Starts mcu_sim on a pseudo-terminal link in a temporary directory and talks to it the way
// the tool does: open the link, raw 115200 8N1 with VMIN 0 and VTIME 1, one write per frame,
// reads of at most four bytes, close.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "frame.hpp"
#include "sim_test_util.hpp"

namespace sim {
namespace {

using test::bytes;
using Clock = std::chrono::steady_clock;

bool wait_until(const std::function<bool()>& done, int timeout_ms)
{
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (Clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        out.push_back(line);
    }
    return out;
}

class SimSmoke : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/mcu_sim_smoke.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }

    void TearDown() override
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (const char* f : {"/ttyMCU", "/sim.log", "/sim.out"}) {
            unlink((dir_ + f).c_str());
        }
        rmdir(dir_.c_str());
    }

    void start(std::vector<std::string> extra = {})
    {
        std::vector<std::string> args{MCU_SIM_PATH, "--link", "ttyMCU", "--log", "sim.log"};
        args.insert(args.end(), extra.begin(), extra.end());
        pid_ = fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            if (chdir(dir_.c_str()) != 0) {
                _exit(126);
            }
            const int out = open("sim.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(out, 2);
            std::vector<char*> argv;
            argv.reserve(args.size() + 1);
            for (auto& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        struct stat st {};
        ASSERT_TRUE(wait_until([&] { return lstat(link().c_str(), &st) == 0; }, 5000))
            << "no link; simulator said: " << read_file(dir_ + "/sim.out");
    }

    // Stops the simulator with SIGTERM; returns its wait status.
    int stop()
    {
        kill(pid_, SIGTERM);
        int status = -1;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

    std::string link() const { return dir_ + "/ttyMCU"; }
    std::string log() const { return read_file(dir_ + "/sim.log"); }

    // Opens the link like the tool's serial layer.
    int open_port()
    {
        const int fd = open(link().c_str(), O_RDWR | O_NOCTTY);
        EXPECT_GE(fd, 0);
        termios t{};
        EXPECT_EQ(tcgetattr(fd, &t), 0);
        t = termios{};
        t.c_cflag = CLOCAL | CREAD | CS8;
        cfsetispeed(&t, B115200);
        cfsetospeed(&t, B115200);
        t.c_cc[VTIME] = 1;
        t.c_cc[VMIN] = 0;
        tcflush(fd, TCIFLUSH);
        EXPECT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
        tcflush(fd, TCIOFLUSH);
        return fd;
    }

    // Reads in pieces of at most four bytes until n bytes came or 2 s passed.
    static Bytes read_bytes(int fd, std::size_t n)
    {
        Bytes got;
        const auto end = Clock::now() + std::chrono::seconds(2);
        while (got.size() < n && Clock::now() < end) {
            std::uint8_t buf[4];
            const ssize_t r = read(fd, buf, sizeof buf);
            if (r > 0) {
                got.insert(got.end(), buf, buf + r);
            }
        }
        return got;
    }

    bool log_has(const std::string& word, std::size_t count)
    {
        return wait_until(
            [&] {
                std::size_t k = 0;
                for (const auto& l : lines_of(log())) {
                    k += l.ends_with(" " + word) ? 1 : 0;
                }
                return k >= count;
            },
            2000);
    }

    std::string dir_;
    pid_t pid_ = -1;
};

TEST_F(SimSmoke, AnswersTheVersionQueryOnEveryConnection)
{
    start();
    for (int run = 1; run <= 2; ++run) {
        const int fd = open_port();
        const Bytes query = bytes("AA 03 32 32 BB");
        ASSERT_EQ(write(fd, query.data(), query.size()), 5);
        EXPECT_EQ(hex(read_bytes(fd, 7)), "AA 05 00 32 07 39 BB") << "run " << run;
        close(fd);
        ASSERT_TRUE(log_has("disconnect", static_cast<std::size_t>(run)));
    }
    const int status = stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    struct stat st {};
    EXPECT_NE(lstat(link().c_str(), &st), 0) << "link left behind";

    const auto lines = lines_of(log());
    ASSERT_EQ(lines.size(), 6u) << log();
    const std::regex connect("[0-9]+ connect");
    const std::regex frame("[0-9]+ AA 03 32 32 BB");
    const std::regex disconnect("[0-9]+ disconnect");
    for (std::size_t i = 0; i < 6; i += 3) {
        EXPECT_TRUE(std::regex_match(lines[i], connect)) << lines[i];
        EXPECT_TRUE(std::regex_match(lines[i + 1], frame)) << lines[i + 1];
        EXPECT_TRUE(std::regex_match(lines[i + 2], disconnect)) << lines[i + 2];
    }
}

TEST_F(SimSmoke, ReportsAfterConnectAndLoopsBackRs485)
{
    start({"--report", "key=1@30"});
    const int fd = open_port();
    EXPECT_EQ(hex(read_bytes(fd, 7)), "AA 05 00 33 01 34 BB");

    // The tool's RS485 send: the frame with "12", then zero bytes up to 133 bytes.
    Bytes block = bytes("AA 05 90 31 32 F3 BB");
    block.resize(133, 0);
    ASSERT_EQ(write(fd, block.data(), block.size()), 133);
    EXPECT_EQ(hex(read_bytes(fd, 14)), hex(bytes("AA 0C 00 91 52 65 63 65 69 76 65 00 54 BB")));
    close(fd);
    ASSERT_TRUE(log_has("disconnect", 1));
    EXPECT_EQ(stop(), 0);

    const auto lines = lines_of(log());
    ASSERT_EQ(lines.size(), 4u) << log();
    EXPECT_TRUE(lines[1].ends_with(" AA 05 90 31 32 F3 BB")) << lines[1];
    std::string zeros;
    for (int i = 0; i < 126; ++i) {
        zeros += " 00";
    }
    EXPECT_TRUE(lines[2].ends_with(zeros + " noise")) << lines[2];
    EXPECT_FALSE(lines[2].ends_with(" 00" + zeros + " noise")) << "more than 126 zero bytes";
}

} // namespace
} // namespace sim
