// The one check of the settings file: what start-up, ATZ and the operator's tool find in it,
// each in its own words, and the settings to apply whole when nothing refuses them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "config/allow_list.h"
#include "config/settings.h"
#include "config/settings_keys.h"

struct settings_finding {
  std::string key;   // the key it concerns; empty for the file as a whole
  int level = 4;     // 3: the settings are refused; 4: taken, but not as written
  std::string text;  // as the daemon logs it
  // Logged past the log threshold: a file read as missing leaves the threshold at 0.
  bool past_threshold = false;
  // Said by the settings tool only: the daemon takes such a value without a word.
  bool advice = false;
  // Found in the lines themselves (a cut value, access lines that disagree), not in a value:
  // a rewritten file would no longer show it.
  bool in_lines = false;
};

// The file as read and checked.
struct settings_checked {
  bool read = false;   // a file was read (false: every number 0, every text empty)
  int open_error = 0;  // errno of a file that could not be opened; 0 when read or not regular
  modem_settings settings;
  allow_list allowed;                  // settings.allow parsed (empty when it does not parse)
  std::vector<std::string> tls_peers;  // settings.tls_peers parsed (empty when it does not parse)
  // In the order start-up logs them: the notes of the reader, the warnings, then the refusals
  // (the daemon stops at the first).
  std::vector<settings_finding> findings;
};

// Appends the findings of the values in `s` (not of the file they came from): first the
// warnings, in key-table order, then the refusals in the order start-up checks
// them (the allow list, the serial device, the device path and listen address, the flow
// control), then those of the TLS keys (a build without TLS, a missing or untrusted
// certificate, key or CA path, the port, the peers list, TLS_ONLY), then those of the raw and
// telnet ports (above 65535, or another listening port's). The files themselves are not read
// here; a private key that its group or others may read is warned about.
void settings_check_values(const modem_settings& s, std::vector<settings_finding>& found);

// Reads the file at `path` as settings_load does (the values are those the daemon takes) and
// checks it: the reader's notes, the values, and the lines themselves (a number key whose
// value is not a number, a MOD_ORVANE_ key that is not known, a key given twice, a list or
// path read cut, access lines that disagree).
settings_checked settings_check_file(const char* path);

// The first refusal of `c`, or nullptr when its settings may be applied.
const settings_finding* settings_refusal(const settings_checked& c);

// The known key nearest to `name` (in any letter case, "MOD_ORVANE_" added when it lacks it)
// when it is close enough to be a typing slip (two edits at most), else nullptr.
const settings_key* settings_key_near(std::string_view name);

// The finding as the settings tool prints it: after its key unless the text begins with it.
std::string settings_finding_line(const settings_finding& f);

// Logs the findings of a load at level 4 (the threshold applies, but for a path that is not a
// regular file: read as missing, it leaves the threshold at 0).
void settings_log_notes(const settings_notes& notes, const char* path);
