#include "platform/hosts_file.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

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

struct file_closer {
  void operator()(FILE* f) const { fclose(f); }
};

}  // namespace

int hosts_lookup(const char* path, std::string_view name, std::span<net_address> out) {
  std::unique_ptr<FILE, file_closer> file(fopen(path, "re"));
  if (file == nullptr) return 0;
  int count = 0;
  char* buf = nullptr;
  size_t size = 0;
  ssize_t len = 0;
  while (static_cast<size_t>(count) < out.size() && (len = getline(&buf, &size, file.get())) > 0) {
    net_address addr;
    if (!entry_names(std::string_view(buf, static_cast<size_t>(len)), name, addr)) continue;
    bool seen = false;
    for (int i = 0; i < count; ++i) seen = seen || out[i] == addr;
    if (!seen) out[count++] = addr;
  }
  free(buf);
  return count;
}
