#include "serial/serial_port.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

speed_t speed_code(int speed)
{
    switch (speed) {
    case 460800:
        return B460800;
    case 115200:
        return B115200;
    case 57600:
        return B57600;
    case 9600:
        return B9600;
    case 4800:
        return B4800;
    case 2400:
        return B2400;
    default:
        return B9600; // every other rate, 19200 and 38400 included
    }
}

} // namespace

void serial_build_termios(struct termios* tio, int speed, int data_bits, char parity, int stop_bits)
{
    memset(tio, 0, sizeof(*tio));
    tio->c_cflag |= CLOCAL | CREAD;
    tio->c_cflag &= ~CSIZE;

    if (data_bits == 7) {
        tio->c_cflag |= CS7;
    } else if (data_bits == 8) {
        tio->c_cflag |= CS8;
    } // any other count leaves the size field at CS5

    // The character size follows data_bits alone, also with parity, and a parity mode also
    // checks the parity of what it receives (INPCK). Upper case only: anything else is no parity.
    if (parity == 'O') {
        tio->c_cflag |= PARENB | PARODD;
        tio->c_iflag |= INPCK;
    } else if (parity == 'E') {
        tio->c_cflag |= PARENB;
        tio->c_cflag &= ~PARODD;
        tio->c_iflag |= INPCK;
    } else if (parity == 'N') {
        tio->c_cflag &= ~PARENB;
    }

    const speed_t code = speed_code(speed);
    cfsetispeed(tio, code);
    cfsetospeed(tio, code);

    if (stop_bits == 1) {
        tio->c_cflag &= ~CSTOPB;
    } else if (stop_bits == 2) {
        tio->c_cflag |= CSTOPB;
    }

    // Non-canonical: a read returns what is there, or 0 after 0.1 s of silence.
    tio->c_cc[VTIME] = 1;
    tio->c_cc[VMIN] = 0;
}

int devctrl_serial_open(int speed, int data_bits, char parity, int stop_bits)
{
    const int fd = open(serial_device_path, O_RDWR | O_NOCTTY);
    if (fd == -1) {
        printf("open %s err.\n", serial_device_path);
        return -1;
    }

    struct termios old_tio {};
    if (tcgetattr(fd, &old_tio) != 0) {
        puts("tcgetattr err.");
        close(fd);
        return -1;
    }

    struct termios new_tio {};
    serial_build_termios(&new_tio, speed, data_bits, parity, stop_bits);

    tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, &new_tio) != 0) {
        puts("com set err.");
        close(fd);
        return -1;
    }
    tcflush(fd, TCIOFLUSH);
    return fd;
}

int devctrl_serial_write(int fd, const uint8_t* buf, size_t len)
{
    // Both queues go first: unread reply bytes and any unsent rest of the last command.
    tcflush(fd, TCIOFLUSH);
    const int ret = static_cast<int>(write(fd, buf, len));
    if (ret <= 0) {
        puts("serial write data err.");
    }
    return ret;
}

void devctrl_serial_echo(const uint8_t* buf, int count)
{
    // Each byte exactly as printf("0x%x,") prints it, formatted here and handed to stdio in
    // one call per piece: the echo is the receiver's hottest output.
    static const char HEX[] = "0123456789abcdef";
    char text[16 * 5];
    size_t len = 0;
    for (int i = 0; i < count; i++) {
        const uint8_t b = buf[i];
        text[len++] = '0';
        text[len++] = 'x';
        if (b >= 0x10) {
            text[len++] = HEX[b >> 4];
        }
        text[len++] = HEX[b & 0x0F];
        text[len++] = ',';
        if (len > sizeof(text) - 5 || i == count - 1) {
            fwrite(text, 1, len, stdout);
            len = 0;
        }
    }
}

int devctrl_serial_read(int fd, uint8_t* buf, size_t len)
{
    const int ret = static_cast<int>(read(fd, buf, len));
    if (ret > 0) {
        devctrl_serial_echo(buf, ret);
    }
    return ret;
}
