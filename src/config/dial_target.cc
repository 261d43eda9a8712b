#include "config/dial_target.h"

#include "config/text_rules.h"

namespace {

constexpr bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

size_t leading_digits(std::string_view text) {
  size_t n = 0;
  while (n < text.size() && is_digit(text[n])) ++n;
  return n;
}

// Reads the first twelve characters of `digits` as four groups of three decimal digits, the
// first group being the first octet. Refuses a group above 255 and the address 0.0.0.0, neither
// of which can be connected to.
void twelve_digits(std::string_view digits, dial_target& target) {
  uint32_t address = 0;
  for (size_t group = 0; group < 4; ++group) {
    uint32_t octet = 0;
    for (size_t i = group * 3; i < group * 3 + 3; ++i) {
      octet = octet * 10 + static_cast<uint32_t>(digits[i] - '0');
    }
    if (octet > 255) {
      target.refusal = "a group of three digits is above 255";
      return;
    }
    address = address << 8 | octet;
  }
  if (address == 0) target.refusal = "it stands for 0.0.0.0";
  target.address = net_ipv4(address);
}

// head, part and tail in one text, built by appending (a sum starting from a literal makes
// GCC 12's ARM compilers warn of an overlapping copy that cannot happen).
std::string words(const char* head, std::string_view part, const char* tail) {
  std::string out(head);
  out.append(part);
  out.append(tail);
  return out;
}

// `text` is what follows the host: empty, or ":" and a port of 1 to 65535.
bool take_port(std::string_view text, dial_target& target, std::string& problem) {
  if (text.empty()) return true;
  std::string_view digits = text.substr(1);
  if (text[0] != ':' || digits.empty() || leading_digits(digits) != digits.size()) {
    problem = words("\"", text, "\" is not \":\" and a port");
    return false;
  }
  uint32_t port = 0;
  for (char c : digits) {
    port = port * 10 + static_cast<uint32_t>(c - '0');
    if (port > 65535) break;
  }
  if (port == 0 || port > 65535) {
    problem = words("port ", digits, " is not 1 to 65535");
    return false;
  }
  target.port = static_cast<uint16_t>(port);
  return true;
}

// Four numbers of 0 to 255 (one to three digits each) separated by dots.
bool dotted_quad(std::string_view host, uint32_t& address) {
  address = 0;
  for (int group = 0; group < 4; ++group) {
    size_t n = leading_digits(host);
    if (n == 0 || n > 3) return false;
    uint32_t octet = 0;
    for (char c : host.substr(0, n)) octet = octet * 10 + static_cast<uint32_t>(c - '0');
    if (octet > 255) return false;
    address = address << 8 | octet;
    host.remove_prefix(n);
    if (group < 3 && !host.starts_with('.')) return false;
    if (group < 3) host.remove_prefix(1);
  }
  return host.empty();
}

// Labels of letters, digits and hyphens separated by dots, none empty.
bool is_host_name(std::string_view name) {
  if (name.empty() || name.front() == '.' || name.back() == '.') return false;
  for (size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (c == '.' ? name[i - 1] == '.' : !(is_letter(c) || is_digit(c) || c == '-')) return false;
  }
  return true;
}

// The forms without "TLS:".
dial_target_parsed parse_form(std::string_view text, dial_target& target, std::string& problem) {
  if (leading_digits(text) == 12) {
    target.kind = TARGET_ADDRESS;
    twelve_digits(text, target);
    std::string_view rest = text.substr(12);
    // Only ":" and digits make a port; anything else after the twelve digits is ignored.
    bool port_form =
        rest.size() > 1 && rest[0] == ':' && leading_digits(rest.substr(1)) == rest.size() - 1;
    if (port_form && !take_port(rest, target, problem)) return TARGET_MALFORMED;
    return TARGET_PARSED;
  }
  if (!text.empty() && text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string_view::npos) {
      problem = "no \"]\" after the IPv6 address";
      return TARGET_MALFORMED;
    }
    std::string_view address = text.substr(1, close - 1);
    target.kind = TARGET_ADDRESS;
    if (address.find(':') == std::string_view::npos ||
        !net_address_parse(address, target.address)) {
      problem = words("\"", address, "\" is not an IPv6 address");
      return TARGET_MALFORMED;
    }
    if (target.address == net_address{.family = target.address.family}) {
      target.refusal =
          target.address.family == NET_IPV6 ? "it stands for ::" : "it stands for 0.0.0.0";
    }
    return take_port(text.substr(close + 1), target, problem) ? TARGET_PARSED : TARGET_MALFORMED;
  }
  size_t colon = text.find(':');
  std::string_view name = text.substr(0, colon);
  std::string_view rest = colon == std::string_view::npos ? "" : text.substr(colon);
  if (name.find('.') != std::string_view::npos &&
      name.find_first_not_of("0123456789.") == std::string_view::npos) {
    uint32_t address = 0;
    if (!dotted_quad(name, address)) {
      problem = words("\"", name, "\" is not an IPv4 address (four numbers of 0 to 255)");
      return TARGET_MALFORMED;
    }
    target.kind = TARGET_ADDRESS;
    target.address = net_ipv4(address);
    if (address == 0) target.refusal = "it stands for 0.0.0.0";
    return take_port(rest, target, problem) ? TARGET_PARSED : TARGET_MALFORMED;
  }
  bool has_letter = false;
  for (char c : name) has_letter = has_letter || is_letter(c);
  if (!has_letter) return TARGET_NO_FORM;
  target.kind = TARGET_NAME;
  if (name.size() > DIAL_NAME_MAX) {
    problem = words("the name has ", std::to_string(name.size()), " characters, more than 253");
    return TARGET_MALFORMED;
  }
  if (!is_host_name(name)) {
    problem = words("\"", name,
                    "\" is not a name (labels of letters, digits and hyphens separated by dots)");
    return TARGET_MALFORMED;
  }
  target.name = name;
  return take_port(rest, target, problem) ? TARGET_PARSED : TARGET_MALFORMED;
}

