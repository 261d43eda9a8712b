#include "config/settings.h"

#include <array>
#include <cstring>
#include <string_view>

#include "config/base64.h"
#include "config/settings_keys.h"
#include "config/text_rules.h"
#include "platform/files.h"

// A magnitude that does not fit in 32 bits saturates to 4294967295 whatever the sign, as strtoul
// saturates, so a mistyped huge value turns into an obviously huge one rather than a plausible
// small one.
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

namespace {

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

// The value of the first line whose key is `key`, nullptr when no line has it.
const settings_line* find_line(const std::vector<settings_line>& lines, std::string_view key) {
  for (const settings_line& line : lines) {
    if (equal_ignoring_case(line.key, key)) return &line;
  }
  return nullptr;
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

std::vector<settings_line> settings_read_lines(FILE* file) {
  std::vector<settings_line> lines;
  if (file == nullptr || fseek(file, 0, SEEK_SET) != 0) return lines;
  std::array<char, SETTINGS_LINE_SIZE> buffer{};
  char* line = buffer.data();
  int number = 1;
  while (fgets(line, static_cast<int>(buffer.size()), file) != nullptr) {
    bool cut = line_is_cut(file, line);
    int this_line = number;
    size_t len = strlen(line);
    if (len > 0 && line[len - 1] == '\n') ++number;
    if (char* cr = strchr(line, '\r')) *cr = '\0';
    if (char* lf = strchr(line, '\n')) *lf = '\0';
    // A closing quote, and anything after it, is not part of the value.
    if (char* quote = strrchr(line, '"')) *quote = '\0';
    char* equals = strchr(line, '=');
    if (equals == nullptr) continue;
    char* value = equals + 1;
    if (*value == '"') ++value;
    lines.push_back({.number = this_line,
                     .key = std::string(line, static_cast<size_t>(equals - line)),
                     .value = value,
                     .cut = cut});
  }
  return lines;
}

settings_notes settings_from_lines(modem_settings& s, const std::vector<settings_line>& lines) {
  settings_notes notes;
  for (const settings_key& k : settings_keys) {
    const settings_line* line = find_line(lines, k.key);
    const char* value = line != nullptr ? line->value.c_str() : nullptr;
    switch (k.kind) {
      case SETTING_FLAG:
      case SETTING_NUMBER:
        s.*k.number = value != nullptr ? scan_uint(value) : k.absent;
        break;
      case SETTING_PARITY:
      case SETTING_ALLOW:
      case SETTING_TEXT:
        s.*k.text = value != nullptr ? std::string(value) : std::string();
        break;
      case SETTING_SCRIPT: {
        std::string encoded = value != nullptr ? std::string(value) : std::string();
        notes.script_not_base64 = !base64_valid(encoded);
        s.*k.text = base64_decode_alloc(encoded.c_str());
        break;
      }
    }
    if (line == nullptr || !line->cut) continue;
    const char*& first = k.list_or_path ? notes.cut_list_key : notes.cut_key;
    if (first == nullptr) first = k.key.data();
  }
  return notes;
}

settings_notes settings_load_stream(modem_settings& s, FILE* file) {
  return settings_from_lines(s, settings_read_lines(file));
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

std::string settings_format(const modem_settings& s) {
  std::string out;
  for (const settings_key& k : settings_keys) {
    switch (k.kind) {
      case SETTING_FLAG:
        put_uint(out, k.key, s.*k.number != 0 ? 1 : 0, true);
        break;
      case SETTING_NUMBER:
        // A key that a file saved without it stays without while it holds its absent value.
        if (k.optional && s.*k.number == k.absent) break;
        put_uint(out, k.key, s.*k.number, !k.blank_when_zero);
        break;
      case SETTING_PARITY:
        put_text(out, k.key, c_text(s.*k.text));
        break;
      case SETTING_SCRIPT:
        put_text(out, k.key, base64_encode_alloc(c_text(s.*k.text)));
        break;
      case SETTING_ALLOW:
      case SETTING_TEXT:
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
  for (const settings_key& k : settings_keys) {
    bool text = k.kind == SETTING_ALLOW || k.kind == SETTING_TEXT;
    if (text && c_text(s.*k.text).size() > SETTINGS_TEXT_MAX) return 0;
  }
  return replace_file(path, settings_format(s)) ? 1 : 0;
}
