#include "config/text_rules.h"

#include <cstdarg>
#include <cstdio>

#include "platform/log.h"

namespace {

// Plain ASCII classes: the daemon never sets a locale, and bytes above 0x7F must not count as
// letters or blanks whatever the C library thinks.
constexpr bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

void strip_blanks_upper(char* text) {
  char* out = text;
  for (const char* in = text; *in != '\0'; ++in) {
    if (!is_blank(*in)) *out++ = ascii_upper(*in);
  }
  *out = '\0';
}

int normalize_phone_number(char* text) {
  char* start = text[0] == '+' ? text + 1 : text;
  if (*start == '\0') {
    log_msg(7, "phone number too short");
    return -1;
  }
  char* out = start;
  const char* in = start;
  for (; *in != '\0'; ++in) {
    if (is_letter(*in)) {
      // The digits moved so far stay moved; callers only print the text after a failure.
      log_msg(7, "phone number contains a letter %c", *in);
      return -1;
    }
    if (is_digit(*in)) *out++ = *in;
  }
  *out = '\0';
  return static_cast<int>(in - text);
}

std::string text_printf(const char* fmt, ...) {
  char text[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  return text;
}
