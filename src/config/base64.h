// Base64 (RFC 4648 alphabet, "=" padding) for the script value of the settings file. The
// decoder is lenient: it skips every byte outside the alphabet and reads "-" as "+".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Writes the encoding of `n` bytes of `src` and a NUL into `dst`, which must hold
// 4 * ceil(n / 3) + 1 bytes.
void base64_encode(const unsigned char* src, char* dst, size_t n);

// Decodes the NUL-terminated `text` into `dst` (not terminated). Returns the bytes written, at
// most three quarters of the text's length.
int base64_decode(const char* text, unsigned char* dst);

// True when `text` is a base64 encoding as base64_encode writes it (or with "-" for "+"):
// characters of the alphabet in groups of four, the last group padded with "=". The empty
// text is valid.
bool base64_valid(std::string_view text);

// The encoding of `data`.
std::string base64_encode_alloc(std::string_view data);

// The decoded bytes of `text`, cut at the first zero byte (the result is used as a text).
std::string base64_decode_alloc(const char* text);
