#include "config/settings.h"

#include <array>
#include <cstring>
#include <string_view>

#include "config/base64.h"
#include "config/settings_keys.h"
#include "config/text_rules.h"
#include "platform/files.h"
#include "platform/log.h"

namespace {

// A line of the file is read in pieces of at most SETTINGS_LINE_SIZE - 1 characters; a longer
// line thus becomes several lines.
constexpr size_t SETTINGS_LINE_SIZE = 16384;

struct settings_reader {
  FILE* file = nullptr;
  std::array<char, SETTINGS_LINE_SIZE> line{};  // holds the value of the last lookup
  bool cut = false;  // the line of the last value found was longer than the buffer
};

// Reads a number as "%u" of scanf does: white space skipped, optional sign, digits up to the
// first non-digit, a minus negating modulo 2^32, 0 when there are no digits. A magnitude that
// does not fit in 32 bits saturates to 4294967295 whatever the sign, as strtoul saturates, so
// a mistyped huge value turns into an obviously huge one rather than a plausible small one.
uint32_t scan_uint(const char* text) {
  while (is_blank(*text)) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') {
    negative = *text == '-';
    ++text;
  }
  if (!is_digit(*text)) return 0;
  uint64_t value = 0;
  bool overflow = false;
  for (; is_digit(*text); ++text) {
    value = value * 10 + static_cast<uint64_t>(*text - '0');
    if (value > UINT32_MAX) {
      overflow = true;
      value = UINT32_MAX;  // keeps the product from overflowing 64 bits
    }
  }
  if (overflow) return UINT32_MAX;
  uint32_t result = static_cast<uint32_t>(value);
  return negative ? 0u - result : result;
}

// True when `piece`, just read by fgets, filled the buffer short of the end of its line's
// content (a carriage return, a line feed or the end of the file): its value is cut.
bool line_is_cut(FILE* file, const char* piece) {
  size_t len = strlen(piece);
  if (len + 1 < SETTINGS_LINE_SIZE || piece[len - 1] == '\n') return false;
  int next = getc(file);
  if (next == EOF) return false;
  ungetc(next, file);
  return next != '\n' && next != '\r';
}

// Scans the file from its start for the first line whose key is `key` and returns its value,
// which lives in reader.line until the next lookup; nullptr when no line matches.
const char* settings_find_value(settings_reader& reader, std::string_view key) {
  if (reader.file == nullptr) return nullptr;
  if (fseek(reader.file, 0, SEEK_SET) != 0) return nullptr;
  char* line = reader.line.data();
  while (fgets(line, static_cast<int>(reader.line.size()), reader.file) != nullptr) {
    bool cut = line_is_cut(reader.file, line);
    if (char* cr = strchr(line, '\r')) *cr = '\0';
    if (char* lf = strchr(line, '\n')) *lf = '\0';
    // A closing quote, and anything after it, is not part of the value.
    if (char* quote = strrchr(line, '"')) *quote = '\0';
    char* equals = strchr(line, '=');
    if (equals == nullptr) continue;
    if (!equal_ignoring_case(std::string_view(line, static_cast<size_t>(equals - line)), key)) {
      continue;
    }
    reader.cut = cut;
    char* value = equals + 1;
    if (*value == '"') ++value;
    return value;
  }
  return nullptr;
}

uint32_t settings_get_uint(settings_reader& reader, std::string_view key) {
  const char* value = settings_find_value(reader, key);
  return value != nullptr ? scan_uint(value) : 0;
}

std::string settings_get_text(settings_reader& reader, std::string_view key) {
  const char* value = settings_find_value(reader, key);
  return value != nullptr ? std::string(value) : std::string();
}

// The record's texts are C texts for every user: a zero byte ends them.
std::string_view c_text(const std::string& text) { return std::string_view(text.c_str()); }

void put_line(std::string& out, std::string_view key, std::string_view value) {
  out.append(key);
  out.push_back('=');
  out.append(value);
  out.push_back('\n');
}

