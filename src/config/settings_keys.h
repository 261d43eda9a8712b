// The keys of the settings file and the fields of modem_settings they fill: the one table that
// the daemon's reader and writer, the operator's settings tool and the tests share.
#pragma once

#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

#include "config/settings.h"

enum settings_kind : int {
  SETTING_NUMBER = 0,  // unsigned 32-bit number
  SETTING_PARITY = 1,  // text (the parity letter), written as is, quoted when it holds a space
  SETTING_SCRIPT = 2,  // the substitution script, plain text in the record, base64 in the file
  SETTING_FLAG = 3,    // written as 0 or 1 (any other number is saved as 1)
  SETTING_ALLOW = 4,   // the callers' allow list: text as SETTING_PARITY, no line when empty
  SETTING_TEXT = 5,    // a path or a list of names: text as SETTING_PARITY, no line when empty
};

// What every key of the file begins with.
inline constexpr std::string_view SETTINGS_KEY_PREFIX = "MOD_ORVANE_";

struct settings_key {
  std::string_view key;
  settings_kind kind = SETTING_NUMBER;
  bool blank_when_zero = false;  // a number of 0 is written as nothing after "="
  bool optional = false;  // written only when used (not 0, not empty): a file without it is whole
  // A list or a path: read cut, part of it would stand for something else, so such a value is
  // never used (start-up stops, ATZ answers ERROR).
  bool list_or_path = false;
  // Decides who may call: two lines of it that disagree make the file refused.
  bool access = false;
  uint32_t modem_settings::*number = nullptr;
  std::string modem_settings::*text = nullptr;
  // A number key without a line reads as this; an optional one holding it is not written.
  uint32_t absent = 0;
};

