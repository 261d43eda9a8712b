#include "tools/settings_fields.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "config/settings.h"

namespace {

using testing::HasSubstr;

std::vector<std::string> keys_of_lines(const std::string& text) {
  std::vector<std::string> keys;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(start, end - start);
    keys.push_back(line.substr(0, line.find('=')));
    start = end == std::string::npos ? text.size() : end + 1;
  }
  return keys;
}

modem_settings load_text(const std::string& text) {
  modem_settings s;
  FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  settings_load_stream(s, file);
  if (file != nullptr) fclose(file);
  return s;
}

// The tool's table must name the same keys, in the same order, as the daemon's writer; an
// optional key is written only when it is in use.
TEST(SettingsFields, KeysAreThoseTheDaemonWrites) {
  std::vector<std::string> ours;
  std::vector<std::string> required;
  for (const settings_key& field : settings_keys) {
    ours.emplace_back(field.key);
    if (!field.optional) required.emplace_back(field.key);
  }
  modem_settings in_use;
  in_use.flowcontrol = 3;
  in_use.allow = "10.0.0.1";
  in_use.tls_cert = in_use.tls_key = in_use.tls_ca = in_use.tls_peers = "x";
  in_use.tls_port = in_use.tls_only = 1;
  in_use.compat = in_use.caller_id = in_use.clip = in_use.csq = in_use.stat_dcd = 3;
  in_use.device = in_use.listen = "x";
  in_use.call_log = in_use.metrics = "x";
  in_use.call_log_size = 3;
  in_use.raw_port = in_use.telnet_port = 4;
  in_use.telnet_terminal = "x";
  EXPECT_EQ(keys_of_lines(settings_format(in_use)), ours);
  EXPECT_EQ(keys_of_lines(settings_format(modem_settings{})), required);
}

// Each member pointer reaches the field the daemon reads for its key: a value stored through
// the table comes back from the daemon's reader under that key only.
TEST(SettingsFields, EachKeyReachesItsField) {
  uint32_t next = 1001;
  for (const settings_key& field : settings_keys) {
    SCOPED_TRACE(std::string(field.key));
    modem_settings s;
    std::string written;
    if (field.kind == SETTING_FLAG) {
      s.*field.number = 1;
      written = "1";
    } else if (field.kind == SETTING_NUMBER) {
      s.*field.number = next;
      written = std::to_string(next++);
    } else if (field.kind == SETTING_PARITY) {
      s.*field.text = "O";
      written = "O";
    } else if (field.kind == SETTING_ALLOW || field.kind == SETTING_TEXT) {
      s.*field.text = "10.0.0.0/8, 10.1.2.3";
      written = "10.0.0.0/8, 10.1.2.3";
    } else {
      s.*field.text = "I9:nine\n";
      written = "I9:nine\n";
    }
    modem_settings back = load_text(settings_format(s));
    for (const settings_key& other : settings_keys) {
      if (other.number != nullptr) {
        uint32_t want = &other == &field ? s.*field.number : other.absent;
        EXPECT_EQ(back.*other.number, want) << other.key;
      } else {
        std::string want = &other == &field ? written : "";
        EXPECT_EQ(back.*other.text, want) << other.key;
      }
    }
  }
}

TEST(SettingsFields, FindsKeysInAnyCaseWithOrWithoutPrefix) {
  struct row {
    const char* name;
    const char* key;  // nullptr: no such field
  };
  const row rows[] = {
      {"MOD_ORVANE_BAUDRATE", "MOD_ORVANE_BAUDRATE"},
      {"mod_orvane_baudrate", "MOD_ORVANE_BAUDRATE"},
      {"baudrate", "MOD_ORVANE_BAUDRATE"},
      {"Sreg_Conn_Tout", "MOD_ORVANE_SREG_CONN_TOUT"},
      {"cfg_script", "MOD_ORVANE_CFG_SCRIPT"},
      {"KEEPALIVE", "MOD_ORVANE_KEEPALIVE"},
      {"keepalive_time", "MOD_ORVANE_KEEPALIVE_TIME"},
      {"ORVANE_BAUDRATE", nullptr},
      {"MOD_ORVANE_", nullptr},
      {"", nullptr},
      {"baud", nullptr},
      {"MOD_ORVANE_BAUDRATE ", nullptr},
  };
  for (const row& r : rows) {
    const settings_key* field = find_settings_field(r.name);
    if (r.key == nullptr) {
      EXPECT_EQ(field, nullptr) << r.name;
    } else {
      ASSERT_NE(field, nullptr) << r.name;
      EXPECT_EQ(field->key, r.key) << r.name;
    }
  }
}

