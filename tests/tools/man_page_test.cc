// The manual page against the program it describes: settings keys and sample defaults,
// result codes as send_result writes them, the S-registers that exist.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <string>

#include "at/result_codes.h"
#include "at/sreg_table.h"
#include "modem/modem_state.h"
#include "test_support.h"
#include "tools/settings_fields.h"

namespace {

const std::string page = read_file(SOURCE_DIR "/packaging/orvaned.8");

// The text between the section heading `name` and the next one.
std::string section(const std::string& name) {
  size_t start = page.find(".SH " + name + "\n");
  if (start == std::string::npos) start = page.find(".SH \"" + name + "\"\n");
  if (start == std::string::npos) return "";
  size_t end = page.find("\n.SH ", start + 1);
  return page.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// KEY=value lines of the sample settings file.
std::map<std::string, std::string> sample_values() {
  std::map<std::string, std::string> values;
  std::string text = read_file(SOURCE_DIR "/packaging/settings");
  std::regex line("^([A-Z_]+)=(.*)$", std::regex::multiline);
  for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
    values[(*it)[1]] = (*it)[2];
  }
  return values;
}

TEST(ManPage, DocumentsEveryKeyWithTheSampleDefault) {
  ASSERT_FALSE(page.empty());
  std::map<std::string, std::string> documented;
  std::regex entry("\\\\fB(MOD_ORVANE_[A-Z_]+)\\\\fR \\(default ([^)]*)\\)");
  for (std::sregex_iterator it(page.begin(), page.end(), entry), end; it != end; ++it) {
    documented[(*it)[1]] = (*it)[2];
  }
  std::map<std::string, std::string> sample = sample_values();
  size_t absent = 0;
  for (const settings_key& field : settings_keys) {
    std::string key(field.key);
    ASSERT_TRUE(documented.count(key)) << key << " is not documented";
    // An optional key absent from the sample, as from a file the daemon saves without it, has
    // its absent value (empty for 0).
    if (field.optional && sample.count(key) == 0) {
      ++absent;
      EXPECT_EQ(documented[key], field.absent == 0 ? "empty" : std::to_string(field.absent)) << key;
      continue;
    }
    ASSERT_TRUE(sample.count(key)) << key << " is not in the sample";
    std::string want = sample[key].empty() ? "empty" : sample[key];
    EXPECT_EQ(documented[key], want) << key;
  }
  EXPECT_EQ(sample.size(), std::size(settings_keys) - absent);
  EXPECT_EQ(documented.size(), std::size(settings_keys));
}

// Each code's text as the daemon sends it in verbose form, and its number, stand in the table
// of result codes; nothing else does.
TEST(ManPage, ResultCodesAreThoseTheDaemonSends) {
  std::string codes = section("RESULT CODES");
  ASSERT_FALSE(codes.empty());
  std::map<std::string, int> documented;
  std::regex row("^([A-Z][A-Z 0-9]*[A-Z0-9])\\t([0-9]+)$", std::regex::multiline);
  for (std::sregex_iterator it(codes.begin(), codes.end(), row), end; it != end; ++it) {
    documented[(*it)[1]] = std::stoi((*it)[2]);
  }
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  static modem_state ms;
  ms.serial_fd.reset(fds[0]);
  ms.settings.stat_verbosity = 1;
  ms.settings.sreg_cr = '\r';
  ms.settings.sreg_lf = '\n';
  std::map<std::string, int> sent;
  for (int code = 0; code < RESULT_NONE; ++code) {
    send_result(ms, code);
    char buf[64];
    ssize_t n = recv(fds[1], buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0) continue;  // a code without text
    std::string text(buf, static_cast<size_t>(n));
    ASSERT_TRUE(text.size() > 2 && text.ends_with("\r\n")) << code;
    sent[text.substr(0, text.size() - 2)] = code;
  }
  ms.serial_fd.reset();
  close(fds[1]);
  EXPECT_EQ(sent.size(), 15u);
  EXPECT_EQ(documented, sent);
}

TEST(ManPage, DocumentsEveryRegisterThatExists) {
  std::string registers = section("S-REGISTERS");
  ASSERT_FALSE(registers.empty());
  for (int n = 0; n < SREG_COUNT; ++n) {
    bool exists = sreg_find(n) != nullptr;
    bool documented = registers.find(".B S" + std::to_string(n) + "\n") != std::string::npos;
    EXPECT_EQ(documented, exists) << "S" << n;
  }
}

}  // namespace
