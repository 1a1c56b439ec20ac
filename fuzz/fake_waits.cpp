// The operations' fixed waits, returning at once: the fuzz targets run an operation per input.
#include "driver/waits.h"

void wait_seconds(unsigned int /*seconds*/) {}

void wait_microseconds(unsigned int /*usecs*/) {}