TEST(SettingsFields, NumbersAreDecimalDigitsWithin32Bits) {
  struct row {
    const char* text;
    bool ok;
    uint32_t value;
  };
  const row rows[] = {
      {"0", true, 0},      {"115200", true, 115200}, {"4294967295", true, 4294967295u},
      {"007", true, 7},    {"4294967296", false, 0}, {"99999999999", false, 0},
      {"-1", false, 0},    {"+5", false, 0},         {"", false, 0},
      {"12abc", false, 0}, {" 1", false, 0},         {"1 ", false, 0},
      {"0x10", false, 0},
  };
  for (const row& r : rows) {
    uint32_t value = 12345;
    EXPECT_EQ(parse_settings_number(r.text, value), r.ok) << r.text;
    EXPECT_EQ(value, r.ok ? r.value : 12345u) << r.text;
  }
}

TEST(SettingsFields, ChecksValuesAsStartUpReadsThem) {
  struct row {
    const char* key;
    uint32_t value;
    const char* error;    // expected in the only error, or nullptr for none
    const char* warning;  // expected in some warning, or nullptr for none
  };
  const row rows[] = {
      {"MOD_ORVANE_SERIAL", 0, nullptr, nullptr},
      {"MOD_ORVANE_SERIAL", 1, nullptr, nullptr},
      {"MOD_ORVANE_SERIAL", 2, "invalid serial device number 2 (0 or 1 expected)", nullptr},
      {"MOD_ORVANE_BAUDRATE", 115200, nullptr, nullptr},
      {"MOD_ORVANE_BAUDRATE", 300, nullptr, nullptr},
      {"MOD_ORVANE_BAUDRATE", 230400, nullptr, "no CONNECT result code"},
      {"MOD_ORVANE_BAUDRATE", 9601, nullptr, "the port runs at 9600 bit/s"},
      {"MOD_ORVANE_DATABITS", 7, nullptr, nullptr},
      {"MOD_ORVANE_DATABITS", 6, nullptr, "eight data bits are used"},
      {"MOD_ORVANE_STOPBITS", 3, nullptr, "one stop bit is used"},
      {"MOD_ORVANE_PORT", 0, nullptr, "port chosen by the system"},
      {"MOD_ORVANE_PORT", 70000, nullptr, "port 4464 is used"},
      {"MOD_ORVANE_STAT_DTR_ACTION", 4, nullptr, "a DTR drop does nothing"},
      {"MOD_ORVANE_SREG_CR", 255, nullptr, nullptr},
      {"MOD_ORVANE_SREG_CR", 256, nullptr, "no received byte ends a command line"},
      {"MOD_ORVANE_FLOWCONTROL", 0, nullptr, nullptr},
      {"MOD_ORVANE_FLOWCONTROL", 3, nullptr, nullptr},
      {"MOD_ORVANE_FLOWCONTROL", 4, nullptr, nullptr},
      {"MOD_ORVANE_FLOWCONTROL", 2, "invalid flow control 2 (0, 3 or 4 expected)", nullptr},
      {"MOD_ORVANE_SREG_ESC_DELAY", 4294967295u, nullptr, nullptr},  // takes effect whole
      {"MOD_ORVANE_SREG_DTR_IGNORE", 4294967295u, nullptr, nullptr},
      {"MOD_ORVANE_SREG_HUP_DELAY", 214748364, nullptr, nullptr},
      {"MOD_ORVANE_SREG_HUP_DELAY", 214748365, nullptr,
       "S10 is 214748365, above 214748364: it takes effect as 214748364"},
      {"MOD_ORVANE_SREG_CONN_TOUT", 2147483648u, nullptr, "S7 is 2147483648, above 2147483647"},
      {"MOD_ORVANE_SREG_SPLIT", 4294967295u, nullptr, nullptr},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(std::string(r.key) + "=" + std::to_string(r.value));
    modem_settings s;
    s.baudrate = 115200;
    s.databits = 8;
    s.stopbits = 1;
    s.port = 2000;
    s.parity = "N";
    const settings_key* field = find_settings_field(r.key);
    ASSERT_NE(field, nullptr);
    s.*field->number = r.value;
    check_findings found;
    check_field(*field, s, found);
    if (r.error == nullptr) {
      EXPECT_THAT(found.errors, testing::IsEmpty());
    } else {
      ASSERT_EQ(found.errors.size(), 1u);
      EXPECT_THAT(found.errors[0], HasSubstr(r.error));
    }
    if (r.warning == nullptr) {
      EXPECT_THAT(found.warnings, testing::IsEmpty());
    } else {
      EXPECT_THAT(found.warnings, testing::Contains(HasSubstr(r.warning)));
    }
  }
}

