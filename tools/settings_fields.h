// The checks an operator's tool applies to one value of the settings file (keys and fields in
// config/settings_keys.h) before the daemon sees it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/settings.h"
#include "config/settings_keys.h"

// The field named `name`: a key of the file in any letter case, with or without its
// "MOD_ORVANE_" prefix ("baudrate" names MOD_ORVANE_BAUDRATE). nullptr when there is none.
const settings_key* find_settings_field(std::string_view name);

// Reads a decimal number of 0 to 4294967295, digits only (no sign, no blank). False for
// anything else.
bool parse_settings_number(std::string_view text, uint32_t& value);

// What a check found: an error stops the daemon at start-up (or makes it unusable); a warning
// names a value the daemon accepts but treats otherwise than written.
struct check_findings {
  std::vector<std::string> errors;
  std::vector<std::string> warnings;
};

// The findings of the settings check (config/settings_check.h) for the value of `field` in
// `s`, each led by its key, with the tool's advice besides; for a TLS key, those of every TLS
// key (a certificate without its key is a finding of both). The script is not parsed here
// (check_script does that).
void check_field(const settings_key& field, const modem_settings& s, check_findings& found);

// The findings of the settings check for the file at `path` as the daemon reads it (its
// notes, the values, the lines), led by their keys, with the tool's advice besides.
void check_file(const char* path, check_findings& found);

// Checks `script` line by line with the daemon's own loader on a scratch table: one error per
// line the loader refuses, with the reason (the daemon stops at the first; the check names them
// all), and one warning per dial rule that ATD would refuse under the settings `s`. A line is named
// by its number in the script's text (empty lines count) and by the number the daemon logs (they do
// not): "script line 4 (the daemon's line 3)".
void check_script(const std::string& script, const modem_settings& s, check_findings& found);

// The keys of settings_keys, optional ones aside, that no line of the file `content` sets
// (the daemon reads them as 0 or as the empty text).
std::vector<std::string_view> missing_keys(std::string_view content);
