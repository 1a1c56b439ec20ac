// The UART that joins the board to the MCU.
//
//   devctrl_serial_open   open the fixed device, raw mode, the caller's line settings
//   devctrl_serial_write  flush both queues, then one write of a whole frame
//   devctrl_serial_read   one read (at most 0.1 s), echoing each byte as "0x%x,"
//   devctrl_serial_echo   the echo alone, as the read prints it
//   serial_build_termios  the line settings that open applies, as a pure function
//
// The layer keeps no state: every call takes the descriptor that open returned.
#pragma once

#include <termios.h>

#include <cstddef>
#include <cstdint>

// The device the tool opens; a build-time constant (CMake cache variable MCU_TEST_DEVICE).
extern const char serial_device_path[];

int devctrl_serial_open(int speed, int data_bits, char parity, int stop_bits);
int devctrl_serial_write(int fd, const uint8_t* buf, size_t len);
int devctrl_serial_read(int fd, uint8_t* buf, size_t len);

void devctrl_serial_echo(const uint8_t* buf, int count);
void serial_build_termios(struct termios* tio, int speed, int data_bits, char parity,
                          int stop_bits);
