// The settings record: the daemon's whole configuration and the live store of the S-registers
// and the E, Q, V and &D states, loaded from and saved to a flat "KEY=value" file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Call record files are rotated at this size unless MOD_ORVANE_CALL_LOG_SIZE says otherwise.
constexpr uint32_t CALL_LOG_SIZE_DEFAULT = 1048576;

// One field per key of the settings file, in file-table order. Texts are owned by the record.
struct modem_settings {
  uint32_t enabled = 0;           // MOD_ORVANE_ENABLED, kept and saved as 0/1
  uint32_t serial = 0;            // 0: /dev/ttyS0, 1: /dev/ttyS1
  uint32_t baudrate = 0;          // bit/s
  uint32_t databits = 0;          // 7: seven data bits, else eight
  std::string parity;             // first character 'O' odd, 'E' even, else none
  uint32_t stopbits = 0;          // 2: two stop bits, else one
  uint32_t split = 0;             // kept and saved, not consulted
  uint32_t port = 0;              // TCP port, low 16 bits used
  uint32_t keepalive = 0;         // exactly 1 enables TCP keepalive
  uint32_t keepalive_time = 0;    // seconds
  uint32_t keepalive_intvl = 0;   // seconds
  uint32_t keepalive_probes = 0;  // count
  uint32_t sreg_auto_answer = 0;  // S0: rings before auto-answer, 0 = never
  uint32_t sreg_esc = 0;          // S2: escape character
  uint32_t sreg_cr = 0;           // S3: line-end character
  uint32_t sreg_lf = 0;           // S4: line-feed character
  uint32_t sreg_bs = 0;           // S5: backspace character
  uint32_t sreg_ring_int = 0;     // S6: seconds between RINGs
  uint32_t sreg_conn_tout = 0;    // S7: seconds allowed for call set-up
  uint32_t sreg_hup_delay = 0;    // S10: inactivity limit, 10 s units, 0 = none
  uint32_t sreg_split = 0;        // S11: forwarding delay, ms
  uint32_t sreg_esc_delay = 0;    // S12: escape guard, 20 ms units
  uint32_t sreg_dtr_ignore = 0;   // S25: DTR drop time, 10 ms units
  uint32_t stat_echo = 0;         // E
  uint32_t stat_quiet = 0;        // Q
  uint32_t stat_verbosity = 0;    // V
  uint32_t stat_dtr_action = 0;   // &D
  std::string cfg_script;         // substitution script, plain text (base64 in the file)
  uint32_t sysloglev = 0;         // log threshold, compared as signed
  uint32_t spoof_ok = 0;          // non-zero: ERROR is sent as OK
  uint32_t flowcontrol = 0;       // &K: 0 none, 3 RTS/CTS, 4 XON/XOFF; saved only when not 0
  std::string allow;              // MOD_ORVANE_ALLOW: callers' addresses, empty = any caller
  // Encrypted calls; none of them set: none, and the file is saved without their lines. Once
  // the settings check has passed, tls_cert set means that the key and the CA are set too.
  std::string tls_cert;   // MOD_ORVANE_TLS_CERT: path of this modem's certificate chain (PEM)
  std::string tls_key;    // MOD_ORVANE_TLS_KEY: path of its private key (PEM)
  std::string tls_ca;     // MOD_ORVANE_TLS_CA: path of the certificates a peer's must chain to
  uint32_t tls_port = 0;  // MOD_ORVANE_TLS_PORT: port taking encrypted calls only, 0 = none
  std::string tls_peers;  // MOD_ORVANE_TLS_PEERS: names that may call, blanks or commas between
  uint32_t tls_only = 0;  // MOD_ORVANE_TLS_ONLY: 1 = no plain listening socket, no plain dialling
  std::string device;  // MOD_ORVANE_DEVICE: serial device path in place of `serial`, empty = none
  std::string listen;  // MOD_ORVANE_LISTEN: the one address to listen on, empty = every address
  // The commands of Hayes and cellular modems (at/hayes_commands.h, at/extended_commands.h) and
  // what they set; without their lines a file is read as today's command set and saved as before.
  uint32_t compat = 0;     // MOD_ORVANE_COMPAT: exactly 1 = the extra commands are accepted
  uint32_t stat_dcd = 1;   // MOD_ORVANE_STAT_DCD, &C: 0 = carrier kept on, else it follows the call
  uint32_t caller_id = 0;  // MOD_ORVANE_CALLER_ID: not 0 = DATE, TIME, NMBR after the first RING
  uint32_t clip = 0;       // MOD_ORVANE_CLIP: not 0 = +CLIP after every RING
  uint32_t csq = 20;       // MOD_ORVANE_CSQ: the signal quality +CSQ reports, 0 to 31 or 99
  // What a fleet's operator collects; none set: no file is written and the file is saved
  // without their lines.
  std::string call_log;  // MOD_ORVANE_CALL_LOG: path of the CSV call records
  uint32_t call_log_size = CALL_LOG_SIZE_DEFAULT;  // MOD_ORVANE_CALL_LOG_SIZE: rotated beyond
  std::string metrics;                             // MOD_ORVANE_METRICS: directory of orvaned.prom
  // Peers that are not daemons of this kind; without their lines there are none.
  uint32_t raw_port = 0;        // MOD_ORVANE_RAW_PORT: port taking raw callers, 0 = none
  uint32_t telnet_port = 0;     // MOD_ORVANE_TELNET_PORT: port taking telnet callers, 0 = none
  std::string telnet_terminal;  // MOD_ORVANE_TELNET_TERMINAL: the terminal type, empty = ANSI
};

