// The UART layer: the line settings it builds, opening through the ttyUNIT link (a pseudo
// terminal here), the byte echo of reads, and the flush before every write.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <string>

#include "serial/serial_port.h"
#include "support.h"

namespace {

using unit::Bytes;
using unit::capture_stdout;

struct TermiosCase {
    const char* name;
    int speed;
    int data_bits;
    char parity;
    int stop_bits;
    speed_t speed_code;
    tcflag_t size;
    tcflag_t parity_bits;
    tcflag_t stop;
    tcflag_t iflag;
};

class SerialTermios : public testing::TestWithParam<TermiosCase> {};

TEST_P(SerialTermios, EveryFieldFromScratch)
{
    const TermiosCase& c = GetParam();
    termios tio;
    memset(&tio, 0xA5, sizeof tio); // whatever the record held before must not show through
    serial_build_termios(&tio, c.speed, c.data_bits, c.parity, c.stop_bits);

    EXPECT_EQ(tio.c_iflag, c.iflag);
    EXPECT_EQ(tio.c_oflag, 0u);
    EXPECT_EQ(tio.c_lflag, 0u);
    EXPECT_EQ(tio.c_line, 0);
    EXPECT_EQ(tio.c_cflag & ~static_cast<tcflag_t>(CBAUD | CBAUDEX),
              static_cast<tcflag_t>(CLOCAL | CREAD) | c.size | c.parity_bits | c.stop);
    EXPECT_EQ(tio.c_cflag & static_cast<tcflag_t>(CBAUD | CBAUDEX), c.speed_code);
    EXPECT_EQ(cfgetispeed(&tio), c.speed_code);
    EXPECT_EQ(cfgetospeed(&tio), c.speed_code);
    for (int i = 0; i < NCCS; ++i) {
        EXPECT_EQ(tio.c_cc[i], i == VTIME ? 1 : 0) << "c_cc[" << i << "]";
    }
}

constexpr tcflag_t none = 0;

INSTANTIATE_TEST_SUITE_P(
    Speeds, SerialTermios,
    testing::Values(TermiosCase{"s460800", 460800, 8, 'N', 1, B460800, CS8, none, none, none},
                    TermiosCase{"s115200", 115200, 8, 'N', 1, B115200, CS8, none, none, none},
                    TermiosCase{"s57600", 57600, 8, 'N', 1, B57600, CS8, none, none, none},
                    TermiosCase{"s9600", 9600, 8, 'N', 1, B9600, CS8, none, none, none},
                    TermiosCase{"s4800", 4800, 8, 'N', 1, B4800, CS8, none, none, none},
                    TermiosCase{"s2400", 2400, 8, 'N', 1, B2400, CS8, none, none, none},
                    TermiosCase{"s19200", 19200, 8, 'N', 1, B9600, CS8, none, none, none},
                    TermiosCase{"s38400", 38400, 8, 'N', 1, B9600, CS8, none, none, none},
                    TermiosCase{"s230400", 230400, 8, 'N', 1, B9600, CS8, none, none, none},
                    TermiosCase{"s115201", 115201, 8, 'N', 1, B9600, CS8, none, none, none},
                    TermiosCase{"s0", 0, 8, 'N', 1, B9600, CS8, none, none, none},
                    TermiosCase{"sMinus1", -1, 8, 'N', 1, B9600, CS8, none, none, none},
                    TermiosCase{"sIntMin", INT_MIN, 8, 'N', 1, B9600, CS8, none, none, none}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    DataBits, SerialTermios,
    testing::Values(TermiosCase{"d7", 115200, 7, 'N', 1, B115200, CS7, none, none, none},
                    TermiosCase{"d8", 115200, 8, 'N', 1, B115200, CS8, none, none, none},
                    TermiosCase{"d5", 115200, 5, 'N', 1, B115200, CS5, none, none, none},
                    TermiosCase{"d6", 115200, 6, 'N', 1, B115200, CS5, none, none, none},
                    TermiosCase{"d9", 115200, 9, 'N', 1, B115200, CS5, none, none, none},
                    TermiosCase{"d0", 115200, 0, 'N', 1, B115200, CS5, none, none, none}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Parity, SerialTermios,
    testing::Values(
        TermiosCase{"odd", 115200, 8, 'O', 1, B115200, CS8, PARENB | PARODD, none, INPCK},
        TermiosCase{"even", 115200, 8, 'E', 1, B115200, CS8, PARENB, none, INPCK},
        TermiosCase{"none", 115200, 8, 'N', 1, B115200, CS8, none, none, none},
        TermiosCase{"odd7", 115200, 7, 'O', 1, B115200, CS7, PARENB | PARODD, none, INPCK},
        TermiosCase{"even7", 115200, 7, 'E', 1, B115200, CS7, PARENB, none, INPCK},
        TermiosCase{"oddCs5", 115200, 6, 'O', 1, B115200, CS5, PARENB | PARODD, none, INPCK},
        TermiosCase{"lowerO", 115200, 8, 'o', 1, B115200, CS8, none, none, none},
        TermiosCase{"lowerE", 115200, 8, 'e', 1, B115200, CS8, none, none, none},
        TermiosCase{"nul", 115200, 8, '\0', 1, B115200, CS8, none, none, none},
        TermiosCase{"other", 115200, 8, 'X', 1, B115200, CS8, none, none, none}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    StopBits, SerialTermios,
    testing::Values(TermiosCase{"stop1", 115200, 8, 'N', 1, B115200, CS8, none, none, none},
                    TermiosCase{"stop2", 115200, 8, 'N', 2, B115200, CS8, none, CSTOPB, none},
                    TermiosCase{"stop0", 115200, 8, 'N', 0, B115200, CS8, none, none, none},
                    TermiosCase{"stop3", 115200, 8, 'N', 3, B115200, CS8, none, none, none},
                    TermiosCase{"all", 57600, 7, 'O', 2, B57600, CS7, PARENB | PARODD, CSTOPB,
                                INPCK}),
    [](const auto& info) { return std::string(info.param.name); });

// Opening: the tests' build of the tool opens "ttyUNIT" in the working directory.
class SerialOpen : public testing::Test {
  protected:
    unit::WorkDir dir;
    unit::Pty pty;
    int fd = -1;

    void TearDown() override
    {
        if (fd >= 0) {
            close(fd);
        }
    }
    static void link_to(const std::string& target) { ASSERT_EQ(symlink(target.c_str(), "ttyUNIT"), 0); }
    std::string open_port(int speed, int data_bits, char parity, int stop_bits)
    {
        return capture_stdout(
            [&] { fd = devctrl_serial_open(speed, data_bits, parity, stop_bits); });
    }
};

TEST_F(SerialOpen, DevicePathIsTheWorkingDirectoryLink)
{
    EXPECT_STREQ(serial_device_path, "ttyUNIT");
}

TEST_F(SerialOpen, ToolSettingsReachThePort)
{
    link_to(pty.slave_path());
    EXPECT_EQ(open_port(115200, 8, 'N', 1), "");
    ASSERT_GE(fd, 0);

    const int flags = fcntl(fd, F_GETFL);
    EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
    EXPECT_EQ(flags & O_NONBLOCK, 0);

    termios tio{};
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    EXPECT_EQ(tio.c_iflag, 0u);
    EXPECT_EQ(tio.c_oflag, 0u);
    EXPECT_EQ(tio.c_lflag, 0u);
    EXPECT_EQ(tio.c_line, 0);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    const tcflag_t set = CLOCAL | CREAD;
    EXPECT_EQ(tio.c_cflag & set, set);
    const tcflag_t clear = PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL;
    EXPECT_EQ(tio.c_cflag & clear, 0u);
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    for (int i = 0; i < NCCS; ++i) {
        EXPECT_EQ(tio.c_cc[i], i == VTIME ? 1 : 0) << "c_cc[" << i << "]";
    }
}

// A pseudo terminal forces 8 bits without parity in c_cflag; what it keeps is checked here.
TEST_F(SerialOpen, OtherSettingsReachThePort)
{
    link_to(pty.slave_path());
    EXPECT_EQ(open_port(2400, 7, 'E', 2), "");
    ASSERT_GE(fd, 0);

    termios tio{};
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    EXPECT_EQ(tio.c_iflag, static_cast<tcflag_t>(INPCK));
    EXPECT_EQ(tio.c_cflag & CSTOPB, static_cast<tcflag_t>(CSTOPB));
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B2400));
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B2400));
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 1);
}

