#include "config/subst_script.h"

#include <cstring>
#include <utility>

#include "config/dial_target.h"
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
  dial_target target;
  std::string problem;
  switch (dial_target_parse(replacement, target, problem)) {
    case TARGET_PARSED:
      return 0;
    case TARGET_NO_FORM:
      log_msg(7, "bad length of substitution phone number (%s)", replacement);
      return -1;
    case TARGET_MALFORMED:
      break;
    case TARGET_BAD_PREFIX:
      // A prefix that is not known (or not in its place) is said where the operator looks.
      log_msg(3, "bad dial target (%s): %s", replacement, problem.c_str());
      return -1;
  }
  log_msg(7, "bad dial target (%s): %s", replacement, problem.c_str());
  return -1;
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
  subst_refusal refused = SUBST_ACCEPTED;  // what the validator's refusal is
};

constexpr subst_keyword subst_keywords[] = {
    {.type = SUBST_DIAL,
     .keyword = "D",
     .validator = validate_dial_subst,
     .refused = SUBST_BAD_DIAL_RULE},
    {.type = SUBST_INFO,
     .keyword = "I",
     .validator = validate_info_subst,
     .refused = SUBST_BAD_INFO_RULE},
};

struct refusal_row {
  subst_refusal refusal = SUBST_ACCEPTED;
  const char* logged = nullptr;  // what the loader logs for it (level 7), if a fixed text
  const char* text = "";
};

constexpr refusal_row refusal_rows[] = {
    {.refusal = SUBST_ACCEPTED, .text = "accepted"},
    {.refusal = SUBST_NO_COLON, .text = "no \":\" between the pattern and the replacement"},
    {.refusal = SUBST_NO_REPLACEMENT, .text = "nothing after the \":\""},
    {.refusal = SUBST_UNKNOWN_TYPE,
     .logged = "unknown substitution type",
     .text = "unknown substitution type: a rule begins with D (dial) or I (information)"},
    {.refusal = SUBST_BAD_DIAL_RULE,
     .logged = "bad substitution definition",
     .text = "bad dial rule: D, a phone number, \":\" and exactly twelve digits, an [IPv6 "
             "address] or a host name, each with \":\" and a port or without"},
    {.refusal = SUBST_BAD_INFO_RULE,
     .logged = "bad substitution definition",
     .text = "bad information rule: I, digits only (or none), \":\" and a text"},
    {.refusal = SUBST_TABLE_FULL,
     .logged = "substitution counter exceeded its maximum value",
     .text = "more than 100 rules"},
    {.refusal = SUBST_DUPLICATE,
     .text = "an earlier rule of the same type has a pattern that begins this one (list the "
             "longer pattern first)"},
};

const refusal_row& refusal_row_of(subst_refusal refusal) {
  for (const refusal_row& row : refusal_rows) {
    if (row.refusal == refusal) return row;
  }
  return refusal_rows[0];
}

const char* keyword_of(int type) {
  for (const subst_keyword& row : subst_keywords) {
    if (row.type == type) return row.keyword.data();
  }
  return "?";
}

}  // namespace

subst_refusal subst_add_line(subst_array& table, int& count, std::string text, int line_number) {
  char* line = text.data();
  while (is_blank(*line)) ++line;
  if (*line == '\0') return SUBST_ACCEPTED;

  char* colon = strchr(line, ':');
  if (colon == nullptr) return SUBST_NO_COLON;
  if (colon[1] == '\0') return SUBST_NO_REPLACEMENT;
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
    log_msg(7, "%s", refusal_row_of(SUBST_UNKNOWN_TYPE).logged);
    return SUBST_UNKNOWN_TYPE;
  }
  char* pattern = head + row->keyword.size();

  // The order of these tests is visible in the log: a malformed line in a full table reports
  // the bad definition, not the full table.
  if (row->validator(pattern, replacement) < 0) {
    log_msg(7, "%s", refusal_row_of(row->refused).logged);
    return row->refused;
  }
  if (count >= SUBST_MAX) {
    log_msg(7, "%s", refusal_row_of(SUBST_TABLE_FULL).logged);
    return SUBST_TABLE_FULL;
  }
  if (subst_lookup(table, count, row->type, pattern) != nullptr) {
    log_msg(7, "duplicit substitution (type: %s, pat: %s)", row->keyword.data(), pattern);
    return SUBST_DUPLICATE;
  }
  substitution& entry = table[count];
  entry.type = row->type;
  entry.pattern = pattern;
  entry.replacement = replacement;
  entry.line = line_number;
  entry.target = dial_target{};
  if (entry.type == SUBST_DIAL) {
    std::string problem;
    (void)dial_target_parse(entry.replacement, entry.target, problem);  // validated above
  }
  ++count;
  return SUBST_ACCEPTED;
}

const char* subst_refusal_text(subst_refusal refusal) { return refusal_row_of(refusal).text; }

const char* subst_refusal_logged(subst_refusal refusal) { return refusal_row_of(refusal).logged; }

std::vector<subst_script_line> subst_script_lines(std::string_view script) {
  // The script is a C text for everyone else (it comes out of the base64 decoder cut at the
  // first zero byte); a zero byte ends it here too.
  script = script.substr(0, script.find('\0'));
  std::vector<subst_script_line> lines;
  int line = 0;
  int text_line = 0;
  while (!script.empty()) {
    size_t end = script.find('\n');
    std::string_view text = script.substr(0, end);
    script = end == std::string_view::npos ? std::string_view() : script.substr(end + 1);
    ++text_line;
    // Empty lines are skipped before counting, so they do not shift the reported numbers.
    if (text.empty()) continue;
    lines.push_back({.text = std::string(text), .line = ++line, .text_line = text_line});
  }
  return lines;
}

int subst_load_script(subst_array& table, int& count, std::string script) {
  int failed_line = 0;
  subst_refusal refusal = SUBST_ACCEPTED;
  for (subst_script_line& line : subst_script_lines(script)) {
    refusal = subst_add_line(table, count, std::move(line.text), line.line);
    if (refusal != SUBST_ACCEPTED) {
      failed_line = line.line;
      break;
    }
  }

  if (failed_line != 0) {
    log_msg(3, "error at line %i in configuration script", failed_line);
    // The line's own reason above is verbose; this one reaches the default level.
    log_msg(3, "line %i of configuration script: %s", failed_line, subst_refusal_text(refusal));
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
    table[i].target = dial_target{};
    table[i].type = SUBST_DIAL;
  }
  count = 0;
}