struct peer_prefix {
  std::string_view text;
  peer_kind peer = PEER_DAEMON;
};
constexpr peer_prefix PEER_PREFIXES[] = {{"RAW:", PEER_RAW}, {"TELNET:", PEER_TELNET}};

constexpr const char* PEER_KIND_NAMES[] = {"daemon", "raw", "telnet"};

// The word before a ":" that begins `text` when it reads as a prefix rather than a host and its
// port: a label with a letter, and after the ":" anything but a port. Empty when there is none.
std::string_view prefix_word(std::string_view text) {
  size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 == text.size()) return {};
  std::string_view word = text.substr(0, colon);
  std::string_view after = text.substr(colon + 1);
  bool has_letter = false;
  for (char c : word) {
    if (!is_letter(c) && !is_digit(c) && c != '-') return {};
    has_letter = has_letter || is_letter(c);
  }
  if (!has_letter || leading_digits(after) == after.size()) return {};
  return text.substr(0, colon + 1);
}

// Why the prefix `word`, followed by `rest`, cannot stand where it does, `taken` being the prefix
// read before it.
std::string misplaced_prefix(std::string_view word, std::string_view rest, std::string_view taken) {
  if (word == DIAL_TLS_PREFIX) {
    return taken == DIAL_TLS_PREFIX ? std::string("\"TLS:\" twice")
                                    : words("\"TLS:\" comes before \"", taken, "\"");
  }
  for (const peer_prefix& p : PEER_PREFIXES) {
    if (word == p.text) return "\"RAW:\" and \"TELNET:\" together: a peer is raw or telnet";
  }
  // A host and a port that is not a number read the same: say both.
  return words("\"", word, "\" is not a prefix (TLS:, then RAW: or TELNET:), nor is \"") +
         words("", rest, "\" a port");
}

}  // namespace

const char* peer_kind_name(peer_kind kind) { return PEER_KIND_NAMES[kind]; }

dial_target_parsed dial_target_parse(std::string_view text, dial_target& target,
                                     std::string& problem) {
  target = dial_target{};
  std::string_view taken;  // the last prefix read
  if (text.starts_with(DIAL_TLS_PREFIX)) {
    text.remove_prefix(DIAL_TLS_PREFIX.size());
    target.tls = true;
    taken = DIAL_TLS_PREFIX;
  }
  for (const peer_prefix& p : PEER_PREFIXES) {
    if (!text.starts_with(p.text)) continue;
    text.remove_prefix(p.text.size());
    target.peer = p.peer;
    taken = p.text;
    break;
  }
  std::string_view word = prefix_word(text);
  if (!word.empty()) {
    problem = misplaced_prefix(word, text.substr(word.size()), taken);
    return TARGET_BAD_PREFIX;
  }
  dial_target_parsed parsed = parse_form(text, target, problem);
  if (parsed != TARGET_NO_FORM || taken.empty()) return parsed;
  // The prefix says a target was meant: what follows is a faulty one, not another kind of line.
  problem = words("no dial target (twelve digits, [IPv6 address] or a name) after \"", taken, "\"");
  return TARGET_MALFORMED;
}

const char* dial_text_refusal(std::string_view text) {
  dial_target target;
  std::string problem;
  switch (dial_target_parse(text, target, problem)) {
    case TARGET_PARSED:
      return target.refusal;
    case TARGET_NO_FORM:
      if (leading_digits(text) < 12) return "fewer than twelve digits";
      break;
    case TARGET_MALFORMED:
    case TARGET_BAD_PREFIX:
      break;
  }
  return "it is not a dial target";
}

uint16_t dial_default_port(const modem_settings& s, bool tls) {
  return static_cast<uint16_t>((tls && s.tls_port != 0 ? s.tls_port : s.port) & 0xffff);
}

uint16_t dial_target_port(const dial_target& t, const modem_settings& s) {
  if (t.port != 0) return t.port;
  return t.peer == PEER_TELNET ? TELNET_PORT_DEFAULT : dial_default_port(s, t.tls);
}
