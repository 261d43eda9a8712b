#include "tools/settings_fields.h"

#include <termios.h>

#include <cstdarg>
#include <cstdio>
#include <utility>

#include "at/dial.h"
#include "at/result_codes.h"
#include "at/sreg_table.h"
#include "config/allow_list.h"
#include "config/subst_script.h"
#include "config/text_rules.h"
#include "platform/log.h"
#include "platform/serial_port.h"

namespace {

using msf = modem_settings;

constexpr std::string_view KEY_PREFIX = "MOD_ORVANE_";

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char text[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  return text;
}

// Registers compared with received bytes: a value above 255 never matches.
struct byte_register {
  uint32_t modem_settings::*field = nullptr;
  const char* name = "";
  const char* effect = "";
};

constexpr byte_register byte_registers[] = {
    {&msf::sreg_esc, "S2", "the escape sequence can never be typed"},
    {&msf::sreg_cr, "S3", "no received byte ends a command line"},
    {&msf::sreg_bs, "S5", "no received byte deletes a character"},
};

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
      out += format("\\x%02x", c);
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
        equal_ignoring_case(name, field.key.substr(KEY_PREFIX.size()))) {
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
  const char* key = field.key.data();
  if (field.number == &msf::serial && s.serial > 1) {
    found.errors.push_back(
        format("%s: invalid serial device number %u (0 or 1 expected)", key, s.serial));
  } else if (field.number == &msf::baudrate) {
    if (serial_speed(s.baudrate) == B9600 && s.baudrate != 9600) {
      found.warnings.push_back(
          format("%s: %u bit/s is not a speed of the serial port; the port runs at 9600 bit/s", key,
                 s.baudrate));
    }
    if (connect_code_for_baud(s.baudrate) == RESULT_ERROR) {
      found.warnings.push_back(format(
          "%s: %u bit/s has no CONNECT result code; calls go on-line with ERROR", key, s.baudrate));
    }
  } else if (field.number == &msf::databits && s.databits != 7 && s.databits != 8) {
    found.warnings.push_back(
        format("%s: %u is neither 7 nor 8; eight data bits are used", key, s.databits));
  } else if (field.number == &msf::stopbits && s.stopbits != 1 && s.stopbits != 2) {
    found.warnings.push_back(
        format("%s: %u is neither 1 nor 2; one stop bit is used", key, s.stopbits));
  } else if (field.kind == SETTING_PARITY) {
    char first = s.parity.empty() ? '\0' : s.parity[0];
    if (first != 'N' && first != 'E' && first != 'O') {
      found.warnings.push_back(
          format("%s: \"%s\" is not N, E or O; no parity is used", key, s.parity.c_str()));
    }
  } else if (field.number == &msf::port) {
    if (s.port == 0) {
      found.warnings.push_back(format(
          "%s: 0 makes the daemon listen on a port chosen by the system and dial port 0", key));
    } else if (s.port > 65535) {
      found.warnings.push_back(
          format("%s: %u is above 65535; port %u is used", key, s.port, s.port & 0xffff));
    }
  } else if (field.number == &msf::flowcontrol && !serial_flow_valid(s.flowcontrol)) {
    found.errors.push_back(
        format("%s: invalid flow control %u (0, 3 or 4 expected)", key, s.flowcontrol));
  } else if (field.number == &msf::stat_dtr_action && s.stat_dtr_action > 3) {
    found.warnings.push_back(
        format("%s: %u is not 0 to 3; a DTR drop does nothing", key, s.stat_dtr_action));
  } else if (field.kind == SETTING_ALLOW) {
    allow_list list;
    std::string bad_entry;
    if (!allow_list_parse(s.allow, list, bad_entry)) {
      found.errors.push_back(format("%s: \"%s\" is not an %s address or prefix", key,
                                    bad_entry.c_str(), allow_entry_family(bad_entry)));
    } else if (s.allow.size() > SETTINGS_TEXT_MAX) {
      found.warnings.push_back(
          format("%s: the list has %zu characters; AT&W cannot save more than %zu", key,
                 s.allow.size(), SETTINGS_TEXT_MAX));
    }
  } else if (field.kind == SETTING_SCRIPT && s.cfg_script.size() > SETTINGS_SCRIPT_SAVE_MAX) {
    found.warnings.push_back(format("%s: the script has %zu bytes; AT&W cannot save more than %zu",
                                    key, s.cfg_script.size(), SETTINGS_SCRIPT_SAVE_MAX));
  }
  for (const byte_register& r : byte_registers) {
    if (field.number == r.field && s.*r.field > 255) {
      found.warnings.push_back(
          format("%s: %s is %u, above 255: %s", key, r.name, s.*r.field, r.effect));
    }
  }
  for (const sreg_limit& r : sreg_limits) {
    if (field.number == r.field && s.*r.field > r.limit) {
      found.warnings.push_back(format("%s: S%i is %u, above %u: it takes effect as %u", key,
                                      r.number, s.*r.field, r.limit, r.limit));
    }
  }
}

void check_script(const std::string& script, check_findings& found) {
  // The loader logs through log_msg; threshold 7 lets its reasons through and keeps the
  // level-8 listing of an accepted table back.
  std::vector<std::string> messages;
  collected_log collect(messages, 7);
  subst_array table{};
  int count = 0;
  for (subst_script_line& line : subst_script_lines(script)) {
    std::string where = format("script line %d (the daemon's line %d): \"%s\"", line.text_line,
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
        count > before && rule.type == SUBST_DIAL ? dial_digits_refusal(rule.replacement) : nullptr;
    if (refused != nullptr) {
      found.warnings.push_back(format("%s: ATD refuses dial rule D%s:%s: %s", where.c_str(),
                                      rule.pattern.c_str(), rule.replacement.c_str(), refused));
    }
  }
  subst_clear(table, count);
}

void check_notes(const settings_notes& notes, const char* path, check_findings& found) {
  std::vector<std::string> messages;
  {
    collected_log collect(messages, 4);
    settings_log_notes(notes, path);
  }
  for (std::string& m : messages) found.warnings.push_back(std::move(m));
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
