#include "at/caller_id.h"

#include <cstdio>
#include <ctime>

#include "at/hayes_commands.h"
#include "at/info.h"
#include "config/dial_target.h"
#include "config/subst_script.h"
#include "modem/modem_state.h"
#include "platform/countdown.h"

namespace {

// The twelve digits that dial an IPv4 address, three per byte ("192168001007").
std::string twelve_digits(const net_address& addr) {
  char digits[16];
  snprintf(digits, sizeof digits, "%03u%03u%03u%03u", addr.bytes[0], addr.bytes[1], addr.bytes[2],
           addr.bytes[3]);
  return digits;
}

// True when the dial rule's target is the address `caller` (a host name is not looked up: it
// matches no caller).
bool target_is(const dial_target& target, const net_address& caller) {
  return target.kind == TARGET_ADDRESS && target.refusal == nullptr &&
         net_same_host(target.address, caller);
}

}  // namespace

std::string caller_number(const modem_state& ms, const net_address& caller) {
  for (int i = 0; i < ms.subst_count; ++i) {
    const substitution& rule = ms.subst_table[i];
    // A rule with an empty pattern takes every number: it has none of its own to show.
    if (rule.type != SUBST_DIAL || rule.pattern.empty()) continue;
    if (target_is(rule.target, caller)) return rule.pattern;
  }
  if (caller.family == NET_IPV4) return twelve_digits(caller);
  return addr_text(caller);
}

void caller_id_after_ring(modem_state& ms, const net_address& caller, std::string_view cert_name,
                          const timeval& wall) {
  const modem_settings& s = ms.settings;
  if (!compat_enabled(ms) || s.stat_quiet != 0 || (s.caller_id == 0 && s.clip == 0)) return;
  std::string number = caller_number(ms, caller);
  if (s.caller_id != 0 && ms.ring_count == 1) {
    tm local{};
    local_calendar_time(wall, local);
    char when[48];
    snprintf(when, sizeof when, "DATE = %02d%02d\nTIME = %02d%02d\n", local.tm_mon + 1,
             local.tm_mday, local.tm_hour, local.tm_min);
    std::string block = when + ("NMBR = " + number);
    if (!cert_name.empty()) block += "\nNAME = " + std::string(cert_name);
    send_info_text(ms, block);
  }
  if (s.clip != 0) send_info_text(ms, "+CLIP: \"" + number + "\",129");
}
