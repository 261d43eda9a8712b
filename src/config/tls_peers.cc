#include "config/tls_peers.h"

#include "config/text_rules.h"

namespace {

constexpr bool is_separator(char c) { return c == ',' || is_blank(c); }

constexpr bool is_name_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || is_digit(c) || c == '-' || c == '_' ||
         c == '.';
}

}  // namespace

bool tls_peers_parse(std::string_view text, std::vector<std::string>& names,
                     std::string& bad_name) {
  std::vector<std::string> parsed;
  size_t i = 0;
  while (i < text.size()) {
    if (is_separator(text[i])) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < text.size() && !is_separator(text[end])) ++end;
    std::string_view name = text.substr(i, end - i);
    for (char c : name) {
      if (!is_name_char(c)) {
        bad_name = std::string(name);
        return false;
      }
    }
    parsed.emplace_back(name);
    i = end;
  }
  names = std::move(parsed);
  return true;
}
