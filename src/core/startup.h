// Start-up and orderly shutdown of the daemon.
#pragma once

#include "core/loop_state.h"
#include "modem/modem_state.h"

// The command line, answered before anything is opened: --help prints the usage on standard
// output and --version `version`, both then give status 0; --status prints the running daemon's
// status (core/status_json.h) and gives 0, or 1 when there is none; anything else prints a line
// naming the argument refused and the usage on standard error, and gives status 2. Returns -1
// without arguments: the daemon is to run.
int answer_command_line(int argc, char** argv, const char* version);

// Runs the daemon: start-up, the event loop, shutdown. Returns the exit status (0); a start-up
// failure ends the process through fatal_exit with status 1.
int daemon_main(int argc, char** argv);

// Logs "terminated" (level 5), removes the pid file if this process wrote it and it still names
// this process, exits with 1.
[[noreturn]] void fatal_exit(const modem_state& ms);

// Signal handler: SIGUSR1 sets status_request; any other signal is kept in term_signal unless
// one is already recorded.
void handle_signal(int signo);

// The record that handle_signal writes to.
void set_signal_target(modem_state* ms);

// Installs handle_signal for SIGINT, SIGTERM, SIGQUIT and SIGUSR1, in this order, and ignores
// SIGPIPE (a send to a reset connection is then an error, not the end of the process).
void install_signal_handlers();