TEST_F(SerialOpen, MissingDevice)
{
    const int before = unit::lowest_free_fd();
    EXPECT_EQ(open_port(115200, 8, 'N', 1), "open ttyUNIT err.\n");
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(unit::lowest_free_fd(), before);
}

TEST_F(SerialOpen, DanglingLink)
{
    link_to(dir.path() + "/nothing-here");
    EXPECT_EQ(open_port(115200, 8, 'N', 1), "open ttyUNIT err.\n");
    EXPECT_EQ(fd, -1);
}

TEST_F(SerialOpen, NoTerminalIsClosedAgain)
{
    const int file = open("plain", O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(file, 0);
    close(file);
    link_to("plain");

    const int before = unit::lowest_free_fd();
    EXPECT_EQ(open_port(115200, 8, 'N', 1), "tcgetattr err.\n");
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(unit::lowest_free_fd(), before) << "the descriptor of the file was left open";
}

// Reading and writing on an open port.
class SerialIo : public SerialOpen {
  protected:
    void SetUp() override
    {
        link_to(pty.slave_path());
        ASSERT_EQ(open_port(115200, 8, 'N', 1), "");
        ASSERT_GE(fd, 0);
    }
    std::string read_port(size_t len, int& result, uint8_t* buf)
    {
        return capture_stdout([&] { result = devctrl_serial_read(fd, buf, len); });
    }
};

TEST_F(SerialIo, ReadEchoesEveryByteItReturns)
{
    pty.send({0xAA, 0x03, 0x32, 0x32, 0xBB});
    ASSERT_TRUE(unit::wait_input(fd, 5));

    uint8_t buf[8] = {};
    int result = 0;
    EXPECT_EQ(read_port(4, result, buf), "0xaa,0x3,0x32,0x32,");
    EXPECT_EQ(result, 4);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{0xAA, 0x03, 0x32, 0x32}));
    EXPECT_EQ(buf[4], 0) << "read past the length asked for";

    EXPECT_EQ(read_port(4, result, buf), "0xbb,");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(buf[0], 0xBB);
}

