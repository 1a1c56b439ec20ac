#include "driver/waits.h"

#include <unistd.h>

void wait_seconds(unsigned int seconds) { sleep(seconds); }

void wait_microseconds(unsigned int usecs) { usleep(usecs); }
