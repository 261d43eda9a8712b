#include "at/interpreter.h"

#include <cstring>

#include "at/dial.h"
#include "at/handlers.h"
#include "at/hayes_commands.h"
#include "at/info.h"
#include "at/result_codes.h"
#include "at/sreg_table.h"
#include "config/text_rules.h"
#include "modem/modem_state.h"
#include "platform/log.h"

namespace {

// Table order is match order.
constexpr at_command at_commands[] = {
    {.own_result = true, .name = "A", .handler = cmd_answer},
    {.own_result = true, .needs_param = true, .ends_line = true, .name = "D", .handler = cmd_dial},
    {.name = "E", .handler = cmd_echo},
    {.own_result = true, .name = "H", .handler = cmd_hangup},
    {.needs_param = true, .name = "I", .handler = cmd_info},
    {.own_result = true, .name = "O", .handler = cmd_online},
    {.name = "Q", .handler = cmd_quiet},
    {.needs_param = true, .name = "S", .handler = cmd_sreg},
    {.name = "V", .handler = cmd_verbose},
    {.name = "Z", .handler = cmd_reset},
    {.needs_param = true, .name = "&D", .handler = cmd_dtr_action},
    {.needs_param = true, .name = "&K", .handler = cmd_flow_control},
    {.name = "&V", .handler = cmd_report},
    {.name = "&W", .handler = cmd_store},
};

// The daemon's own commands first, then those of Hayes modems when they are on.
const at_command* find_command(const modem_state& ms, const char* text) {
  for (const at_command& cmd : at_commands) {
    if (strncmp(text, cmd.name.data(), cmd.name.size()) == 0) return &cmd;
  }
  return find_compat_command(ms, text);
}

// One walk over the commands after "AT". Returns false when the line is to be rejected.
bool run_pass(modem_state& ms, char* text, bool check_only, bool& any_own_result) {
  char* pos = text;
  while (*pos != '\0') {
    const at_command* cmd = find_command(ms, pos);
    if (cmd == nullptr) return false;
    char* param = pos + cmd->name.size();
    if (cmd->needs_param && *param == '\0') {
      log_msg(7, "command (%.*s) requires parameter", static_cast<int>(cmd->name.size()),
              cmd->name.data());
      return false;
    }
    int used = cmd->handler(ms, param, check_only);
    if (used < 0) return false;
    pos = param + used;
    if (cmd->ends_line && *pos != '\0') {
      log_msg(7, "unexpected command line sequence (\"%s\")", pos);
      return false;
    }
    if (cmd->own_result) any_own_result = true;
  }
  return true;
}

void reject_line(modem_state& ms) { send_code(ms, RESULT_ERROR); }

}  // namespace

void process_command_line(modem_state& ms) {
  char* line = ms.cmd_line.data();
  // The editor keeps the line terminated; this keeps a caller that fills the buffer itself safe.
  line[CMD_LINE_MAX] = '\0';
  log_msg(8, "raw atc: \"%s\"", line);
  strip_blanks_upper(line);
  if (strchr(line, '/') != nullptr) {
    if (strcmp(line, "A/") != 0 || ms.last_cmd[0] == '\0') {
      reject_line(ms);
      return;
    }
    log_msg(8, "reused atc: \"%s\"", ms.last_cmd.data());
    ms.cmd_line = ms.last_cmd;
  }
  if (strncmp(line, "AT", 2) != 0) {
    reject_line(ms);
    return;
  }
  // Stored before validation, so that A/ repeats a rejected line too.
  ms.last_cmd = ms.cmd_line;

  // Every command is validated before any executes; a line is executed whole or not at all.
  bool any_own_result = false;
  bool accepted = true;
  for (bool check_only : {true, false}) {
    if (accepted && !run_pass(ms, line + 2, check_only, any_own_result)) accepted = false;
  }
  // What the first pass read for the second (ATZ's settings) is not kept beyond the line.
  ms.staged_reset.reset();
  if (!accepted) {
    reject_line(ms);
  } else if (!any_own_result) {
    send_code(ms, RESULT_OK);
  }
}
