// The substitution script: lines "D<number>:<target>" map dialled numbers to the addresses
// (twelve digits, an IPv6 address, a host name, each with a port or without: dial_target.h),
// lines "I<digits>:<text>" define texts of the information command. Parsed once at start-up.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "config/dial_target.h"

enum subst_type : int { SUBST_DIAL = 0, SUBST_INFO = 1 };

constexpr int SUBST_MAX = 100;

struct substitution {
  int type = SUBST_DIAL;
  std::string pattern;      // compared as a prefix of the looked-up text
  std::string replacement;  // D: a dial target (dial_target.h); I: printed as it stands
  int line = 0;             // the script line it came from, counted as the loader's messages do
  dial_target target{};     // D: the replacement, parsed when the rule is loaded
};

using subst_array = std::array<substitution, SUBST_MAX>;

// Why the loader refuses a line of the script.
enum subst_refusal : int {
  SUBST_ACCEPTED = 0,
  SUBST_NO_COLON = 1,        // no ":" after the pattern
  SUBST_NO_REPLACEMENT = 2,  // nothing after the ":"
  SUBST_UNKNOWN_TYPE = 3,    // neither D nor I
  SUBST_BAD_DIAL_RULE = 4,   // pattern not a phone number, or no dial target after ":"
  SUBST_BAD_INFO_RULE = 5,   // pattern not digits only
  SUBST_TABLE_FULL = 6,      // a rule beyond SUBST_MAX
  SUBST_DUPLICATE = 7,       // an earlier pattern of the same type begins this one
};

// One line of a script as the loader counts it: empty lines are skipped and not counted
// (`line`, the number in the loader's messages); `text_line` counts every line of the text.
struct subst_script_line {
  std::string text;
  int line = 0;
  int text_line = 0;
};

// The lines of `script` that the loader reads, in order. The script ends at a zero byte.
std::vector<subst_script_line> subst_script_lines(std::string_view script);

// Parses one line (`line` as subst_script_lines numbers it) into table[count], logging the
// line's own reason when it is refused (not the closing "error at line" messages).
subst_refusal subst_add_line(subst_array& table, int& count, std::string text, int line);

// A sentence for an operator saying why a line of this kind is refused.
const char* subst_refusal_text(subst_refusal refusal);

// The message subst_add_line logs for this refusal as it stands, nullptr when it logs none
// of its own (or logs it with details).
const char* subst_refusal_logged(subst_refusal refusal);

// Parses `script` into table[count...]. Returns 0 when the whole script was accepted, non-zero
// after logging the failure (the line's own reason, "error at line %i in configuration script",
// "line %i of configuration script: " with subst_refusal_text, and "processing of configuration
// script failed"). Entries stored before a failing
// line stay.
int subst_load_script(subst_array& table, int& count, std::string script);

// The first of the `count` entries whose type is `type` and whose pattern is a prefix of
// `text` (an empty pattern matches everything), or nullptr.
const substitution* subst_lookup(const subst_array& table, int count, int type,
                                 std::string_view text);

// Releases the texts of the filled entries and empties the table.
void subst_clear(subst_array& table, int& count);
