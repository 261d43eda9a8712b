// The keys of the settings file and the fields of modem_settings they fill, with the checks an
// operator's tool applies to one value before the daemon sees it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/settings.h"

enum settings_field_kind : int {
  FIELD_NUMBER = 0,  // unsigned 32-bit number
  FIELD_PARITY = 1,  // text, first letter N, E or O
  FIELD_SCRIPT = 2,  // the substitution script, plain text in the record, base64 in the file
  FIELD_FLAG = 3,    // 0 or 1 (the daemon saves any other number as 1)
};

struct settings_field {
  std::string_view key;
  settings_field_kind kind = FIELD_NUMBER;
  uint32_t modem_settings::*number = nullptr;
  std::string modem_settings::*text = nullptr;
};

// Every key in the order settings_save writes them.
inline constexpr settings_field settings_fields[] = {
    {.key = "MOD_ORVANE_ENABLED", .kind = FIELD_FLAG, .number = &modem_settings::enabled},
    {.key = "MOD_ORVANE_SERIAL", .number = &modem_settings::serial},
    {.key = "MOD_ORVANE_BAUDRATE", .number = &modem_settings::baudrate},
    {.key = "MOD_ORVANE_DATABITS", .number = &modem_settings::databits},
    {.key = "MOD_ORVANE_PARITY", .kind = FIELD_PARITY, .text = &modem_settings::parity},
    {.key = "MOD_ORVANE_STOPBITS", .number = &modem_settings::stopbits},
    {.key = "MOD_ORVANE_SPLIT", .number = &modem_settings::split},
    {.key = "MOD_ORVANE_PORT", .number = &modem_settings::port},
    {.key = "MOD_ORVANE_KEEPALIVE", .number = &modem_settings::keepalive},
    {.key = "MOD_ORVANE_KEEPALIVE_TIME", .number = &modem_settings::keepalive_time},
    {.key = "MOD_ORVANE_KEEPALIVE_INTVL", .number = &modem_settings::keepalive_intvl},
    {.key = "MOD_ORVANE_KEEPALIVE_PROBES", .number = &modem_settings::keepalive_probes},
    {.key = "MOD_ORVANE_STAT_ECHO", .number = &modem_settings::stat_echo},
    {.key = "MOD_ORVANE_STAT_QUIET", .number = &modem_settings::stat_quiet},
    {.key = "MOD_ORVANE_STAT_VERBOSITY", .number = &modem_settings::stat_verbosity},
    {.key = "MOD_ORVANE_STAT_DTR_ACTION", .number = &modem_settings::stat_dtr_action},
    {.key = "MOD_ORVANE_SREG_AUTO_ANSWER", .number = &modem_settings::sreg_auto_answer},
    {.key = "MOD_ORVANE_SREG_ESC", .number = &modem_settings::sreg_esc},
    {.key = "MOD_ORVANE_SREG_CR", .number = &modem_settings::sreg_cr},
    {.key = "MOD_ORVANE_SREG_LF", .number = &modem_settings::sreg_lf},
    {.key = "MOD_ORVANE_SREG_BS", .number = &modem_settings::sreg_bs},
    {.key = "MOD_ORVANE_SREG_RING_INT", .number = &modem_settings::sreg_ring_int},
    {.key = "MOD_ORVANE_SREG_CONN_TOUT", .number = &modem_settings::sreg_conn_tout},
    {.key = "MOD_ORVANE_SREG_HUP_DELAY", .number = &modem_settings::sreg_hup_delay},
    {.key = "MOD_ORVANE_SREG_SPLIT", .number = &modem_settings::sreg_split},
    {.key = "MOD_ORVANE_SREG_ESC_DELAY", .number = &modem_settings::sreg_esc_delay},
    {.key = "MOD_ORVANE_SREG_DTR_IGNORE", .number = &modem_settings::sreg_dtr_ignore},
    {.key = "MOD_ORVANE_CFG_SCRIPT", .kind = FIELD_SCRIPT, .text = &modem_settings::cfg_script},
    {.key = "MOD_ORVANE_SYSLOGLEV", .number = &modem_settings::sysloglev},
    {.key = "MOD_ORVANE_SPOOF_OK", .number = &modem_settings::spoof_ok},
};

// The field named `name`: a key of the file in any letter case, with or without its
// "MOD_ORVANE_" prefix ("baudrate" names MOD_ORVANE_BAUDRATE). nullptr when there is none.
const settings_field* find_settings_field(std::string_view name);

// Reads a decimal number of 0 to 4294967295, digits only (no sign, no blank). False for
// anything else.
bool parse_settings_number(std::string_view text, uint32_t& value);

// What a check found: an error stops the daemon at start-up (or makes it unusable); a warning
// names a value the daemon accepts but treats otherwise than written.
struct check_findings {
  std::vector<std::string> errors;
  std::vector<std::string> warnings;
};

// Checks the value of `field` in `s` as start-up would read it. The script is not parsed here
// (check_script does that).
void check_field(const settings_field& field, const modem_settings& s, check_findings& found);

// Checks `script` line by line with the daemon's own loader on a scratch table: one error per
// line the loader refuses, with the reason (the daemon stops at the first; the check names them
// all), and one warning per dial rule that ATD would refuse. A line is named by its number in
// the script's text (empty lines count) and by the number the daemon logs (they do not):
// "script line 4 (the daemon's line 3)".
void check_script(const std::string& script, check_findings& found);

// The keys of settings_fields that no line of the file `content` sets (the daemon reads them
// as 0 or as the empty text).
std::vector<std::string_view> missing_keys(std::string_view content);
