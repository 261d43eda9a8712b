#include "config/base64.h"

#include <array>
#include <cstring>

namespace {

constexpr char base64_alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr unsigned char BASE64_SKIP = 64;

// Every byte outside the alphabet is skipped, padding included. "-" is read as "+" so that a
// script saved by a URL-safe encoder still loads (its "_" has no such alias and is skipped).
constexpr std::array<unsigned char, 256> make_decode_table() {
  std::array<unsigned char, 256> table{};
  for (unsigned char& v : table) v = BASE64_SKIP;
  for (unsigned char i = 0; i < 64; ++i) {
    table[static_cast<unsigned char>(base64_alphabet[i])] = i;
  }
  table['-'] = 62;
  return table;
}

constexpr std::array<unsigned char, 256> base64_decode_table = make_decode_table();

}  // namespace

void base64_encode(const unsigned char* src, char* dst, size_t n) {
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    unsigned group = (src[i] << 16) | (src[i + 1] << 8) | src[i + 2];
    *dst++ = base64_alphabet[(group >> 18) & 63];
    *dst++ = base64_alphabet[(group >> 12) & 63];
    *dst++ = base64_alphabet[(group >> 6) & 63];
    *dst++ = base64_alphabet[group & 63];
  }
  if (n - i == 1) {
    unsigned group = src[i] << 16;
    *dst++ = base64_alphabet[(group >> 18) & 63];
    *dst++ = base64_alphabet[(group >> 12) & 63];
    *dst++ = '=';
    *dst++ = '=';
  } else if (n - i == 2) {
    unsigned group = (src[i] << 16) | (src[i + 1] << 8);
    *dst++ = base64_alphabet[(group >> 18) & 63];
    *dst++ = base64_alphabet[(group >> 12) & 63];
    *dst++ = base64_alphabet[(group >> 6) & 63];
    *dst++ = '=';
  }
  *dst = '\0';
}

int base64_decode(const char* text, unsigned char* dst) {
  // Accepted characters form one stream whatever stands between them, so padding in the
  // middle neither ends the data nor restarts the grouping.
  int written = 0;
  unsigned count = 0;
  unsigned previous = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    unsigned value = base64_decode_table[static_cast<unsigned char>(*p)];
    if (value == BASE64_SKIP) continue;
    switch (count % 4) {
      case 1:
        dst[written++] = static_cast<unsigned char>(previous * 4 + value / 16);
        break;
      case 2:
        dst[written++] = static_cast<unsigned char>(previous * 16 + value / 4);
        break;
      case 3:
        dst[written++] = static_cast<unsigned char>(previous * 64 + value);
        break;
      default:
        break;
    }
    previous = value;
    ++count;
  }
  return written;
}

bool base64_valid(std::string_view text) {
  if (text.size() % 4 != 0) return false;
  size_t data = text.size();
  for (int pad = 0; pad < 2 && data > 0 && text[data - 1] == '='; ++pad) --data;
  // A last group needs at least two characters of data.
  if (data % 4 == 1) return false;
  for (size_t i = 0; i < data; ++i) {
    if (base64_decode_table[static_cast<unsigned char>(text[i])] == BASE64_SKIP) return false;
  }
  return true;
}

std::string base64_encode_alloc(std::string_view data) {
  std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
  base64_encode(reinterpret_cast<const unsigned char*>(data.data()), out.data(), data.size());
  out.pop_back();
  return out;
}

std::string base64_decode_alloc(const char* text) {
  if (text == nullptr) return std::string();
  std::string out(strlen(text) + 1, '\0');
  int n = base64_decode(text, reinterpret_cast<unsigned char*>(out.data()));
  out.resize(static_cast<size_t>(n));
  // Users take the script as a C text; cutting here keeps the record's view and theirs equal.
  out.resize(strlen(out.c_str()));
  return out;
}
