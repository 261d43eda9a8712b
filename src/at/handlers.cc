#include "at/handlers.h"

#include <cerrno>
#include <cstring>

#include "at/hayes_commands.h"
#include "at/sreg_table.h"
#include "config/settings.h"
#include "config/settings_check.h"
#include "config/text_rules.h"
#include "modem/modem_state.h"
#include "modem/tls_credentials.h"
#include "platform/log.h"
#include "platform/serial_port.h"

namespace {

// The shared parser of E, Q and V: "0" or "1" set the flag, no digit clears it, any other
// digit makes the command invalid.
int parse_flag_digit(char c, bool check_only, uint32_t& field) {
  if (c == '0' || c == '1') {
    if (!check_only) field = static_cast<uint32_t>(c - '0');
    return 1;
  }
  if (is_digit(c)) return -1;
  if (!check_only) field = 0;
  return 0;
}

// H and O take an optional "0" and nothing else.
int parse_optional_zero(char c) {
  if (c == '0') return 1;
  return is_digit(c) ? -1 : 0;
}

// A later command of the same read may replace a dial that has not run yet: its target goes
// with it, or every later ATD would find a call under way. (ATD itself never replaces a dial:
// it refuses while an address is set.)
int request_action(modem_state& ms, int count, bool check_only, pending_action action) {
  if (count < 0 || check_only) return count;
  if (ms.pending_action == ACTION_DIAL) {
    ms.peer_addr = net_address{};
    ms.peer_name[0] = '\0';
  }
  ms.pending_action = action;
  return count;
}

}  // namespace

int cmd_answer(modem_state& ms, char*, bool check_only) {
  return request_action(ms, 0, check_only, ACTION_ANSWER);
}

int cmd_echo(modem_state& ms, char* text, bool check_only) {
  return parse_flag_digit(text[0], check_only, ms.settings.stat_echo);
}

int cmd_hangup(modem_state& ms, char* text, bool check_only) {
  return request_action(ms, parse_optional_zero(text[0]), check_only, ACTION_HANGUP);
}

int cmd_online(modem_state& ms, char* text, bool check_only) {
  return request_action(ms, parse_optional_zero(text[0]), check_only, ACTION_ONLINE);
}

int cmd_quiet(modem_state& ms, char* text, bool check_only) {
  return parse_flag_digit(text[0], check_only, ms.settings.stat_quiet);
}

int cmd_verbose(modem_state& ms, char* text, bool check_only) {
  return parse_flag_digit(text[0], check_only, ms.settings.stat_verbosity);
}

// The digit after Z only selects a profile on real modems; there is one profile here. The file
// is read and checked in the first pass, so that one that start-up would refuse (an invalid
// allow list, serial device or flow control, a cut list, access lines that disagree, unusable
// certificates) refuses the whole line: ERROR, and nothing changes.
int cmd_reset(modem_state& ms, char* text, bool check_only) {
  int count = is_digit(text[0]) ? 1 : 0;
  if (check_only) {
    settings_checked loaded = settings_check_file(ms.paths.settings.c_str());
    if (const settings_finding* refused = settings_refusal(loaded)) {
      log_msg(3, "%s", refused->text.c_str());
      return -1;
    }
    auto staged = std::make_unique<staged_settings>();
    std::string tls_problem;
    if (!load_tls_credentials(loaded.settings, staged->tls, tls_problem)) {
      log_msg(3, "%s", tls_problem.c_str());
      return -1;
    }
    staged->settings = std::move(loaded.settings);
    staged->allowed = std::move(loaded.allowed);
    staged->tls_peers = std::move(loaded.tls_peers);
    ms.staged_reset = std::move(staged);
    return count;
  }
  if (ms.staged_reset == nullptr) return -1;  // staged by the first pass of this line
  const staged_settings& staged = *ms.staged_reset;
  ms.tls = staged.tls;
  // The port and the carrier line keep what they have unless the file says otherwise.
  bool flow_changed = staged.settings.flowcontrol != ms.settings.flowcontrol;
  bool followed = carrier_follows_call(ms);
  ms.settings = staged.settings;
  ms.allowed = staged.allowed;
  ms.tls_peers = staged.tls_peers;
  ms.gsm = gsm_parameters{};
  recompute_timers(ms);
  if (flow_changed) apply_flow_control(ms);
  if (carrier_follows_call(ms) != followed) apply_carrier_line(ms);
  return request_action(ms, count, false, ACTION_RESET);
}

int cmd_dtr_action(modem_state& ms, char* text, bool check_only) {
  char c = text[0];
  if (c == '\0') return -1;
  uint32_t value = 0;
  if (is_digit(c)) {
    if (c > '3') return -1;
    value = static_cast<uint32_t>(c - '0');
  }
  if (!check_only) ms.settings.stat_dtr_action = value;
  return 1;
}

// A file that cannot be written (or a script too long to keep whole) fails the command in the
// execution pass, so the DTE learns that the settings were not stored.
int cmd_store(modem_state& ms, char*, bool check_only) {
  if (check_only) return 0;
  return settings_save(ms.settings, ms.paths.settings.c_str()) != 0 ? 0 : -1;
}

int cmd_flow_control(modem_state& ms, char* text, bool check_only) {
  char c = text[0];
  if (!is_digit(c) || !serial_flow_valid(static_cast<uint32_t>(c - '0'))) return -1;
  if (check_only) return 1;
  ms.settings.flowcontrol = static_cast<uint32_t>(c - '0');
  apply_flow_control(ms);
  return 1;
}

void apply_flow_control(modem_state& ms) {
  uint32_t flow = ms.settings.flowcontrol;
  if (!ms.serial_fd.valid()) return;
  if (serial_set_flow(ms.serial_fd.get(), flow) != 0) {
    log_msg(3, "set flow control %u error: %s", flow, strerror(errno));
  }
}
