// The operations' fixed waits. The tool links the real sleeps; the command-line fuzzer links
// waits that return at once.
#pragma once

void wait_seconds(unsigned int seconds);    // one whole-second sleep
void wait_microseconds(unsigned int usecs); // one microsecond sleep
