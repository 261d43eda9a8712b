#include "at/hayes_commands.h"

#include <sys/ioctl.h>

#include <cstdint>

#include "at/extended_commands.h"
#include "at/handlers.h"
#include "at/sreg_table.h"
#include "config/factory_settings.h"
#include "config/text_rules.h"
#include "modem/modem_lines.h"
#include "modem/modem_state.h"
#include "platform/serial_port.h"

namespace {

// The one digit of a command, '0' to `max`: returns 1 with its value, 0 with the value 0 when
// no digit follows (Hayes reads a missing digit as 0), -1 for a digit above `max`.
int digit_argument(char c, char max, uint32_t& value) {
  value = 0;
  if (!is_digit(c)) return 0;
  if (c > max) return -1;
  value = static_cast<uint32_t>(c - '0');
  return 1;
}

// A command that has nothing to change on this device (speaker, dialling, error correction,
// result code set, guard tone, ...): checked as the modem would check it, then nothing.
template <char Max>
int cmd_no_effect(modem_state&, char* text, bool) {
  uint32_t ignored = 0;
  return digit_argument(text[0], Max, ignored);
}

// Runs `change` on the settings; the port's flow control and the carrier line follow what it
// changed.
template <typename Change>
void change_settings(modem_state& ms, Change change) {
  uint32_t flow = ms.settings.flowcontrol;
  bool followed = carrier_follows_call(ms);
  change(ms.settings);
  if (ms.settings.flowcontrol != flow) apply_flow_control(ms);
  if (carrier_follows_call(ms) != followed) apply_carrier_line(ms);
}

// &C0 keeps the carrier line on, &C1 lets it follow the call.
int cmd_carrier(modem_state& ms, char* text, bool check_only) {
  uint32_t value = 0;
  int used = digit_argument(text[0], '1', value);
  if (used < 0 || check_only) return used;
  change_settings(ms, [value](modem_settings& s) { s.stat_dcd = value; });
  return used;
}

// &F: the factory profile; the call, the settings file and the daemon's other settings stay.
int cmd_factory(modem_state& ms, char* text, bool check_only) {
  uint32_t profile = 0;
  int used = digit_argument(text[0], '0', profile);
  if (used < 0 || check_only) return used;
  change_settings(ms, settings_restore_factory);
  ms.gsm = gsm_parameters{};
  recompute_timers(ms);
  return used;
}

// \Q0 none, \Q1 XON/XOFF, \Q3 RTS/CTS (indexed by the digit; 2 is not taken).
constexpr uint32_t NO_FLOW = UINT32_MAX;
constexpr uint32_t q_flow[] = {0, 4, NO_FLOW, 3};

int cmd_q_flow(modem_state& ms, char* text, bool check_only) {
  uint32_t q = 0;
  int used = digit_argument(text[0], '3', q);
  if (used < 0 || q_flow[q] == NO_FLOW) return -1;
  if (!check_only) set_flow_control(ms, q_flow[q]);
  return used;
}

// Looked up after the daemon's own commands, in table order.
constexpr at_command hayes_commands[] = {
    {.name = "B", .handler = cmd_no_effect<'1'>},
    {.name = "L", .handler = cmd_no_effect<'3'>},
    {.name = "M", .handler = cmd_no_effect<'3'>},
    {.name = "N", .handler = cmd_no_effect<'1'>},
    {.name = "W", .handler = cmd_no_effect<'2'>},
    {.name = "X", .handler = cmd_no_effect<'4'>},
    {.name = "Y", .handler = cmd_no_effect<'0'>},
    {.name = "&C", .handler = cmd_carrier},
    {.name = "&F", .handler = cmd_factory},
    {.name = "&G", .handler = cmd_no_effect<'2'>},
    {.name = "&J", .handler = cmd_no_effect<'1'>},
    {.name = "&S", .handler = cmd_no_effect<'1'>},
    {.name = "&Y", .handler = cmd_no_effect<'0'>},
    {.name = "\\N", .handler = cmd_no_effect<'7'>},
    {.name = "\\Q", .handler = cmd_q_flow},
    {.name = "%C", .handler = cmd_no_effect<'3'>},
    {.name = "+", .handler = cmd_plus},
    {.name = "#", .handler = cmd_hash},
};

}  // namespace

bool compat_enabled(const modem_state& ms) { return ms.settings.compat == 1; }

const at_command* find_compat_command(const modem_state& ms, const char* text) {
  if (!compat_enabled(ms)) return nullptr;
  for (const at_command& cmd : hayes_commands) {
    if (std::string_view(text).starts_with(cmd.name)) return &cmd;
  }
  return nullptr;
}

bool carrier_follows_call(const modem_state& ms) {
  return !compat_enabled(ms) || ms.settings.stat_dcd != 0;
}

void apply_carrier_line(modem_state& ms) {
  bool on = !carrier_follows_call(ms) || ms.call_state == CALL_CONNECTED;
  modem_lines_set(ms, TIOCM_DTR, on);
}

void set_flow_control(modem_state& ms, uint32_t flow) {
  ms.settings.flowcontrol = flow;
  apply_flow_control(ms);
}
