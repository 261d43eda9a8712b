#include "at/dial.h"

#include <cstring>
#include <string>
#include <string_view>

#include "config/dial_target.h"
#include "config/settings.h"
#include "config/subst_script.h"
#include "config/text_rules.h"
#include "modem/modem_state.h"
#include "platform/log.h"

namespace {

bool all_digits(std::string_view text) {
  for (char c : text) {
    if (!is_digit(c)) return false;
  }
  return true;
}

// Why the settings refuse a call of this kind, or nullptr.
const char* tls_refusal(bool tls, const modem_settings& s) {
  if (tls && s.tls_cert.empty())
    return "MOD_ORVANE_TLS_CERT is not set, which an encrypted call needs";
  if (!tls && s.tls_only == 1) return "MOD_ORVANE_TLS_ONLY is 1, which refuses plain calls";
  return nullptr;
}

// A rule's target: parsed when the rule was loaded; a rule set up without one (only by hand)
// has none to dial.
bool has_target(const dial_target& t) {
  if (t.refusal != nullptr) return true;
  return t.kind == TARGET_NAME ? !t.name.empty() : !net_address_empty(t.address);
}

}  // namespace

const char* dial_rule_refusal(const substitution& rule, const modem_settings& s) {
  if (!has_target(rule.target)) return "it is not a dial target";
  if (rule.target.refusal != nullptr) return rule.target.refusal;
  return tls_refusal(rule.target.tls, s);
}

int cmd_dial(modem_state& ms, char* text, bool check_only) {
  int skipped = 0;
  if (text[0] == 'P' || text[0] == 'T') {
    log_msg(8, "\"%c\" option of ATD command ignored", text[0]);
    skipped = 1;
  }
  std::string number(text + skipped);
  int length = normalize_phone_number(number.data());
  if (length < 0) {
    log_msg(7, "phone number %s can't be normalized", number.c_str());
    return -1;
  }
  number.resize(strlen(number.c_str()));

  const substitution* subst = subst_lookup(ms.subst_table, ms.subst_count, SUBST_DIAL, number);
  // Only a substitution's pattern has to match the start of the number: its target is dialled
  // whatever else was typed.
  dial_target typed;
  const dial_target* target = &typed;
  if (subst != nullptr) {
    target = &subst->target;
  } else {
    std::string problem;
    if (number.size() != 12 || !all_digits(number) ||
        dial_target_parse(number, typed, problem) != TARGET_PARSED) {
      log_msg(7, "bad format of phone number");
      return -1;
    }
  }
  if (!has_target(*target) || target->refusal != nullptr) {
    log_msg(7, "bad format of phone number");
    return -1;
  }
  if (const char* refusal = tls_refusal(target->tls, ms.settings)) {
    log_msg(7, "can't dial %s: %s", number.c_str(), refusal);
    return -1;
  }
  if (!net_address_empty(ms.peer_addr) || ms.peer_name[0] != '\0') {
    log_msg(7, "can't initiate connection to %s", number.c_str());
    return -1;
  }
  if (!check_only) {
    ms.peer_tls = target->tls;
    ms.peer_port = target->port != 0 ? target->port : dial_default_port(ms.settings, target->tls);
    if (target->kind == TARGET_ADDRESS) {
      ms.peer_addr = target->address;
      ms.peer_addr.port = ms.peer_port;
    } else {
      // The parser bounds a name to DIAL_NAME_MAX characters, which the field holds.
      size_t n = target->name.copy(ms.peer_name.data(), DIAL_NAME_MAX);
      ms.peer_name[n] = '\0';
    }
    ms.dialled = number;
    ms.pending_action = ACTION_DIAL;
  }
  return skipped + length;
}