// The signal qualities +CSQ reports: 0 to CSQ_MAX, or CSQ_UNKNOWN.
constexpr uint32_t CSQ_MAX = 31;
constexpr uint32_t CSQ_UNKNOWN = 99;

// Scripts longer than this cannot be saved whole (the file keeps at most 16,000 characters of
// a value, and base64 makes 4 characters of 3 bytes).
constexpr size_t SETTINGS_SCRIPT_SAVE_MAX = 12000;

// A line of the file is read in pieces of at most SETTINGS_LINE_SIZE - 1 characters; a longer
// line thus becomes several lines.
constexpr size_t SETTINGS_LINE_SIZE = 16384;

// Characters of a text value the file keeps.
constexpr size_t SETTINGS_TEXT_MAX = 16000;

// What a load found that the daemon does not take as written. Start-up logs it
// (settings_log_notes, config/settings_check.h) once the log threshold of the loaded settings
// applies.
struct settings_notes {
  bool read = false;               // a file was opened and read (false: read as missing)
  bool not_regular = false;        // the path is a FIFO, directory or device: read as missing
  bool script_not_base64 = false;  // the script value is not valid base64
  const char* cut_key = nullptr;   // first key whose line was too long and is read cut
  // First list or path key (settings_key::list_or_path) whose line was too long: such a value
  // is never used, so it is not among the cut_key notes.
  const char* cut_list_key = nullptr;
};

// A line of the file holding '=', as the reader takes it: the line end, the last '"' and what
// follows it dropped, the key before the first '=', the value after it (less an opening '"').
// A line longer than the reader's buffer comes in several pieces, each read as a line of its
// own; the first is marked cut, and all carry the line's number.
struct settings_line {
  int number = 0;  // counted from 1
  std::string key;
  std::string value;
  bool cut = false;
};

// The lines of `file` in file order (nullptr: none).
std::vector<settings_line> settings_read_lines(FILE* file);

// Fills `s` from `lines`: the first line of a key (in any letter case) gives its value; a key
// without a line is empty or its absent value (0 but for a few keys: settings_keys.h).
settings_notes settings_from_lines(modem_settings& s, const std::vector<settings_line>& lines);

// Reads a number as "%u" of scanf does: blanks skipped, optional sign, digits up to the first
// non-digit (a minus negates modulo 2^32), 0 without digits; beyond 32 bits 4294967295.
uint32_t scan_uint(const char* text);

// Fills `s` from the settings file at `path`. A missing or unreadable file gives the absent
// value of every number (0 but for a few keys) and empty texts; so does a path that is not a
// regular file, which is never opened in a way that could block. Never fails; notes.read tells
// whether a file was read.
settings_notes settings_load(modem_settings& s, const char* path);

// Same, from an open stream (nullptr: no file).
settings_notes settings_load_stream(modem_settings& s, FILE* file);

// The file content settings_save writes: the 30 keys, one line each, in the file's order, then
// MOD_ORVANE_ALLOW, each TLS key, each key of the Hayes command set and each of the call records
// and metrics that is set (not empty, not its absent value).
std::string settings_format(const modem_settings& s);

// Replaces the file at `path` atomically with settings_format(s), keeping its permission bits.
// Returns 1 when written; 0 when the file cannot be written, the script is longer than
// SETTINGS_SCRIPT_SAVE_MAX bytes or a list or path longer than SETTINGS_TEXT_MAX characters
// (the old file is then left untouched).
int settings_save(const modem_settings& s, const char* path);
