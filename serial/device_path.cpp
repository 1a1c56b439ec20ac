#include "serial/serial_port.h"

#ifndef MCU_TEST_DEVICE
#error "MCU_TEST_DEVICE must name the UART device"
#endif

extern const char serial_device_path[] = MCU_TEST_DEVICE;
