#include "config/text_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

// log_msg drops everything above the threshold; these tests want every message.
struct verbose_log {
  uint32_t level = 8;
  verbose_log() { log_set_threshold(&level); }
  ~verbose_log() { log_set_threshold(nullptr); }
  verbose_log(const verbose_log&) = delete;
  verbose_log& operator=(const verbose_log&) = delete;
};

TEST(StripBlanksUpper, RemovesEveryBlankAndUpperCasesAsciiLetters) {
  struct {
    std::string in, out;
  } cases[] = {
      {"at e0", "ATE0"},
      {" \t a\nb\vc\fd\re \r\n", "ABCDE"},
      {"", ""},
      {"   ", ""},
      {"at&d2 s7=60s7?", "AT&D2S7=60S7?"},
      {"a-b.c/z", "A-B.C/Z"},
      // Bytes above 0x7F are neither blanks nor letters.
      {"\xe9t\xa0x", "\xe9T\xa0X"},
      {"AT", "AT"},
  };
  for (const auto& c : cases) {
    std::string text = c.in;
    strip_blanks_upper(text.data());
    EXPECT_EQ(std::string(text.c_str()), c.out) << "input: \"" << c.in << "\"";
  }
}

TEST(NormalizePhoneNumber, KeepsDigitsAndLeadingPlus) {
  struct {
    std::string in;
    int result;
    std::string out;
  } cases[] = {
      {"192168001001", 12, "192168001001"},
      {"192.168.001.001", 15, "192168001001"},
      {"192-168-001-001", 15, "192168001001"},
      {"+420 123", 8, "+420123"},
      {"++1", 3, "+1"},
      {"1+2", 3, "12"},
      {"(0)#*,5", 7, "05"},
      {"\xff"
       "12\x80",
       4, "12"},
      // Only separators: an empty number, but not an error.
      {"-", 1, ""},
      {"+-", 2, "+"},
  };
  for (const auto& c : cases) {
    verbose_log verbose;
    log_capture log;
    std::string text = c.in;
    EXPECT_EQ(normalize_phone_number(text.data()), c.result) << "input: \"" << c.in << "\"";
    EXPECT_EQ(std::string(text.c_str()), c.out) << "input: \"" << c.in << "\"";
    EXPECT_TRUE(log.lines().empty()) << "input: \"" << c.in << "\"";
  }
}

TEST(NormalizePhoneNumber, RefusesEmptyNumbersAndLetters) {
  struct {
    std::string in;
    std::string message;
  } cases[] = {
      {"", "phone number too short"},
      {"+", "phone number too short"},
      {"12a3", "phone number contains a letter a"},
      {"T192168001001", "phone number contains a letter T"},
      {"+Z", "phone number contains a letter Z"},
      {"1-2-X", "phone number contains a letter X"},
  };
  for (const auto& c : cases) {
    verbose_log verbose;
    log_capture log;
    std::string text = c.in;
    EXPECT_EQ(normalize_phone_number(text.data()), -1) << "input: \"" << c.in << "\"";
    ASSERT_EQ(log.lines().size(), 1u) << "input: \"" << c.in << "\"";
    EXPECT_EQ(log.lines()[0], std::make_pair(7, c.message));
  }
}

TEST(NormalizePhoneNumber, MessagesFollowTheLogThreshold) {
  uint32_t level = 6;
  log_set_threshold(&level);
  log_capture log;
  std::string text = "+";
  EXPECT_EQ(normalize_phone_number(text.data()), -1);
  log_set_threshold(nullptr);
  EXPECT_TRUE(log.lines().empty());
}

}  // namespace
