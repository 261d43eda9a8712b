// The substitution script: lines "D<number>:<12 digits>" map dialled numbers to IPv4 addresses,
// lines "I<digits>:<text>" define texts of the information command. Parsed once at start-up.
#pragma once

#include <array>
#include <string>
#include <string_view>

enum subst_type : int { SUBST_DIAL = 0, SUBST_INFO = 1 };

constexpr int SUBST_MAX = 100;

struct substitution {
  int type = SUBST_DIAL;
  std::string pattern;      // compared as a prefix of the looked-up text
  std::string replacement;  // D: begins with twelve digits; I: printed as it stands
};

using subst_array = std::array<substitution, SUBST_MAX>;

// Parses `script` into table[count...]. Returns 0 when the whole script was accepted, non-zero
// after logging the failure ("error at line %i in configuration script", "processing of
// configuration script failed" and the line's own reason). Entries stored before a failing
// line stay.
int subst_load_script(subst_array& table, int& count, std::string script);

// The first of the `count` entries whose type is `type` and whose pattern is a prefix of
// `text` (an empty pattern matches everything), or nullptr.
const substitution* subst_lookup(const subst_array& table, int count, int type,
                                 std::string_view text);

// Releases the texts of the filled entries and empties the table.
void subst_clear(subst_array& table, int& count);
