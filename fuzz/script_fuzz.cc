// Loads arbitrary text as a substitution script and checks what the table may hold; also runs
// the two text rules on it.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config/dial_target.h"
#include "config/subst_script.h"
#include "config/text_rules.h"
#include "platform/log.h"

namespace {

void no_log(int /*level*/, const char* /*text*/) {}

void check(bool ok) {
  if (!ok) abort();
}

bool all_digits(const std::string& s, size_t from = 0) {
  for (size_t i = from; i < s.size(); ++i)
    if (!is_digit(s[i])) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Every message is formatted (level 8 passes) and then dropped.
  static uint32_t level = 8;
  log_set_threshold(&level);
  log_set_sink(no_log);
  std::string input(reinterpret_cast<const char*>(data), size);

  subst_array table;
  int count = 0;
  subst_load_script(table, count, input);
  check(count >= 0 && count <= SUBST_MAX);
  for (int i = 0; i < count; ++i) {
    const substitution& e = table[i];
    if (e.type == SUBST_DIAL) {
      check(all_digits(e.pattern, !e.pattern.empty() && e.pattern[0] == '+' ? 1 : 0));
      // Every rule that loads names a target: twelve digits, an address or a host name.
      dial_target target;
      std::string problem;
      check(dial_target_parse(e.replacement, target, problem) == TARGET_PARSED);
    } else {
      check(e.type == SUBST_INFO && all_digits(e.pattern) && !e.replacement.empty());
    }
    // No earlier entry of the same type begins this pattern, so it finds itself.
    check(subst_lookup(table, count, e.type, e.pattern) == &e);
  }
  subst_clear(table, count);
  check(count == 0);

  std::string text(input.c_str());
  std::string stripped = text;
  strip_blanks_upper(stripped.data());
  for (const char* p = stripped.c_str(); *p != '\0'; ++p) {
    check(*p != ' ' && *p != '\t' && *p != '\n' && *p != '\v' && *p != '\f' && *p != '\r');
    check(!(*p >= 'a' && *p <= 'z'));
  }
  std::string number = text;
  int length = normalize_phone_number(number.data());
  if (length >= 0) {
    check(static_cast<size_t>(length) == text.size());
    std::string kept(number.c_str());
    check(all_digits(kept, !kept.empty() && kept[0] == '+' ? 1 : 0));
  }
  return 0;
}
