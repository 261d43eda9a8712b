#include "config/subst_script.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace {

using log_lines = std::vector<std::pair<int, std::string>>;

struct verbose_log {
  uint32_t level = 8;
  verbose_log() { log_set_threshold(&level); }
  ~verbose_log() { log_set_threshold(nullptr); }
  verbose_log(const verbose_log&) = delete;
  verbose_log& operator=(const verbose_log&) = delete;
};

struct loaded {
  int rc = 0;
  int count = 0;
  subst_array table;
  log_lines log;
};

loaded load(const std::string& script) {
  verbose_log verbose;
  log_capture capture;
  loaded out;
  out.rc = subst_load_script(out.table, out.count, script);
  out.log = capture.lines();
  return out;
}

struct entry {
  int type;
  std::string pattern, replacement;
  bool operator==(const entry&) const = default;
};

std::vector<entry> entries(const loaded& l) {
  std::vector<entry> out;
  for (int i = 0; i < l.count; ++i)
    out.push_back({l.table[i].type, l.table[i].pattern, l.table[i].replacement});
  return out;
}

std::ostream& operator<<(std::ostream& os, const entry& e) {
  return os << "{" << e.type << ", \"" << e.pattern << "\", \"" << e.replacement << "\"}";
}

// The lines every failure ends with: the line number, the reason at the default level.
log_lines closing(int line, subst_refusal refusal) {
  std::string number = std::to_string(line);
  return {{3, "error at line " + number + " in configuration script"},
          {3, "line " + number + " of configuration script: " + subst_refusal_text(refusal)},
          {7, "processing of configuration script failed"}};
}

