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

// Reads the first twelve characters of `digits` as four groups of three decimal digits, the
// first group being the first octet. Refuses fewer than twelve digits, a group above 255 and
// the address 0.0.0.0, none of which can be connected to. Returns the address in host order,
// or 0 when refused, with the reason in *refusal.
uint32_t dial_address(std::string_view digits, const char** refusal) {
  *refusal = "fewer than twelve digits";
  if (digits.size() < 12) return 0;
  uint32_t address = 0;
  for (size_t group = 0; group < 4; ++group) {
    uint32_t octet = 0;
    for (size_t i = group * 3; i < group * 3 + 3; ++i) {
      if (!is_digit(digits[i])) return 0;
      octet = octet * 10 + static_cast<uint32_t>(digits[i] - '0');
    }
    if (octet > 255) {
      *refusal = "a group of three digits is above 255";
      return 0;
    }
    address = address << 8 | octet;
  }
  *refusal = address == 0 ? "it stands for 0.0.0.0" : nullptr;
  return address;
}

bool all_digits(std::string_view text) {
  for (char c : text) {
    if (!is_digit(c)) return false;
  }
  return true;
}

// Where a dial rule's replacement, or a typed number of twelve digits, sends the call (an address
// in `to`, or a host name in `name` with the port in to.port; `tls` for an encrypted call), or
// why it cannot be dialled. A text that is not a target (only a rule set up by hand can hold
// one) is refused as the digits it begins with are.
const char* dial_refusal(std::string_view text, net_address& to, std::string_view& name,
                         bool& tls) {
  dial_target target;
  std::string problem;
  dial_target_parsed parsed = dial_target_parse(text, target, problem);
  const char* refusal = "it is not a dial target";
  if (parsed == TARGET_NO_FORM) dial_address(text, &refusal);
  if (parsed != TARGET_PARSED) return refusal;
  tls = target.tls;
  switch (target.kind) {
    case TARGET_DIGITS: {
      uint32_t address = dial_address(target.host, &refusal);
      if (address == 0) return refusal;
      to = net_ipv4(address);
      break;
    }
    case TARGET_ADDRESS:
      if (target.address == net_address{.family = target.address.family}) {
        return target.address.family == NET_IPV6 ? "it stands for ::" : "it stands for 0.0.0.0";
      }
      to = target.address;
      break;
    case TARGET_NAME:
      name = target.host;
      break;
  }
  to.port = target.port;
  return nullptr;
}

// Why the settings refuse a call of this kind, or nullptr.
const char* tls_refusal(bool tls, const modem_settings& s) {
  if (tls && s.tls_cert.empty())
    return "MOD_ORVANE_TLS_CERT is not set, which an encrypted call needs";
  if (!tls && s.tls_only == 1) return "MOD_ORVANE_TLS_ONLY is 1, which refuses plain calls";
  return nullptr;
}

}  // namespace

const char* dial_digits_refusal(std::string_view digits) {
  net_address to;
  std::string_view name;
  bool tls = false;
  return dial_refusal(digits, to, name, tls);
}

const char* dial_rule_refusal(std::string_view replacement, const modem_settings& s) {
  net_address to;
  std::string_view name;
  bool tls = false;
  const char* refusal = dial_refusal(replacement, to, name, tls);
  return refusal != nullptr ? refusal : tls_refusal(tls, s);
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
  // Only a substitution's pattern has to match the start of the number: its replacement
  // supplies the target whatever else was typed.
  std::string_view digits = number;
  if (subst != nullptr) {
    digits = subst->replacement;
  } else if (number.size() != 12 || !all_digits(number)) {
    log_msg(7, "bad format of phone number");
    return -1;
  }
  net_address to;
  std::string_view name;
  bool tls = false;
  if (dial_refusal(digits, to, name, tls) != nullptr) {
    log_msg(7, "bad format of phone number");
    return -1;
  }
  if (const char* refusal = tls_refusal(tls, ms.settings)) {
    log_msg(7, "can't dial %s: %s", number.c_str(), refusal);
    return -1;
  }
  if (!net_address_empty(ms.peer_addr) || ms.peer_name[0] != '\0') {
    log_msg(7, "can't initiate connection to %s", number.c_str());
    return -1;
  }
  if (!check_only) {
    if (name.empty()) {
      ms.peer_addr = to;
    } else {
      // The parser bounds a name to DIAL_NAME_MAX characters, which the field holds.
      name.copy(ms.peer_name.data(), DIAL_NAME_MAX);
      ms.peer_name[name.size()] = '\0';
      ms.peer_name_port = to.port;
    }
    ms.peer_tls = tls;
    ms.pending_action = ACTION_DIAL;
  }
  return skipped + length;
}
