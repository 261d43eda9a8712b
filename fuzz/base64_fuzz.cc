// Decodes arbitrary text with the lenient decoder and round-trips arbitrary bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/base64.h"
#include "platform/log.h"

namespace {

void no_log(int /*level*/, const char* /*text*/) {}

void check(bool ok) {
  if (!ok) abort();
}

bool in_alphabet(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  log_set_sink(no_log);
  std::string bytes(reinterpret_cast<const char*>(data), size);

  // The input as a text (up to its first zero byte): the output stays within three quarters
  // of the text, and skipping is the same as decoding only the alphabet characters.
  std::string text(bytes.c_str());
  std::vector<unsigned char> out(text.size() + 1);
  int n = base64_decode(text.c_str(), out.data());
  check(n >= 0 && static_cast<size_t>(n) <= text.size() * 3 / 4);
  std::string canonical;
  for (char c : text) {
    if (c == '-') c = '+';
    if (in_alphabet(c)) canonical.push_back(c);
  }
  std::vector<unsigned char> out2(canonical.size() + 1);
  int n2 = base64_decode(canonical.c_str(), out2.data());
  check(n2 == n && memcmp(out.data(), out2.data(), static_cast<size_t>(n)) == 0);

  // The input as bytes: encoding and decoding gives them back.
  std::vector<char> encoded(4 * ((size + 2) / 3) + 1);
  base64_encode(data, encoded.data(), size);
  check(strlen(encoded.data()) == encoded.size() - 1);
  check(base64_encode_alloc(bytes) == encoded.data());
  std::vector<unsigned char> decoded(encoded.size());
  int m = base64_decode(encoded.data(), decoded.data());
  check(static_cast<size_t>(m) == size && (size == 0 || memcmp(decoded.data(), data, size) == 0));
  check(base64_decode_alloc(encoded.data()) == std::string(bytes.c_str()));
  return 0;
}