log_lines concat(log_lines a, const log_lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::string good_dial_lines(int n) {
  std::string script;
  for (int i = 0; i < n; ++i) {
    // Distinct three-digit patterns: none is a prefix of another.
    char line[64];
    snprintf(line, sizeof line, "D%03d:192168001%03d\n", i, i);
    script += line;
  }
  return script;
}

TEST(SubstScript, AcceptedScriptsFillTheTableInOrder) {
  struct {
    std::string script;
    std::vector<entry> expected;
  } cases[] = {
      {"", {}},
      {"\n\n", {}},
      {" \n\t\n\r\n", {}},
      {"D0800-1234:192168001001", {{SUBST_DIAL, "08001234", "192168001001"}}},
      {"d 0800 1234 : 192 168 001 001", {{SUBST_DIAL, "08001234", "192168001001"}}},
      {"  \tD1:192168001001", {{SUBST_DIAL, "1", "192168001001"}}},
      {"D1:192168001001x", {{SUBST_DIAL, "1", "192168001001X"}}},
      {"D1:192 168 001 001 tail", {{SUBST_DIAL, "1", "192168001001TAIL"}}},
      {"D+420:010000000001", {{SUBST_DIAL, "+420", "010000000001"}}},
      // Groups above 255 load; the dial command deals with them.
      {"D9:999999999999", {{SUBST_DIAL, "9", "999999999999"}}},
      {"D-:192168001001", {{SUBST_DIAL, "", "192168001001"}}},
      {"I 5:Router  One", {{SUBST_INFO, "5", "Router  One"}}},
      {"i7:a:b c\r", {{SUBST_INFO, "7", "a:b c\r"}}},
      {"I:some text", {{SUBST_INFO, "", "some text"}}},
      {"I12:x\nI1:y", {{SUBST_INFO, "12", "x"}, {SUBST_INFO, "1", "y"}}},
      {"D123:192168001001\nI123:text",
       {{SUBST_DIAL, "123", "192168001001"}, {SUBST_INFO, "123", "text"}}},
      {"\n\nI1:a\r\n\nD2:010000000001\r\n\n",
       {{SUBST_INFO, "1", "a\r"}, {SUBST_DIAL, "2", "010000000001"}}},
      // A zero byte ends the script.
      {std::string("I1:a\0X:y", 8), {{SUBST_INFO, "1", "a"}}},
      // Dial targets: a port, an IPv6 address, a host name; twelve digits followed by anything
      // but ":" and a port keep their old meaning.
      {"D1:192168001001:2000", {{SUBST_DIAL, "1", "192168001001:2000"}}},
      {"D1:192168001001:20x", {{SUBST_DIAL, "1", "192168001001:20X"}}},
      {"D1:[2001:db8::1]", {{SUBST_DIAL, "1", "[2001:DB8::1]"}}},
      {"D1:[::1]:65535", {{SUBST_DIAL, "1", "[::1]:65535"}}},
      {"D1:router-7.example.net:1", {{SUBST_DIAL, "1", "ROUTER-7.EXAMPLE.NET:1"}}},
      {"D1:" + std::string(251, '7') + ".a", {{SUBST_DIAL, "1", std::string(251, '7') + ".A"}}},
      // "TLS:" before any form: an encrypted call.
      {"D1:tls:192168001001", {{SUBST_DIAL, "1", "TLS:192168001001"}}},
      {"D1:TLS: [::1]:2001", {{SUBST_DIAL, "1", "TLS:[::1]:2001"}}},
      {"D1:Tls:router7.example.net", {{SUBST_DIAL, "1", "TLS:ROUTER7.EXAMPLE.NET"}}},
      {"D1:tls:raw:10.0.0.7:4001", {{SUBST_DIAL, "1", "TLS:RAW:10.0.0.7:4001"}}},
  };
  for (const auto& c : cases) {
    loaded l = load(c.script);
    EXPECT_EQ(l.rc, 0) << "script: \"" << c.script << "\"";
    EXPECT_EQ(entries(l), c.expected) << "script: \"" << c.script << "\"";
  }
}

// A dial target of a new form that is malformed: its reason, then those of any bad line.
log_lines bad_target(const std::string& target, const std::string& reason, int level = 7) {
  return concat(
      {{level, "bad dial target (" + target + "): " + reason}, {7, "bad substitution definition"}},
      closing(1, SUBST_BAD_DIAL_RULE));
}

TEST(SubstScript, FailuresLogTheirReasonThenTheLineNumber) {
  const std::string tls_nothing =
      "no dial target (twelve digits, [IPv6 address] or a name) after \"TLS:\"";
  struct {
    std::string script;
    log_lines expected;
  } cases[] = {
      {"D123", closing(1, SUBST_NO_COLON)},
      {"D123:", closing(1, SUBST_NO_REPLACEMENT)},
      {"I1:a\nD123:", closing(2, SUBST_NO_REPLACEMENT)},
      // Empty lines are not counted; lines of blanks are.
      {"I1:first\n\nX:y",
       concat({{7, "unknown substitution type"}}, closing(2, SUBST_UNKNOWN_TYPE))},
      {"I1:first\n \nX:y",
       concat({{7, "unknown substitution type"}}, closing(3, SUBST_UNKNOWN_TYPE))},
      {"\n\n\nX:y", concat({{7, "unknown substitution type"}}, closing(1, SUBST_UNKNOWN_TYPE))},
      {":x", concat({{7, "unknown substitution type"}}, closing(1, SUBST_UNKNOWN_TYPE))},
      {"D12a:192168001001", concat({{7, "phone number contains a letter A"},
                                    {7, "phone number 12A can't be normalized"},
                                    {7, "bad substitution definition"}},
                                   closing(1, SUBST_BAD_DIAL_RULE))},
      {"D+:192168001001", concat({{7, "phone number too short"},
                                  {7, "phone number + can't be normalized"},
                                  {7, "bad substitution definition"}},
                                 closing(1, SUBST_BAD_DIAL_RULE))},
      {"D:192168001001", concat({{7, "phone number too short"},
                                 {7, "phone number  can't be normalized"},
                                 {7, "bad substitution definition"}},
                                closing(1, SUBST_BAD_DIAL_RULE))},
      {"D1:19216800100", concat({{7, "bad length of substitution phone number (19216800100)"},
                                 {7, "bad substitution definition"}},
                                closing(1, SUBST_BAD_DIAL_RULE))},
      {"D1:1921680010011", concat({{7, "bad length of substitution phone number (1921680010011)"},
                                   {7, "bad substitution definition"}},
                                  closing(1, SUBST_BAD_DIAL_RULE))},
      {"D1:+192168001001", concat({{7, "bad length of substitution phone number (+192168001001)"},
                                   {7, "bad substitution definition"}},
                                  closing(1, SUBST_BAD_DIAL_RULE))},
      {"D1: \r", concat({{7, "bad length of substitution phone number ()"},
                         {7, "bad substitution definition"}},
                        closing(1, SUBST_BAD_DIAL_RULE))},
      {"I1a:text", concat({{7, "bad substitution definition"}}, closing(1, SUBST_BAD_INFO_RULE))},
      {"D1:192168001001:70000", bad_target("192168001001:70000", "port 70000 is not 1 to 65535")},
      {"D1:[2001:db8::1", bad_target("[2001:DB8::1", "no \"]\" after the IPv6 address")},
      {"D1:[2001:db8::g]", bad_target("[2001:DB8::G]", "\"2001:DB8::G\" is not an IPv6 address")},
      {"D1:[::1]2000", bad_target("[::1]2000", "\"2000\" is not \":\" and a port")},
      {"D1:router:http", bad_target("ROUTER:HTTP",
                                    "\"ROUTER:\" is not a prefix (TLS:, then RAW: or TELNET:), "
                                    "nor is \"HTTP\" a port",
                                    3)},
      {"D1:router..example", bad_target("ROUTER..EXAMPLE",
                                        "\"ROUTER..EXAMPLE\" is not a name (labels of letters, "
                                        "digits and hyphens separated by dots)")},
      {"D1:" + std::string(252, '7') + ".a",
       bad_target(std::string(252, '7') + ".A", "the name has 254 characters, more than 253")},
      {"D1:tls:", bad_target("TLS:", tls_nothing)},
      {"D1:tls:12345", bad_target("TLS:12345", tls_nothing)},
      {"D1:tls:192168001001:0", bad_target("TLS:192168001001:0", "port 0 is not 1 to 65535")},
      {"D1:tls:[::1", bad_target("TLS:[::1", "no \"]\" after the IPv6 address")},
      {"D1:tls:tls:x", bad_target("TLS:TLS:X", "\"TLS:\" twice", 3)},
      {"D1:raw:tls:x", bad_target("RAW:TLS:X", "\"TLS:\" comes before \"RAW:\"", 3)},
      {"D1:raw:telnet:x",
       bad_target("RAW:TELNET:X", "\"RAW:\" and \"TELNET:\" together: a peer is raw or telnet", 3)},
      {"D1:telnet:", bad_target("TELNET:",
                                "no dial target (twelve digits, [IPv6 address] or a "
                                "name) after \"TELNET:\"")},
      {"D1:1.2.3.256", bad_target("1.2.3.256",
                                  "\"1.2.3.256\" is not an IPv4 address (four "
                                  "numbers of 0 to 255)")},
      {"I-1:text", concat({{7, "bad substitution definition"}}, closing(1, SUBST_BAD_INFO_RULE))},
      {"I1:y\nI12:x",
       concat({{7, "duplicit substitution (type: I, pat: 12)"}}, closing(2, SUBST_DUPLICATE))},
      {"I1:y\nI1:x",
       concat({{7, "duplicit substitution (type: I, pat: 1)"}}, closing(2, SUBST_DUPLICATE))},
      {"I:y\nI3:x",
       concat({{7, "duplicit substitution (type: I, pat: 3)"}}, closing(2, SUBST_DUPLICATE))},
      // A pattern of separators only is empty and blocks every later D line.
      {"D-:192168001001\nD5:010000000001",
       concat({{7, "duplicit substitution (type: D, pat: 5)"}}, closing(2, SUBST_DUPLICATE))},
      {"D0800:192168001001\nd 0800-1:010000000001",
       concat({{7, "duplicit substitution (type: D, pat: 08001)"}}, closing(2, SUBST_DUPLICATE))},
  };
  for (const auto& c : cases) {
    loaded l = load(c.script);
    EXPECT_NE(l.rc, 0) << "script: \"" << c.script << "\"";
    EXPECT_EQ(l.log, c.expected) << "script: \"" << c.script << "\"";
  }
}

TEST(SubstScript, EntriesBeforeTheFailingLineStay) {
  loaded l = load("I1:a\nD2:010000000001\nbad line\nI3:c");
  EXPECT_NE(l.rc, 0);
  EXPECT_EQ(entries(l),
            (std::vector<entry>{{SUBST_INFO, "1", "a"}, {SUBST_DIAL, "2", "010000000001"}}));
}

TEST(SubstScript, TableHoldsOneHundredEntries) {
  loaded full = load(good_dial_lines(100));
  EXPECT_EQ(full.rc, 0);
  EXPECT_EQ(full.count, SUBST_MAX);

  // The validator runs before the capacity test, and the capacity test before the duplicate
  // test, so the same 101st position reports three different reasons.
  struct {
    std::string line;
    std::string reason;
    subst_refusal refusal;
  } cases[] = {
      {"I1:good", "substitution counter exceeded its maximum value", SUBST_TABLE_FULL},
      {"D999:1", "bad substitution definition", SUBST_BAD_DIAL_RULE},
      {"D000:010000000001", "substitution counter exceeded its maximum value", SUBST_TABLE_FULL},
  };
  for (const auto& c : cases) {
    loaded l = load(good_dial_lines(100) + c.line);
    EXPECT_NE(l.rc, 0) << c.line;
    EXPECT_EQ(l.count, SUBST_MAX) << c.line;
    ASSERT_GE(l.log.size(), 4u) << c.line;
    EXPECT_EQ(l.log[l.log.size() - 4], std::make_pair(7, c.reason)) << c.line;
    EXPECT_EQ(log_lines(l.log.end() - 3, l.log.end()), closing(101, c.refusal)) << c.line;
  }
}

TEST(SubstScript, SuccessLogsTheListAtVerboseLevel) {
  loaded l = load("d 0800 1234 : 192 168 001 001\nI 5:Router  One\n");
  EXPECT_EQ(l.rc, 0);
  EXPECT_EQ(l.log, (log_lines{{8, "substitution list:"},
                              {8, "type: D pat: 08001234 sub: 192168001001"},
                              {8, "type: I pat: 5 sub: Router  One"}}));

  loaded empty = load(" \n\n");
  EXPECT_EQ(empty.rc, 0);
  EXPECT_TRUE(empty.log.empty());
}

TEST(SubstLookup, FirstEntryOfTheTypeWhosePatternBeginsTheText) {
  loaded l = load(
      "D100:010000000100\n"
      "D+420:010000000420\n"
      "D10:010000000010\n"
      "I12:twelve\n"
      "I1:one\n"
      "I:any\n");
  ASSERT_EQ(l.rc, 0);
  struct {
    int type;
    std::string text;
    const char* replacement;  // nullptr: no match
  } cases[] = {
      {SUBST_DIAL, "1005", "010000000100"},
      {SUBST_DIAL, "100", "010000000100"},
      {SUBST_DIAL, "10", "010000000010"},
      {SUBST_DIAL, "1", nullptr},
      {SUBST_DIAL, "+420123", "010000000420"},
      {SUBST_DIAL, "420123", nullptr},
      {SUBST_DIAL, "", nullptr},
      {SUBST_INFO, "123", "twelve"},
      {SUBST_INFO, "13", "one"},
      {SUBST_INFO, "7", "any"},
      {SUBST_INFO, "", "any"},
  };
  for (const auto& c : cases) {
    const substitution* found = subst_lookup(l.table, l.count, c.type, c.text);
    if (c.replacement == nullptr) {
      EXPECT_EQ(found, nullptr) << c.type << " " << c.text;
    } else {
      ASSERT_NE(found, nullptr) << c.type << " " << c.text;
      EXPECT_EQ(found->type, c.type);
      EXPECT_EQ(found->replacement, c.replacement) << c.type << " " << c.text;
    }
  }
}

TEST(SubstLookup, ComparesExactlyAndOnlyFilledEntries) {
  subst_array table;
  table[0] = {.type = SUBST_INFO, .pattern = "ab", .replacement = "lower"};
  table[1] = {.type = SUBST_INFO, .pattern = "X", .replacement = "beyond the count"};
  EXPECT_EQ(subst_lookup(table, 1, SUBST_INFO, "AB"), nullptr);
  EXPECT_EQ(subst_lookup(table, 1, SUBST_INFO, "abc"), &table[0]);
  EXPECT_EQ(subst_lookup(table, 1, SUBST_INFO, "X"), nullptr);
  EXPECT_EQ(subst_lookup(table, 2, SUBST_INFO, "X"), &table[1]);
  EXPECT_EQ(subst_lookup(table, 0, SUBST_INFO, "abc"), nullptr);
}

TEST(SubstClear, EmptiesTheTableForAFreshLoad) {
  loaded l = load("I1:" + std::string(200, 'x') + "\nD2:010000000001");
  ASSERT_EQ(l.count, 2);
  subst_clear(l.table, l.count);
  EXPECT_EQ(l.count, 0);
  for (const substitution& s : l.table) {
    EXPECT_TRUE(s.pattern.empty());
    EXPECT_TRUE(s.replacement.empty());
    EXPECT_EQ(s.replacement.capacity(), std::string().capacity());
  }
  EXPECT_EQ(subst_lookup(l.table, l.count, SUBST_INFO, "1"), nullptr);

  // Patterns loaded before would otherwise make these duplicates.
  EXPECT_EQ(subst_load_script(l.table, l.count, "I1:again\nD2:010000000002"), 0);
  EXPECT_EQ(l.count, 2);
}

}  // namespace