void put_uint(std::string& out, std::string_view key, uint32_t value, bool always) {
  char number[16] = "";
  if (value != 0 || always) snprintf(number, sizeof number, "%u", value);
  put_line(out, key, number);
}

void put_text(std::string& out, std::string_view key, std::string_view text) {
  bool quoted = text.find(' ') != std::string_view::npos;
  std::string_view kept = text.substr(0, SETTINGS_TEXT_MAX);
  out.append(key);
  out.push_back('=');
  if (quoted) out.push_back('"');
  out.append(kept);
  if (quoted) out.push_back('"');
  out.push_back('\n');
}

}  // namespace

settings_notes settings_load_stream(modem_settings& s, FILE* file) {
  settings_reader reader;
  reader.file = file;
  settings_notes notes;
  for (const settings_key& k : settings_keys) {
    reader.cut = false;
    switch (k.kind) {
      case SETTING_FLAG:
      case SETTING_NUMBER:
        s.*k.number = settings_get_uint(reader, k.key);
        break;
      case SETTING_PARITY:
      case SETTING_ALLOW:
        s.*k.text = settings_get_text(reader, k.key);
        break;
      case SETTING_SCRIPT: {
        std::string encoded = settings_get_text(reader, k.key);
        notes.script_not_base64 = !base64_valid(encoded);
        s.*k.text = base64_decode_alloc(encoded.c_str());
        break;
      }
    }
    if (reader.cut && notes.cut_key == nullptr) notes.cut_key = k.key.data();
  }
  return notes;
}

settings_notes settings_load(modem_settings& s, const char* path) {
  bool not_regular = false;
  FILE* file = open_regular_file(path, &not_regular);
  settings_notes notes = settings_load_stream(s, file);
  notes.read = file != nullptr;
  notes.not_regular = not_regular;
  if (file != nullptr) fclose(file);
  return notes;
}

void settings_log_notes(const settings_notes& notes, const char* path) {
  if (notes.not_regular) {
    log_direct(4, "settings file %s is not a regular file: read as missing", path);
  }
  if (notes.cut_key != nullptr) {
    log_msg(4, "settings file %s: the line of %s is longer than %zu characters: read cut", path,
            notes.cut_key, SETTINGS_LINE_SIZE - 1);
  }
  if (notes.script_not_base64) {
    log_msg(4,
            "settings file %s: MOD_ORVANE_CFG_SCRIPT is not valid base64: the characters "
            "outside its alphabet are skipped",
            path);
  }
}

std::string settings_format(const modem_settings& s) {
  std::string out;
  for (const settings_key& k : settings_keys) {
    switch (k.kind) {
      case SETTING_FLAG:
        put_uint(out, k.key, s.*k.number != 0 ? 1 : 0, true);
        break;
      case SETTING_NUMBER:
        // A key that a file saved without it stays without while its value is 0.
        if (k.optional && s.*k.number == 0) break;
        put_uint(out, k.key, s.*k.number, !k.blank_when_zero);
        break;
      case SETTING_PARITY:
        put_text(out, k.key, c_text(s.*k.text));
        break;
      case SETTING_SCRIPT:
        put_text(out, k.key, base64_encode_alloc(c_text(s.*k.text)));
        break;
      case SETTING_ALLOW:
        // No line at all when empty: a daemon without an allow list saves the same 30 lines.
        if (!c_text(s.*k.text).empty()) put_text(out, k.key, c_text(s.*k.text));
        break;
    }
  }
  return out;
}

int settings_save(const modem_settings& s, const char* path) {
  // The file keeps only the first 16,000 characters of a value; a longer script would come
  // back cut, so it is refused and the saved configuration stays whole.
  if (c_text(s.cfg_script).size() > SETTINGS_SCRIPT_SAVE_MAX) return 0;
  if (c_text(s.allow).size() > SETTINGS_TEXT_MAX) return 0;
  return replace_file(path, settings_format(s)) ? 1 : 0;
}
