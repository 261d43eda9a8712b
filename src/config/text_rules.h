// Text rules shared by the command interpreter, the settings file and the substitution script.
// Character classes are those of plain ASCII, whatever the locale.
#pragma once

#include <string>
#include <string_view>

// Space, \t, \n, \v, \f or \r.
constexpr bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }
constexpr char ascii_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

// True when the two texts are equal but for the case of ASCII letters.
constexpr bool equal_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (ascii_upper(a[i]) != ascii_upper(b[i])) return false;
  }
  return true;
}

// The next word of a list whose words are separated by blanks and commas (the allow list, the
// certificate names), from `pos` on; empty at the end. `pos` moves past the word.
constexpr std::string_view next_list_word(std::string_view text, size_t& pos) {
  auto separator = [](char c) { return c == ',' || is_blank(c); };
  while (pos < text.size() && separator(text[pos])) ++pos;
  size_t start = pos;
  while (pos < text.size() && !separator(text[pos])) ++pos;
  return text.substr(start, pos - start);
}

// Removes every white-space character (space, \t, \n, \v, \f, \r) from `text` in place and
// upper-cases the ASCII letters of the rest.
void strip_blanks_upper(char* text);

// Normalises a phone number in place: an optional leading '+' stays, digits are kept, every
// other non-letter is dropped. Returns the length the text had, or -1 when the number is empty
// after the '+' ("phone number too short") or holds a letter ("phone number contains a letter
// %c"); both are logged at level 7.
int normalize_phone_number(char* text);

// printf into a new text of at most 511 characters (the messages of settings checks).
std::string text_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
