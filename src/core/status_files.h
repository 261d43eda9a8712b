// The three status files (versions, configuration report, call) written on SIGUSR1. Each is
// written to a temporary file and renamed into place, so a reader never sees half a file.
#pragma once

#include "modem/modem_state.h"

void write_status_files(modem_state& ms);
