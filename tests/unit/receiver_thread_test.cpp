// The receiver thread itself, in a child process (it never returns) that reads the pseudo
// terminal through the ttyUNIT link: the echo of every byte, then the lines of each frame.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>

#include "receiver/msg_ring.h"
#include "receiver/receiver.h"
#include "serial/serial_port.h"
#include "support.h"

namespace {

class ReceiverThread : public testing::Test {
  protected:
    unit::WorkDir dir;
    unit::Pty pty;
    int output = -1;
    pid_t child = -1;

    void SetUp() override
    {
        ASSERT_EQ(symlink(pty.slave_path().c_str(), "ttyUNIT"), 0);
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        fflush(stdout);
        child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            dup2(ends[1], STDOUT_FILENO);
            close(ends[0]);
            close(ends[1]);
            setvbuf(stdout, nullptr, _IONBF, 0);
            int fd = devctrl_serial_open(115200, 8, 'N', 1);
            if (fd < 0) {
                _exit(1);
            }
            uart_msg_init();
            printf("ready\n");
            devctrl_rs485recv_thread(&fd);
            _exit(2);
        }
        close(ends[1]);
        output = ends[0];
        ASSERT_EQ(read_until("ready\n"), "ready\n");
    }
    void TearDown() override
    {
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        if (output >= 0) {
            close(output);
        }
    }
    // What the child printed until its output ends with tail (or the limit passed).
    std::string read_until(const std::string& tail,
                           std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) const
    {
        std::string got;
        const auto until = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < until &&
               (got.size() < tail.size() ||
                got.compare(got.size() - tail.size(), tail.size(), tail) != 0)) {
            pollfd p{output, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) {
                continue;
            }
            char chunk[256];
            const ssize_t n = read(output, chunk, sizeof chunk);
            if (n <= 0) {
                break;
            }
            got.append(chunk, static_cast<size_t>(n));
        }
        return got;
    }
};

TEST_F(ReceiverThread, VersionReplyInTwoPieces)
{
    pty.send({0xAA, 0x05, 0x00, 0x32});
    usleep(250000);
    pty.send({0x07, 0x39, 0xBB});
    EXPECT_EQ(read_until("ver:7 \n"),
              "0xaa,0x5,0x0,0x32,0x7,0x39,0xbb,checksum:39 == 39 \nevent id:32\nver:7 \n");
}

TEST_F(ReceiverThread, FramesOneAfterAnother)
{
    pty.send({0xAA, 0x05, 0x00, 0x32, 0x07, 0x38, 0xBB});
    EXPECT_EQ(read_until("checksum:39 == 38 \n"),
              "0xaa,0x5,0x0,0x32,0x7,0x38,0xbb,checksum:39 == 38 \n");
    pty.send({0xAA, 0x04, 0x00, 0x55, 0x55, 0xBB});
    EXPECT_EQ(read_until("event id:55\n"),
              "0xaa,0x4,0x0,0x55,0x55,0xbb,checksum:55 == 55 \nevent id:55\n");
    pty.send({0xAA, 0x04, 0x03, 0xA1, 0xA4, 0xBB});
    EXPECT_EQ(read_until("key set 3\n"),
              "0xaa,0x4,0x3,0xa1,0xa4,0xbb,checksum:a4 == a4 \nevent id:a1\nkey set 3\n");
    // Nothing more comes while the line is quiet (several read timeouts).
    EXPECT_EQ(read_until("never printed", std::chrono::milliseconds(500)), "");
}

} // namespace