// One error for each refused line, with its reason and both line numbers, however many
// messages the daemon logs for it; a warning for a dial rule that ATD would refuse.
TEST(SettingsFields, ScriptCheckNamesEveryBadLineOnce) {
  check_findings good;
  check_script("D0800-1234:192168001001\nI7:Line seven\n", modem_settings{}, good);
  EXPECT_THAT(good.errors, testing::IsEmpty());
  EXPECT_THAT(good.warnings, testing::IsEmpty());

  check_findings found;
  check_script(
      "I1:first\n\nX:y\nD123\nD12a:192168001001\nD1:256000000001\n\n\nI1:dup\nD5:\n"
      "I2x:text\nD2:000000000000",
      modem_settings{}, found);
  EXPECT_THAT(
      found.errors,
      testing::ElementsAre(
          "script line 3 (the daemon's line 2): \"X:y\": unknown substitution type: a rule "
          "begins with D (dial) or I (information)",
          "script line 4 (the daemon's line 3): \"D123\": no \":\" between the pattern and the "
          "replacement",
          "script line 5 (the daemon's line 4): \"D12a:192168001001\": bad dial rule: D, a phone "
          "number, \":\" and exactly twelve digits, an [IPv6 address] or a host name, each "
          "with \":\" and a port or without; phone number contains a letter A; phone number "
          "12A can't be normalized",
          "script line 9 (the daemon's line 6): \"I1:dup\": an earlier rule of the same type has "
          "a pattern that begins this one (list the longer pattern first); duplicit "
          "substitution (type: I, pat: 1)",
          "script line 10 (the daemon's line 7): \"D5:\": nothing after the \":\"",
          "script line 11 (the daemon's line 8): \"I2x:text\": bad information rule: I, digits "
          "only (or none), \":\" and a text"));
  EXPECT_THAT(found.warnings,
              testing::ElementsAre(
                  "script line 6 (the daemon's line 5): \"D1:256000000001\": ATD refuses dial "
                  "rule D1:256000000001: a group of three digits is above 255",
                  "script line 12 (the daemon's line 9): \"D2:000000000000\": ATD refuses dial "
                  "rule D2:000000000000: it stands for 0.0.0.0"));
}

TEST(SettingsFields, MissingKeysAreThoseNoLineSets) {
  std::string all = settings_format(modem_settings{});
  EXPECT_THAT(missing_keys(all), testing::IsEmpty());
  EXPECT_THAT(missing_keys("mod_orvane_port=1\r\nMOD_ORVANE_SERIAL\nMOD_ORVANE_BAUDRATE =9600\n"),
              testing::AllOf(testing::Not(testing::Contains("MOD_ORVANE_PORT")),
                             testing::Contains("MOD_ORVANE_SERIAL"),
                             testing::Contains("MOD_ORVANE_BAUDRATE")));
  // Optional keys are written only when used: never missing.
  EXPECT_EQ(missing_keys("").size(), std::size(settings_keys) - 21);
  EXPECT_THAT(missing_keys(""), testing::Not(testing::Contains("MOD_ORVANE_FLOWCONTROL")));
  EXPECT_THAT(missing_keys(""), testing::Not(testing::Contains("MOD_ORVANE_ALLOW")));
  EXPECT_THAT(missing_keys(""), testing::Not(testing::Contains("MOD_ORVANE_TLS_PEERS")));
}

}  // namespace
