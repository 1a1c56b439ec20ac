// The port loop: waits in ppoll() for the port and the simulator's next deadline, and moves
// bytes and connects between the port and the simulator.
//
// On a link the loop watches the master for the tool's open and close, looking every
// millisecond while the port is closed. A socket that the peer closes ends the loop. With
// --close-after the port is closed when the simulator says so, and the loop then only waits
// for its signal. SIGINT, SIGTERM and SIGHUP end the loop; they are let through only while it
// waits, so no other system call is cut short.
#pragma once

#include <cstdint>

#include "port.hpp"
#include "simulator.hpp"

namespace sim {

using Clock = std::int64_t (*)(); // nanoseconds, monotonic

std::int64_t monotonic_ns();

// Takes SIGINT, SIGTERM and SIGHUP over (handled, and held back until the loop waits). Called
// before the port is set up, since its ready file tells others they may stop the simulator;
// run_port_loop() calls it again, which changes nothing.
void catch_stop_signals();

// Runs until a signal or, on a socket, the peer's close; flushes what is pending into the log
// and closes the port.
void run_port_loop(Port& port, Simulator& sim, Clock clock = monotonic_ns);

} // namespace sim
