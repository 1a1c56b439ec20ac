// The operation table: one numbered test per run.
#pragma once

// Operations 0 to OPERATION_COUNT - 1; any other number prints "arg err" and sends nothing.
inline constexpr int OPERATION_COUNT = 27;

// Runs operation op with the command line's argc/argv (parameter 1 is argv[2]), sending on the
// UART descriptor fd. Returns after the operation's last wait; operation 16's usage path exits
// the process, operation 18 never returns.
void run_operation(int fd, int op, int argc, char** argv);
