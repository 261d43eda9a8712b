#include "config/allow_list.h"

#include "config/text_rules.h"

namespace {

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

// Dotted IPv4 with leading zeros read as decimal, as in a dialled number.
bool parse_ipv4_entry(std::string_view text, allow_entry& entry) {
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
  entry.addr = net_ipv4(addr);
  entry.bits = static_cast<int>(bits);
  return true;
}

bool parse_ipv6_entry(std::string_view text, allow_entry& entry) {
  size_t slash = text.find('/');
  std::string_view address = text.substr(0, slash);
  uint32_t bits = 128;
  if (slash != std::string_view::npos) {
    std::string_view length = text.substr(slash + 1);
    if (!take_number(length, 128, bits) || !length.empty()) return false;
  }
  if (address.find(':') == std::string_view::npos || !net_address_parse(address, entry.addr)) {
    return false;
  }
  if (entry.addr.family == NET_IPV4) {
    // A mapped prefix shorter than /96 would reach beyond the IPv4 addresses it stands for.
    if (bits < 96) return false;
    bits -= 96;
  }
  entry.bits = static_cast<int>(bits);
  return true;
}

bool parse_entry(std::string_view text, allow_entry& entry) {
  if (!(text.find(':') != std::string_view::npos ? parse_ipv6_entry(text, entry)
                                                 : parse_ipv4_entry(text, entry))) {
    return false;
  }
  for (int i = 0; i < 16; ++i) {
    int kept = entry.bits - 8 * i;
    if (kept <= 0) {
      entry.addr.bytes[i] = 0;
    } else if (kept < 8) {
      entry.addr.bytes[i] &= static_cast<uint8_t>(0xff00 >> kept);
    }
  }
  return true;
}

bool covers(const allow_entry& e, const net_address& addr) {
  if (e.addr.family != addr.family) return false;
  for (int i = 0; i < 16 && 8 * i < e.bits; ++i) {
    int kept = e.bits - 8 * i;
    auto mask = static_cast<uint8_t>(kept >= 8 ? 0xff : 0xff00 >> kept);
    if ((addr.bytes[i] & mask) != e.addr.bytes[i]) return false;
  }
  return true;
}

}  // namespace

bool allow_list_parse(std::string_view text, allow_list& list, std::string& bad_entry) {
  allow_list parsed;
  size_t pos = 0;
  for (std::string_view word = next_list_word(text, pos); !word.empty();
       word = next_list_word(text, pos)) {
    allow_entry entry;
    if (!parse_entry(word, entry)) {
      bad_entry = std::string(word);
      return false;
    }
    parsed.entries.push_back(entry);
  }
  list = std::move(parsed);
  return true;
}

const char* allow_entry_family(std::string_view entry) {
  return entry.find(':') != std::string_view::npos ? "IPv6" : "IPv4";
}

bool allow_list_permits(const allow_list& list, const net_address& addr) {
  if (list.entries.empty()) return true;
  for (const allow_entry& e : list.entries) {
    if (covers(e, addr)) return true;
  }
  return false;
}
