#include "config/subst_script.h"

#include <cstring>

#include "config/text_rules.h"
#include "platform/log.h"

namespace {

// Both validators may rewrite the pattern and the replacement in place; the entry stores them
// as the validator left them.
int validate_dial_subst(char* pattern, char* replacement) {
  if (normalize_phone_number(pattern) < 0) {
    log_msg(7, "phone number %s can't be normalized", pattern);
    return -1;
  }
  strip_blanks_upper(replacement);
  size_t digits = 0;
  while (is_digit(replacement[digits])) ++digits;
  if (digits != 12) {
    log_msg(7, "bad length of substitution phone number (%s)", replacement);
    return -1;
  }
  return 0;
}

int validate_info_subst(char* pattern, char* /*replacement*/) {
  for (const char* p = pattern; *p != '\0'; ++p) {
    if (!is_digit(*p)) return -1;
  }
  return 0;
}

using subst_validator = int (*)(char* pattern, char* replacement);

struct subst_keyword {
  int type = SUBST_DIAL;
  std::string_view keyword;
  subst_validator validator = nullptr;
};

constexpr subst_keyword subst_keywords[] = {
    {.type = SUBST_DIAL, .keyword = "D", .validator = validate_dial_subst},
    {.type = SUBST_INFO, .keyword = "I", .validator = validate_info_subst},
};

const char* keyword_of(int type) {
  for (const subst_keyword& row : subst_keywords) {
    if (row.type == type) return row.keyword.data();
  }
  return "?";
}

// Parses one line (NUL-terminated, inside the script copy). Returns false when the line fails;
// the line's own reason is logged here, the line number by the caller.
bool parse_line(subst_array& table, int& count, char* line) {
  while (is_blank(*line)) ++line;
  if (*line == '\0') return true;

  char* colon = strchr(line, ':');
  if (colon == nullptr || colon[1] == '\0') return false;
  *colon = '\0';
  char* head = line;
  char* replacement = colon + 1;
  strip_blanks_upper(head);

  const subst_keyword* row = nullptr;
  for (const subst_keyword& candidate : subst_keywords) {
    if (std::string_view(head).starts_with(candidate.keyword)) {
      row = &candidate;
      break;
    }
  }
  if (row == nullptr) {
    log_msg(7, "unknown substitution type");
    return false;
  }
  char* pattern = head + row->keyword.size();

  // The order of these tests is visible in the log: a malformed line in a full table reports
  // the bad definition, not the full table.
  if (row->validator(pattern, replacement) < 0) {
    log_msg(7, "bad substitution definition");
    return false;
  }
  if (count >= SUBST_MAX) {
    log_msg(7, "substitution counter exceeded its maximum value");
    return false;
  }
  if (subst_lookup(table, count, row->type, pattern) != nullptr) {
    log_msg(7, "duplicit substitution (type: %s, pat: %s)", row->keyword.data(), pattern);
    return false;
  }
  substitution& entry = table[count];
  entry.type = row->type;
  entry.pattern = pattern;
  entry.replacement = replacement;
  ++count;
  return true;
}

}  // namespace

int subst_load_script(subst_array& table, int& count, std::string script) {
  // The script is a C text for everyone else (it comes out of the base64 decoder cut at the
  // first zero byte); a zero byte ends it here too.
  script.resize(strlen(script.c_str()));

  int line_number = 0;
  int failed_line = 0;
  char* rest = script.data();
  while (failed_line == 0) {
    // Empty lines are skipped before counting, so they do not shift the reported numbers.
    while (*rest == '\n') ++rest;
    if (*rest == '\0') break;
    char* line = rest;
    char* end = strchr(line, '\n');
    if (end != nullptr) {
      *end = '\0';
      rest = end + 1;
    } else {
      rest = line + strlen(line);
    }
    ++line_number;
    if (!parse_line(table, count, line)) failed_line = line_number;
  }

  if (failed_line != 0) {
    log_msg(3, "error at line %i in configuration script", failed_line);
    log_msg(7, "processing of configuration script failed");
    return -1;
  }
  if (count > 0) {
    log_msg(8, "substitution list:");
    for (int i = 0; i < count; ++i) {
      log_msg(8, "type: %s pat: %s sub: %s", keyword_of(table[i].type), table[i].pattern.c_str(),
              table[i].replacement.c_str());
    }
  }
  return 0;
}

const substitution* subst_lookup(const subst_array& table, int count, int type,
                                 std::string_view text) {
  for (int i = 0; i < count && i < SUBST_MAX; ++i) {
    const substitution& entry = table[i];
    if (entry.type == type && text.starts_with(entry.pattern)) return &entry;
  }
  return nullptr;
}

void subst_clear(subst_array& table, int& count) {
  for (int i = 0; i < count && i < SUBST_MAX; ++i) {
    // Swapping with empty strings gives the memory back; clear() would keep the capacity.
    std::string().swap(table[i].pattern);
    std::string().swap(table[i].replacement);
    table[i].type = SUBST_DIAL;
  }
  count = 0;
}
