#include "config/hosts_file.h"

#include "platform/files.h"

namespace {

constexpr bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The next blank-separated field of `line` from `pos` on; empty at the end.
std::string_view next_field(std::string_view line, size_t& pos) {
  while (pos < line.size() && is_blank(line[pos])) ++pos;
  size_t start = pos;
  while (pos < line.size() && !is_blank(line[pos])) ++pos;
  return line.substr(start, pos - start);
}

// True when the entry of `line` names `name`, with its address in `addr`.
bool entry_names(std::string_view line, std::string_view name, net_address& addr) {
  line = line.substr(0, line.find('#'));
  size_t pos = 0;
  if (!net_address_parse(next_field(line, pos), addr)) return false;
  for (std::string_view field = next_field(line, pos); !field.empty();
       field = next_field(line, pos)) {
    if (host_names_equal(field, name)) return true;
  }
  return false;
}

}  // namespace

bool host_names_equal(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

int hosts_lookup(const char* path, std::string_view name, std::span<net_address> out,
                 std::string& problem, int& error) {
  problem.clear();
  std::string content;
  if (read_small_file(path, HOSTS_FILE_MAX, content, problem, error) != SMALL_FILE_READ) return 0;
  std::string_view rest = content;
  int count = 0;
  while (!rest.empty() && static_cast<size_t>(count) < out.size()) {
    size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    net_address addr;
    if (line.size() > HOSTS_LINE_MAX || !entry_names(line, name, addr)) continue;
    bool seen = false;
    for (int i = 0; i < count; ++i) seen = seen || out[i] == addr;
    if (!seen) out[count++] = addr;
  }
  return count;
}
