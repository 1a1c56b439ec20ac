// The operation table: one numbered test per run.
#pragma once

extern int serial_fd;

// Runs operation op with the command line's argc/argv (parameter 1 is argv[2]).
// Returns after the operation's last wait; operation 16's usage path exits the process,
// operation 18 never returns.
void run_operation(int op, int argc, char** argv);
