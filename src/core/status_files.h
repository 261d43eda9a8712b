// The three status files (versions, configuration report, call) written on SIGUSR1. Each is
// built in memory, written to a temporary file, synced and renamed into place, so a reader
// never sees half a file and a failed write leaves the old one.
#pragma once

#include "modem/modem_state.h"

void write_status_files(modem_state& ms);
