// The operation table: one numbered test per run.
#pragma once

// Runs operation op with the command line's argc/argv (parameter 1 is argv[2]), sending on the
// UART descriptor fd. Returns after the operation's last wait; operation 16's usage path exits
// the process, operation 18 never returns.
void run_operation(int fd, int op, int argc, char** argv);
