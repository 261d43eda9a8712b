#include "config/tls_peers.h"

#include <algorithm>

#include "config/hosts_file.h"
#include "config/text_rules.h"

namespace {

constexpr bool is_name_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || is_digit(c) || c == '-' || c == '_' ||
         c == '.';
}

}  // namespace

bool tls_peers_parse(std::string_view text, std::vector<std::string>& names,
                     std::string& bad_name) {
  std::vector<std::string> parsed;
  size_t pos = 0;
  for (std::string_view name = next_list_word(text, pos); !name.empty();
       name = next_list_word(text, pos)) {
    for (char c : name) {
      if (!is_name_char(c)) {
        bad_name = std::string(name);
        return false;
      }
    }
    // "router-b.test." is the fully qualified form of the name "router-b.test", which is how a
    // certificate carries it.
    if (name.size() > 1 && name.back() == '.') name.remove_suffix(1);
    parsed.emplace_back(name);
  }
  names = std::move(parsed);
  return true;
}

bool tls_peers_allow(const std::vector<std::string>& list, std::string_view names) {
  if (list.empty()) return true;
  while (!names.empty()) {
    size_t end = std::min(names.find(' '), names.size());
    std::string_view name = names.substr(0, end);
    names.remove_prefix(std::min(end + 1, names.size()));
    for (const std::string& allowed : list) {
      if (!name.empty() && host_names_equal(name, allowed)) return true;
    }
  }
  return false;
}
