#include "config/dial_target.h"

#include "config/text_rules.h"

namespace {

constexpr bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

size_t leading_digits(std::string_view text) {
  size_t n = 0;
  while (n < text.size() && is_digit(text[n])) ++n;
  return n;
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
    target.kind = TARGET_DIGITS;
    target.host = text;
    std::string_view rest = text.substr(12);
    // Only ":" and digits make a port; anything else after the twelve digits is ignored, as
    // it always was.
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
    return take_port(text.substr(close + 1), target, problem) ? TARGET_PARSED : TARGET_MALFORMED;
  }
  size_t colon = text.find(':');
  std::string_view name = text.substr(0, colon);
  bool has_letter = false;
  for (char c : name) has_letter = has_letter || is_letter(c);
  if (!has_letter) return TARGET_NO_FORM;
  target.kind = TARGET_NAME;
  target.host = name;
  if (name.size() > DIAL_NAME_MAX) {
    problem = words("the name has ", std::to_string(name.size()), " characters, more than 253");
    return TARGET_MALFORMED;
  }
  if (!is_host_name(name)) {
    problem = words("\"", name,
                    "\" is not a name (labels of letters, digits and hyphens separated by dots)");
    return TARGET_MALFORMED;
  }
  std::string_view rest = colon == std::string_view::npos ? "" : text.substr(colon);
  return take_port(rest, target, problem) ? TARGET_PARSED : TARGET_MALFORMED;
}

}  // namespace

dial_target_parsed dial_target_parse(std::string_view text, dial_target& target,
                                     std::string& problem) {
  target = dial_target{};
  if (!text.starts_with(DIAL_TLS_PREFIX)) return parse_form(text, target, problem);
  dial_target_parsed parsed = parse_form(text.substr(DIAL_TLS_PREFIX.size()), target, problem);
  target.tls = true;
  if (parsed != TARGET_NO_FORM) return parsed;
  // The prefix says a target was meant: what follows is a faulty one, not another kind of line.
  problem = "no dial target (twelve digits, [IPv6 address] or a name) after \"TLS:\"";
  return TARGET_MALFORMED;
}

uint32_t dial_default_port(const modem_settings& s, bool tls) {
  return tls && s.tls_port != 0 ? s.tls_port : s.port;
}