// The lines of the file in the order they are written. The E, Q, V and &D lines stand before
// the S-register lines although their fields follow the S-registers in the record. Loading
// uses the same table; its order does not matter there, since every lookup scans the file.
inline constexpr settings_key settings_keys[] = {
    {.key = "MOD_ORVANE_ENABLED", .kind = SETTING_FLAG, .number = &modem_settings::enabled},
    {.key = "MOD_ORVANE_SERIAL", .blank_when_zero = true, .number = &modem_settings::serial},
    // A serial device by its path (a USB adapter), in place of MOD_ORVANE_SERIAL.
    {.key = "MOD_ORVANE_DEVICE",
     .kind = SETTING_TEXT,
     .optional = true,
     .list_or_path = true,
     .text = &modem_settings::device},
    {.key = "MOD_ORVANE_BAUDRATE", .blank_when_zero = true, .number = &modem_settings::baudrate},
    {.key = "MOD_ORVANE_DATABITS", .blank_when_zero = true, .number = &modem_settings::databits},
    {.key = "MOD_ORVANE_PARITY", .kind = SETTING_PARITY, .text = &modem_settings::parity},
    {.key = "MOD_ORVANE_STOPBITS", .blank_when_zero = true, .number = &modem_settings::stopbits},
    // Absent from a file saved by a daemon that does not use it, so that such a file stays as
    // it was.
    {.key = "MOD_ORVANE_FLOWCONTROL", .optional = true, .number = &modem_settings::flowcontrol},
    {.key = "MOD_ORVANE_SPLIT", .number = &modem_settings::split},
    {.key = "MOD_ORVANE_PORT", .blank_when_zero = true, .number = &modem_settings::port},
    // The one address of this machine the listening sockets take calls on.
    {.key = "MOD_ORVANE_LISTEN",
     .kind = SETTING_TEXT,
     .optional = true,
     .list_or_path = true,
     .text = &modem_settings::listen},
    {.key = "MOD_ORVANE_KEEPALIVE", .number = &modem_settings::keepalive},
    {.key = "MOD_ORVANE_KEEPALIVE_TIME",
     .blank_when_zero = true,
     .number = &modem_settings::keepalive_time},
    {.key = "MOD_ORVANE_KEEPALIVE_INTVL",
     .blank_when_zero = true,
     .number = &modem_settings::keepalive_intvl},
    {.key = "MOD_ORVANE_KEEPALIVE_PROBES",
     .blank_when_zero = true,
     .number = &modem_settings::keepalive_probes},
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
    {.key = "MOD_ORVANE_CFG_SCRIPT", .kind = SETTING_SCRIPT, .text = &modem_settings::cfg_script},
    {.key = "MOD_ORVANE_SYSLOGLEV", .number = &modem_settings::sysloglev},
    {.key = "MOD_ORVANE_SPOOF_OK", .number = &modem_settings::spoof_ok},
    {.key = "MOD_ORVANE_ALLOW",
     .kind = SETTING_ALLOW,
     .optional = true,
     .list_or_path = true,
     .access = true,
     .text = &modem_settings::allow},
    // Encrypted calls. The CA, the peers list and TLS_ONLY decide who may call.
    {.key = "MOD_ORVANE_TLS_CERT",
     .kind = SETTING_TEXT,
     .optional = true,
     .list_or_path = true,
     .text = &modem_settings::tls_cert},
    {.key = "MOD_ORVANE_TLS_KEY",
     .kind = SETTING_TEXT,
     .optional = true,
     .list_or_path = true,
     .text = &modem_settings::tls_key},
    {.key = "MOD_ORVANE_TLS_CA",
     .kind = SETTING_TEXT,
     .optional = true,
     .list_or_path = true,
     .access = true,
     .text = &modem_settings::tls_ca},
    {.key = "MOD_ORVANE_TLS_PORT", .optional = true, .number = &modem_settings::tls_port},
    {.key = "MOD_ORVANE_TLS_PEERS",
     .kind = SETTING_TEXT,
     .optional = true,
     .list_or_path = true,
     .access = true,
     .text = &modem_settings::tls_peers},
    {.key = "MOD_ORVANE_TLS_ONLY",
     .optional = true,
     .access = true,
     .number = &modem_settings::tls_only},
    // The command set of Hayes and cellular modems, and the settings of its commands.
    {.key = "MOD_ORVANE_COMPAT", .optional = true, .number = &modem_settings::compat},
    {.key = "MOD_ORVANE_STAT_DCD",
     .optional = true,
     .number = &modem_settings::stat_dcd,
     .absent = 1},
    {.key = "MOD_ORVANE_CALLER_ID", .optional = true, .number = &modem_settings::caller_id},
    {.key = "MOD_ORVANE_CLIP", .optional = true, .number = &modem_settings::clip},
    {.key = "MOD_ORVANE_CSQ", .optional = true, .number = &modem_settings::csq, .absent = 20},
    // Call records and metrics for a fleet's operator.
    {.key = "MOD_ORVANE_CALL_LOG",
     .kind = SETTING_TEXT,
     .optional = true,
     .list_or_path = true,
     .text = &modem_settings::call_log},
    {.key = "MOD_ORVANE_CALL_LOG_SIZE",
     .optional = true,
     .number = &modem_settings::call_log_size,
     .absent = CALL_LOG_SIZE_DEFAULT},
    {.key = "MOD_ORVANE_METRICS",
     .kind = SETTING_TEXT,
     .optional = true,
     .list_or_path = true,
     .text = &modem_settings::metrics},
    // Raw and telnet peers: their listening ports and the terminal type telnet reports.
    {.key = "MOD_ORVANE_RAW_PORT", .optional = true, .number = &modem_settings::raw_port},
    {.key = "MOD_ORVANE_TELNET_PORT", .optional = true, .number = &modem_settings::telnet_port},
    {.key = "MOD_ORVANE_TELNET_TERMINAL",
     .kind = SETTING_TEXT,
     .optional = true,
     .text = &modem_settings::telnet_terminal},
};
static_assert(std::size(settings_keys) == 51);
