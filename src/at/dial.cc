#include "at/dial.h"

#include <cstring>
#include <string>
#include <string_view>

#include "at/hayes_commands.h"
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

// What a phone number is made of: digits, the DTMF letters and the dial modifiers of Hayes
// modems (tone, pulse, wait, pause, flash, ...), and the separators people type.
constexpr std::string_view PHONE_NUMBER_CHARACTERS = "0123456789*#+ABCDPTWR,!@;$-() ";

// With the Hayes commands on, a text after D that is not a phone number (it holds another
// letter, a dot, a colon or a bracket) is dialled as a target when it parses as one:
// ATDT192.168.1.1:23, ATDTBBS.EXAMPLE.ORG, ATD[2001:DB8::1]:23, ATDTTELNET:BBS.EXAMPLE.ORG.
bool typed_target(const modem_state& ms, std::string_view text, dial_target& target) {
  if (!compat_enabled(ms) || text.find_first_not_of(PHONE_NUMBER_CHARACTERS) == text.npos) {
    return false;
  }
  std::string problem;
  return dial_target_parse(text, target, problem) == TARGET_PARSED;
}

// The target a phone number stands for: the first dial rule whose pattern begins it (its target
// is dialled whatever else was typed), else twelve digits read as an IPv4 address. nullptr
// when there is none.
const dial_target* number_target(const modem_state& ms, const std::string& number,
                                 dial_target& typed) {
  const substitution* subst = subst_lookup(ms.subst_table, ms.subst_count, SUBST_DIAL, number);
  if (subst != nullptr) return &subst->target;
  std::string problem;
  if (number.size() != 12 || !all_digits(number) ||
      dial_target_parse(number, typed, problem) != TARGET_PARSED) {
    return nullptr;
  }
  return &typed;
}

}  // namespace

const char* dial_rule_refusal(const substitution& rule, const modem_settings& s) {
  if (!has_target(rule.target)) return "it is not a dial target";
  if (rule.target.refusal != nullptr) return rule.target.refusal;
  return tls_refusal(rule.target.tls, s);
}

int cmd_dial(modem_state& ms, char* text, bool check_only) {
  std::string_view whole(text);
  dial_target typed;
  const dial_target* target = nullptr;
  int skipped = 0;
  // A T that begins a typed target's prefix (ATDTLS:..., ATDTELNET:...) belongs to it.
  bool prefixed = whole.starts_with(DIAL_TLS_PREFIX) || whole.starts_with("TELNET:");
  if (prefixed && typed_target(ms, whole, typed)) {
    target = &typed;
  } else {
    if (text[0] == 'P' || text[0] == 'T') {
      log_msg(8, "\"%c\" option of ATD command ignored", text[0]);
      skipped = 1;
    }
    if (typed_target(ms, whole.substr(static_cast<size_t>(skipped)), typed)) target = &typed;
  }
  std::string number(text + skipped);
  int length = static_cast<int>(number.size());
  if (target == nullptr) {
    length = normalize_phone_number(number.data());
    if (length < 0) {
      log_msg(7, "phone number %s can't be normalized", number.c_str());
      return -1;
    }
    number.resize(strlen(number.c_str()));
    target = number_target(ms, number, typed);
    if (target == nullptr) {
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
    ms.peer_kind = target->peer;
    ms.peer_port = dial_target_port(*target, ms.settings);
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
