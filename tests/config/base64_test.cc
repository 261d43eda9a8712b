#include "config/base64.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::string decode(const std::string& text) {
  std::vector<unsigned char> out(text.size() + 1, 0xAA);
  int n = base64_decode(text.c_str(), out.data());
  EXPECT_GE(n, 0);
  EXPECT_LE(static_cast<size_t>(n), text.size() * 3 / 4) << text;
  // Nothing beyond the returned length is touched (the output is not terminated).
  for (size_t i = static_cast<size_t>(n); i < out.size(); ++i) EXPECT_EQ(out[i], 0xAA) << text;
  return std::string(out.begin(), out.begin() + n);
}

std::string encode(const std::string& data) {
  size_t needed = 4 * ((data.size() + 2) / 3) + 1;
  std::vector<char> out(needed + 8, '#');
  base64_encode(reinterpret_cast<const unsigned char*>(data.data()), out.data(), data.size());
  EXPECT_EQ(out[needed - 1], '\0');
  for (size_t i = needed; i < out.size(); ++i) EXPECT_EQ(out[i], '#');
  return std::string(out.data());
}

TEST(Base64, DecodesLeniently) {
  struct {
    std::string text, bytes;
  } cases[] = {
      {"QUJD", "ABC"},
      {"Q U\nJ\tD\r\n", "ABC"},
      {"QUI=", "AB"},
      {"QUJ", "AB"},
      {"QQ==", "A"},
      {"Q", ""},
      {"", ""},
      {"====", ""},
      {"QQ==QQ==", "\x41\x04\x10"},
      {"=Q=U=J=D=", "ABC"},
      {"-w==", "\xfb"},
      {"+w==", "\xfb"},
      {"_w==", ""},
      {"/w==", "\xff"},
      {"\xff\x80QUJD\x01", "ABC"},
      {"QUJDQUJD", "ABCABC"},
      {"Zm9vYmFy", "foobar"},
      // Bits left in the last character are dropped unchecked.
      {"QR==", "A"},
  };
  for (const auto& c : cases) EXPECT_EQ(decode(c.text), c.bytes) << "text: \"" << c.text << "\"";
}

TEST(Base64, EncodesWithPadding) {
  struct {
    std::string bytes, text;
  } cases[] = {
      {"", ""},
      {"A", "QQ=="},
      {"AB", "QUI="},
      {"ABC", "QUJD"},
      {"ABCD", "QUJDRA=="},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {std::string("\xfb\xff\xbf", 3), "+/+/"},
      {std::string("\0\0\0", 3), "AAAA"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(encode(c.bytes), c.text);
    EXPECT_EQ(base64_encode_alloc(c.bytes), c.text);
  }
}

TEST(Base64, RoundTripsEveryByteValueAtEveryLength) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  for (size_t len = 0; len <= all.size(); ++len) {
    // Rotate the data so that every byte value stands in every position of a group.
    for (size_t shift = 0; shift < 3; ++shift) {
      std::string data = all.substr(shift) + all.substr(0, shift);
      data.resize(len);
      std::string text = base64_encode_alloc(data);
      EXPECT_EQ(text.size(), 4 * ((len + 2) / 3));
      EXPECT_EQ(decode(text), data) << "length " << len << " shift " << shift;
    }
  }
}

TEST(Base64, DecodeAllocCutsAtTheFirstZeroByte) {
  EXPECT_EQ(base64_decode_alloc(base64_encode_alloc(std::string("AB\0CD", 5)).c_str()), "AB");
  EXPECT_EQ(base64_decode_alloc("AAAA"), "");
  EXPECT_EQ(base64_decode_alloc(""), "");
  EXPECT_EQ(base64_decode_alloc(nullptr), "");
  std::string script = "D0800:192168001001\nI7:Line seven\r\n";
  EXPECT_EQ(base64_decode_alloc(base64_encode_alloc(script).c_str()), script);
}

}  // namespace

namespace {

TEST(Base64, ValidOnlyAsTheEncoderWritesIt) {
  const std::pair<const char*, bool> rows[] = {
      {"", true},         {"QUJD", true},      {"QUI=", true},    {"QQ==", true},
      {"QUJDRA==", true}, {"-_==", false},     {"-A==", true},    {"QUJ", false},
      {"QQ=", false},     {"Q===", false},     {"QUJD=", false},  {"QU JD", false},
      {"QU=D", false},    {"Q\nUJD", false},   {"QUJD\r", false}, {"D1:010000000001", false},
      {"====", false},    {"QUJDQ===", false},
  };
  for (const auto& [text, valid] : rows) EXPECT_EQ(base64_valid(text), valid) << text;
  for (size_t n = 0; n < 64; ++n) {
    std::string data(n, '\xa5');
    EXPECT_TRUE(base64_valid(base64_encode_alloc(data))) << n;
  }
}

}  // namespace
