// The UART layer: the line settings it builds, the settings of a port opened through the ttyUNIT
// link, and a failed write. (The end-to-end cases pin the open's failure lines and the echo.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "serial/serial_port.h"
#include "support.h"

using unit::capture_stdout;

TEST(SerialTermios, EveryFieldFromScratch)
{
    constexpr tcflag_t NONE = 0;
    const struct {
        int speed, data_bits;
        char parity;
        int stop_bits;
        speed_t code;
        tcflag_t cflag, iflag;
    } cases[] = {
        {115200, 8, 'N', 1, B115200, CS8, NONE},       // the tool's own call
        {19200, 8, 'N', 1, B9600, CS8, NONE},          // every rate outside the table is 9600
        {9600, 7, 'E', 1, B9600, CS7 | PARENB, INPCK}, // the size follows data_bits alone
        {9600, 8, 'O', 2, B9600, CS8 | PARENB | PARODD | CSTOPB, INPCK},
        {9600, 9, 'e', 3, B9600, CS5, NONE}, // other sizes, lower case, 3 stops: left unset
    };
    for (const auto& c : cases) {
        termios tio;
        memset(&tio, 0xA5, sizeof tio); // nothing of the old record may show through
        serial_build_termios(&tio, c.speed, c.data_bits, c.parity, c.stop_bits);
        SCOPED_TRACE(testing::Message()
                     << c.speed << " " << c.data_bits << c.parity << c.stop_bits);
        EXPECT_EQ(tio.c_iflag, c.iflag);
        EXPECT_EQ(tio.c_oflag, NONE);
        EXPECT_EQ(tio.c_lflag, NONE);
        EXPECT_EQ(tio.c_line, 0);
        EXPECT_EQ(tio.c_cflag & ~static_cast<tcflag_t>(CBAUD | CBAUDEX), CLOCAL | CREAD | c.cflag);
        EXPECT_EQ(cfgetispeed(&tio), c.code);
        EXPECT_EQ(cfgetospeed(&tio), c.code);
        for (int i = 0; i < NCCS; ++i) {
            EXPECT_EQ(tio.c_cc[i], i == VTIME ? 1 : 0) << "c_cc[" << i << "]";
        }
    }
}

class SerialOpen : public testing::Test {
  protected:
    void SetUp() override
    {
        char name[] = "/tmp/mcu_unit.XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
        std::filesystem::current_path(dir);
    }
    void TearDown() override
    {
        std::filesystem::current_path(previous);
        std::filesystem::remove_all(dir); // the ttyUNIT link with it
    }

    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::path dir;
};

TEST_F(SerialOpen, ThePortKeepsTheToolsSettings)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    ASSERT_EQ(symlink(ptsname(master), "ttyUNIT"), 0);

    const int fd = devctrl_serial_open(115200, 8, 'N', 1);
    ASSERT_GE(fd, 0);
    termios tio{};
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0U);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 1);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0); // reads wait for VTIME

    // A quiet port: the read returns 0 after the 0.1 s timer and prints nothing.
    uint8_t buf[4];
    int got = -1;
    EXPECT_EQ(capture_stdout([&] { got = devctrl_serial_read(fd, buf, sizeof buf); }), "");
    EXPECT_EQ(got, 0);
    close(fd);
    close(master);
}

TEST(SerialIo, FailedWriteIsReported)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const uint8_t byte = 0xAA;
    int ret = 1;
    EXPECT_EQ(capture_stdout([&] { ret = devctrl_serial_write(ends[1], &byte, 0); }),
              "serial write data err.\n");
    EXPECT_EQ(ret, 0);
    EXPECT_EQ(capture_stdout([&] { ret = devctrl_serial_write(-1, &byte, 1); }),
              "serial write data err.\n");
    EXPECT_EQ(ret, -1);
    close(ends[0]);
    close(ends[1]);
}
