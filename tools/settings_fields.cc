#include "tools/settings_fields.h"

#include <cstdio>
#include <utility>

#include "at/dial.h"
#include "at/result_codes.h"
#include "config/settings_check.h"
#include "config/subst_script.h"
#include "config/text_rules.h"
#include "platform/log.h"

namespace {

// The script loader reports through the log; while it runs the messages are collected here.
std::vector<std::string>* collected_messages = nullptr;

void collect_message(int /*level*/, const char* text) {
  if (collected_messages != nullptr) collected_messages->emplace_back(text);
}

// At most the first 60 bytes of `text`, with bytes outside printable ASCII shown as \xNN (a
// script value that is not base64 decodes to such bytes).
std::string printable(std::string_view text) {
  std::string out;
  for (unsigned char c : text.substr(0, 60)) {
    if (c >= 0x20 && c < 0x7f) {
      out.push_back(static_cast<char>(c));
    } else {
      out += text_printf("\\x%02x", c);
    }
  }
  return out;
}

// While it lives, the daemon's log messages up to `level` go to `messages` instead of syslog.
struct collected_log {
  uint32_t threshold;
  log_sink previous;
  collected_log(std::vector<std::string>& messages, uint32_t level)
      : threshold(level), previous(log_set_sink(collect_message)) {
    collected_messages = &messages;
    log_set_threshold(&threshold);
  }
  ~collected_log() {
    log_set_threshold(nullptr);
    log_set_sink(previous);
    collected_messages = nullptr;
  }
  collected_log(const collected_log&) = delete;
  collected_log& operator=(const collected_log&) = delete;
};

}  // namespace

const settings_key* find_settings_field(std::string_view name) {
  for (const settings_key& field : settings_keys) {
    if (equal_ignoring_case(name, field.key) ||
        equal_ignoring_case(name, field.key.substr(SETTINGS_KEY_PREFIX.size()))) {
      return &field;
    }
  }
  return nullptr;
}

bool parse_settings_number(std::string_view text, uint32_t& value) {
  if (text.empty()) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > UINT32_MAX) return false;
  }
  value = static_cast<uint32_t>(v);
  return true;
}

void check_field(const settings_key& field, const modem_settings& s, check_findings& found) {
  std::vector<settings_finding> all;
  settings_check_values(s, all);
  // The TLS keys are one setting: a finding of one concerns them all.
  constexpr std::string_view tls = "MOD_ORVANE_TLS_";
  bool tls_field = field.key.starts_with(tls);
  for (const settings_finding& f : all) {
    if (f.key != field.key && !(tls_field && f.key.starts_with(tls))) continue;
    (f.level <= 3 ? found.errors : found.warnings).push_back(settings_finding_line(f));
  }
  // Advice that needs the command layer's table of result codes.
  if (field.number == &modem_settings::baudrate &&
      connect_code_for_baud(s.baudrate) == RESULT_ERROR) {
    found.warnings.push_back(
        text_printf("%s: %u bit/s has no CONNECT result code; calls go on-line with ERROR",
                    field.key.data(), s.baudrate));
  }
}

void check_file(const char* path, check_findings& found) {
  settings_checked checked = settings_check_file(path);
  for (const settings_finding& f : checked.findings) {
    (f.level <= 3 ? found.errors : found.warnings).push_back(settings_finding_line(f));
  }
  if (connect_code_for_baud(checked.settings.baudrate) == RESULT_ERROR) {
    found.warnings.push_back(
        text_printf("MOD_ORVANE_BAUDRATE: %u bit/s has no CONNECT result code; calls go on-line "
                    "with ERROR",
                    checked.settings.baudrate));
  }
}

void check_script(const std::string& script, const modem_settings& s, check_findings& found) {
  // The loader logs through log_msg; threshold 7 lets its reasons through and keeps the
  // level-8 listing of an accepted table back.
  std::vector<std::string> messages;
  collected_log collect(messages, 7);
  subst_array table{};
  int count = 0;
  for (subst_script_line& line : subst_script_lines(script)) {
    std::string where = text_printf("script line %d (the daemon's line %d): \"%s\"", line.text_line,
                                    line.line, printable(line.text).c_str());
    messages.clear();
    int before = count;
    subst_refusal refusal = subst_add_line(table, count, std::move(line.text), line.line);
    if (refusal != SUBST_ACCEPTED) {
      // The daemon's own messages add details (the letter, the pattern); its bare restatement
      // of the reason does not.
      std::string error = where + ": " + subst_refusal_text(refusal);
      const char* logged = subst_refusal_logged(refusal);
      for (const std::string& m : messages) {
        if (logged == nullptr || m != logged) error += "; " + m;
      }
      found.errors.push_back(error);
      continue;
    }
    const substitution& rule = table[count - 1];
    const char* refused =
        count > before && rule.type == SUBST_DIAL ? dial_rule_refusal(rule, s) : nullptr;
    if (refused != nullptr) {
      found.warnings.push_back(text_printf("%s: ATD refuses dial rule D%s:%s: %s", where.c_str(),
                                           rule.pattern.c_str(), rule.replacement.c_str(),
                                           refused));
    }
  }
  subst_clear(table, count);
}

std::vector<std::string_view> missing_keys(std::string_view content) {
  std::vector<std::string_view> missing;
  for (const settings_key& field : settings_keys) {
    bool found = field.optional;
    std::string_view rest = content;
    while (!found && !rest.empty()) {
      size_t end = rest.find('\n');
      std::string_view line = rest.substr(0, end);
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
      line = line.substr(0, line.find('\r'));
      size_t equals = line.find('=');
      if (equals != std::string_view::npos)
        found = equal_ignoring_case(line.substr(0, equals), field.key);
    }
    if (!found) missing.push_back(field.key);
  }
  return missing;
}