// The loader's line numbers skip empty lines; the text's own numbers count them. A zero byte
// ends the script.
TEST(SubstScript, LinesAreNumberedAsTheLoaderAndAsTheText) {
  std::string text("\nI1:a\n\n \nD2:0100000000012\n\n");
  text.append("I3:x\0I4:hidden", 14);
  std::vector<subst_script_line> lines = subst_script_lines(text);
  ASSERT_EQ(lines.size(), 4u);
  struct {
    const char* text;
    int line;
    int text_line;
  } expected[] = {{"I1:a", 1, 2}, {" ", 2, 4}, {"D2:0100000000012", 3, 5}, {"I3:x", 4, 7}};
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].text, expected[i].text) << i;
    EXPECT_EQ(lines[i].line, expected[i].line) << i;
    EXPECT_EQ(lines[i].text_line, expected[i].text_line) << i;
  }
  loaded l = load("\n\nI1:a\n\nD2:010000000001\n");
  ASSERT_EQ(l.count, 2);
  EXPECT_EQ(l.table[0].line, 1);
  EXPECT_EQ(l.table[1].line, 2);
}

// Each refused line says why, also where the loader's log has no reason of its own.
TEST(SubstScript, EachRefusalIsNamed) {
  struct {
    const char* line;
    subst_refusal refusal;
  } cases[] = {
      {"D1:192168001001", SUBST_ACCEPTED},
      {"   ", SUBST_ACCEPTED},
      {"D123", SUBST_NO_COLON},
      {"D123:", SUBST_NO_REPLACEMENT},
      {"X:y", SUBST_UNKNOWN_TYPE},
      {"D12a:192168001001", SUBST_BAD_DIAL_RULE},
      {"D1:19216800100", SUBST_BAD_DIAL_RULE},
      {"I1a:text", SUBST_BAD_INFO_RULE},
      {"I91:x", SUBST_DUPLICATE},
  };
  for (const auto& c : cases) {
    subst_array table;
    int count = 0;
    ASSERT_EQ(subst_add_line(table, count, "I9:seed", 1), SUBST_ACCEPTED);
    EXPECT_EQ(subst_add_line(table, count, c.line, 2), c.refusal) << c.line;
    // Only an accepted rule is stored (a line of blanks holds none).
    EXPECT_EQ(count, c.refusal == SUBST_ACCEPTED && c.line[0] != ' ' ? 2 : 1) << c.line;
    EXPECT_NE(std::string(subst_refusal_text(c.refusal)), "") << c.line;
  }
  subst_array table;
  int count = SUBST_MAX;
  EXPECT_EQ(subst_add_line(table, count, "I1:x", 101), SUBST_TABLE_FULL);
}
