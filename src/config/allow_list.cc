#include "config/allow_list.h"

#include <arpa/inet.h>

#include "config/text_rules.h"

namespace {

constexpr bool is_separator(char c) { return c == ',' || is_blank(c); }

// Reads 1 to 3 decimal digits at the start of `text` as a number up to `max`; consumes them.
bool take_number(std::string_view& text, uint32_t max, uint32_t& value) {
  size_t n = 0;
  value = 0;
  while (n < text.size() && n < 3 && is_digit(text[n])) {
    value = value * 10 + static_cast<uint32_t>(text[n] - '0');
    ++n;
  }
  if (n == 0 || value > max || (n < text.size() && is_digit(text[n]))) return false;
  text.remove_prefix(n);
  return true;
}

bool take_char(std::string_view& text, char c) {
  if (text.empty() || text[0] != c) return false;
  text.remove_prefix(1);
  return true;
}

bool parse_entry(std::string_view text, allow_entry& entry) {
  uint32_t addr = 0;
  for (int i = 0; i < 4; ++i) {
    uint32_t byte = 0;
    if (i > 0 && !take_char(text, '.')) return false;
    if (!take_number(text, 255, byte)) return false;
    addr = addr << 8 | byte;
  }
  uint32_t bits = 32;
  if (take_char(text, '/') && !take_number(text, 32, bits)) return false;
  if (!text.empty()) return false;
  entry.mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
  entry.addr = addr & entry.mask;
  return true;
}

}  // namespace

bool allow_list_parse(std::string_view text, allow_list& list, std::string& bad_entry) {
  allow_list parsed;
  size_t i = 0;
  while (i < text.size()) {
    if (is_separator(text[i])) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < text.size() && !is_separator(text[end])) ++end;
    std::string_view word = text.substr(i, end - i);
    allow_entry entry;
    if (!parse_entry(word, entry)) {
      bad_entry = std::string(word);
      return false;
    }
    parsed.entries.push_back(entry);
    i = end;
  }
  list = std::move(parsed);
  return true;
}

bool allow_list_permits(const allow_list& list, uint32_t addr) {
  if (list.entries.empty()) return true;
  uint32_t host = ntohl(addr);
  for (const allow_entry& e : list.entries) {
    if ((host & e.mask) == e.addr) return true;
  }
  return false;
}
