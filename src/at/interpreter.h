// The command line interpreter: normalises a finished line, handles A/, requires "AT" and runs
// the commands in two passes (validate all, then execute all) against the command table.
#pragma once

#include <string_view>

struct modem_state;

// Handler contract: `text` is the rest of the line after the command name (writable; may be
// changed temporarily if restored). Returns the characters consumed, or < 0 when invalid. With
// check_only it changes no state and writes nothing.
using at_handler = int (*)(modem_state& ms, char* text, bool check_only);

struct at_command {
  bool own_result = false;   // the result code comes later from call control
  bool needs_param = false;  // at least one character must follow the name
  bool ends_line = false;    // nothing may follow what the handler consumed
  std::string_view name;
  at_handler handler = nullptr;
};

// Interprets ms.cmd_line (as typed); updates last_cmd, writes replies and the final result.
void process_command_line(modem_state& ms);
