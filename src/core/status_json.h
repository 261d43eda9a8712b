// The status for programs: on SIGUSR2 the daemon writes the state of its modem and call as one
// JSON object to status.json beside the three text status files (replaced atomically, as they
// are); `orvaned --status` asks the running daemon for it and prints it.
#pragma once

#include <string>

#include "core/loop_state.h"
#include "modem/modem_state.h"
#include "platform/countdown.h"

// How long `orvaned --status` waits for the daemon's answer.
constexpr unsigned STATUS_WAIT_MS = 5000;

// The JSON object at `now`, with its line feed; `dte_dtr` as dte_dtr_state gives it.
std::string status_json_text(const modem_state& ms, const loop_state& ls, const clock_reading& now,
                             int dte_dtr);

// Replaces status.json in the status directory (a failure is logged at level 3).
void write_status_json(const modem_state& ms, const loop_state& ls, const clock_reading& now);

// `orvaned --status`: sends SIGUSR2 to the daemon that the pid file under `paths` names and
// prints the status.json it writes in answer on standard output. Returns 0, or 1 with the reason
// on standard error when no daemon runs, it cannot be asked or it does not answer within
// STATUS_WAIT_MS.
int print_daemon_status(const daemon_paths& paths);
