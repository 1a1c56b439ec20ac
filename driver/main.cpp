// mcu_test: one numbered test of the board's MCU per run.
//
// Opens the UART, starts the receiver thread that prints every reply, runs the operation
// with its fixed waits, closes the UART. The exit status is 0 for every run that ends.
#include <pthread.h>
#include <unistd.h>

#include <cstdio>

#include "driver/operations.h"
#include "receiver/msg_ring.h"
#include "receiver/receiver.h"
#include "serial/serial_port.h"

// The UART descriptor, -1 until the port is open. Only this file names it: the operations get
// its value, the receiver thread its address.
int serial_fd = -1;

// The receiver thread may still wait in read() on the descriptor when it is closed; the exit
// that follows ends the thread. A function of its own names that one accepted race.
__attribute__((noinline)) static void close_uart(int fd) { close(fd); }

int main(int argc, char** argv)
{
    int op = 0;

    serial_fd = devctrl_serial_open(115200, 8, 'N', 1);
    if (serial_fd < 0) {
        return 0; // the serial layer has said why
    }
    uart_msg_init();

    // Never joined: the process exit ends the thread wherever it is.
    pthread_t receiver{};
    pthread_create(&receiver, nullptr, devctrl_rs485recv_thread, &serial_fd);

    if (argc >= 2) {
        sscanf(argv[1], "%d", &op);
    }
    printf("ops:%d \n", op);

    run_operation(serial_fd, op, argc, argv);

    close_uart(serial_fd);
    return 0;
}