TEST_F(SerialIo, SilentPortReturnsZeroAfterTheTimer)
{
    uint8_t buf[4] = {};
    int result = -2;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(read_port(4, result, buf), "");
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result, 0);
    EXPECT_GE(waited, std::chrono::milliseconds(50)) << "the read did not wait for the 0.1 s timer";
}

TEST_F(SerialIo, FailedReadPrintsNothing)
{
    uint8_t buf[4] = {};
    int result = 0;
    EXPECT_EQ(capture_stdout([&] { result = devctrl_serial_read(-1, buf, 4); }), "");
    EXPECT_EQ(result, -1);
}

TEST_F(SerialIo, WriteSendsTheWholeFrame)
{
    const uint8_t frame[] = {0xAA, 0x03, 0x32, 0x32, 0xBB};
    int result = 0;
    EXPECT_EQ(capture_stdout([&] { result = devctrl_serial_write(fd, frame, sizeof frame); }), "");
    EXPECT_EQ(result, 5);
    EXPECT_EQ(pty.receive(5), Bytes(frame, frame + 5));
}

TEST_F(SerialIo, WriteDropsWhatTheOtherEndSentBefore)
{
    pty.send({0x11, 0x22, 0x33});
    ASSERT_TRUE(unit::wait_input(fd, 3));

    const uint8_t frame[] = {0xAA, 0x03, 0x31, 0x31, 0xBB};
    EXPECT_EQ(capture_stdout([&] { devctrl_serial_write(fd, frame, sizeof frame); }), "");
    EXPECT_EQ(pty.receive(5), Bytes(frame, frame + 5));

    uint8_t buf[4] = {};
    int result = -2;
    EXPECT_EQ(read_port(4, result, buf), "");
    EXPECT_EQ(result, 0) << "bytes received before the write survived it";
}

TEST_F(SerialIo, WriteOfNothingIsReported)
{
    const uint8_t frame[] = {0xAA};
    int result = -2;
    EXPECT_EQ(capture_stdout([&] { result = devctrl_serial_write(fd, frame, 0); }),
              "serial write data err.\n");
    EXPECT_EQ(result, 0);
}

TEST_F(SerialIo, FailedWriteIsReported)
{
    const uint8_t frame[] = {0xAA, 0x03, 0x32, 0x32, 0xBB};
    int result = 0;
    EXPECT_EQ(capture_stdout([&] { result = devctrl_serial_write(-1, frame, sizeof frame); }),
              "serial write data err.\n");
    EXPECT_EQ(result, -1);
}

TEST(SerialEcho, FormatPerByte)
{
    const uint8_t bytes[] = {0x00, 0x0F, 0x10, 0xFF};
    EXPECT_EQ(capture_stdout([&] { devctrl_serial_echo(bytes, 4); }), "0x0,0xf,0x10,0xff,");
    EXPECT_EQ(capture_stdout([&] { devctrl_serial_echo(bytes, 0); }), "");
}

} // namespace
