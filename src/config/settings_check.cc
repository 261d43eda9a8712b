#include "config/settings_check.h"

#include <termios.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "config/settings_keys.h"
#include "config/sreg_registers.h"
#include "config/text_rules.h"
#include "config/tls_peers.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/net_address.h"
#include "platform/serial_port.h"
#include "platform/telnet.h"

namespace {

// An unknown key at most this many edits from a known one is taken for a typing slip.
constexpr size_t CLOSE_KEY_EDITS = 2;

settings_finding warning(std::string_view key, std::string text) {
  return {.key = std::string(key), .level = 4, .text = std::move(text)};
}

settings_finding advice(std::string_view key, std::string text) {
  return {.key = std::string(key), .level = 4, .text = std::move(text), .advice = true};
}

settings_finding refusal(std::string_view key, std::string text) {
  return {.key = std::string(key), .level = 3, .text = std::move(text)};
}

void add_notes(const settings_notes& notes, const char* path, std::vector<settings_finding>& out) {
  if (notes.not_regular) {
    settings_finding f =
        warning("", text_printf("settings file %s is not a regular file: read as missing", path));
    f.past_threshold = true;
    out.push_back(std::move(f));
  }
  if (notes.cut_key != nullptr) {
    out.push_back(warning("", text_printf("settings file %s: the line of %s is longer than %zu "
                                          "characters: read cut",
                                          path, notes.cut_key, SETTINGS_LINE_SIZE - 1)));
  }
  if (notes.script_not_base64) {
    out.push_back(warning("", text_printf("settings file %s: MOD_ORVANE_CFG_SCRIPT is not valid "
                                          "base64: the characters outside its alphabet are skipped",
                                          path)));
  }
}

// What the value of `k` means otherwise than written.
void value_warnings(const settings_key& k, const modem_settings& s,
                    std::vector<settings_finding>& out) {
  std::string_view key = k.key;
  if (k.number == &modem_settings::baudrate) {
    if (serial_speed(s.baudrate) == B9600 && s.baudrate != 9600) {
      out.push_back(advice(
          key,
          text_printf("%u bit/s is not a speed of the serial port; the port runs at 9600 bit/s",
                      s.baudrate)));
    }
  } else if (k.number == &modem_settings::databits && s.databits != 7 && s.databits != 8) {
    out.push_back(
        advice(key, text_printf("%u is neither 7 nor 8; eight data bits are used", s.databits)));
  } else if (k.number == &modem_settings::stopbits && s.stopbits != 1 && s.stopbits != 2) {
    out.push_back(
        advice(key, text_printf("%u is neither 1 nor 2; one stop bit is used", s.stopbits)));
  } else if (k.kind == SETTING_PARITY) {
    char first = s.parity.empty() ? '\0' : s.parity[0];
    if (first != 'N' && first != 'E' && first != 'O') {
      out.push_back(
          advice(key, text_printf("\"%s\" is not N, E or O; no parity is used", s.parity.c_str())));
    }
  } else if (k.number == &modem_settings::port) {
    if (s.port == 0) {
      out.push_back(
          advice(key, "0 makes the daemon listen on a port chosen by the system and dial port 0"));
    } else if (s.port > 65535) {
      out.push_back(
          advice(key, text_printf("%u is above 65535; port %u is used", s.port, s.port & 0xffff)));
    }
  } else if (k.number == &modem_settings::stat_dtr_action && s.stat_dtr_action > 3) {
    out.push_back(
        advice(key, text_printf("%u is not 0 to 3; a DTR drop does nothing", s.stat_dtr_action)));
  } else if (k.number == &modem_settings::compat && s.compat > 1) {
    out.push_back(advice(key, text_printf("%u is neither 0 nor 1; the commands of Hayes and "
                                          "cellular modems are off",
                                          s.compat)));
  } else if (k.number == &modem_settings::csq && s.csq > CSQ_MAX && s.csq != CSQ_UNKNOWN) {
    out.push_back(
        advice(key, text_printf("%u is not 0 to 31 or 99; +CSQ reports 99 (not known)", s.csq)));
  } else if (k.kind == SETTING_ALLOW && s.allow.size() > SETTINGS_TEXT_MAX) {
    allow_list list;
    std::string bad_entry;
    if (allow_list_parse(s.allow, list, bad_entry)) {
      out.push_back(advice(key, text_printf("the list has %zu characters; AT&W cannot save more "
                                            "than %zu",
                                            s.allow.size(), SETTINGS_TEXT_MAX)));
    }
  } else if (k.kind == SETTING_SCRIPT && s.cfg_script.size() > SETTINGS_SCRIPT_SAVE_MAX) {
    out.push_back(
        advice(key, text_printf("the script has %zu bytes; AT&W cannot save more than %zu",
                                s.cfg_script.size(), SETTINGS_SCRIPT_SAVE_MAX)));
  }
  for (const sreg_register& r : sreg_registers) {
    if (r.field == nullptr || k.number != r.field) continue;
    uint32_t value = s.*r.field;
    if (r.holds_byte && value > 255) {
      out.push_back(
          advice(key, text_printf("S%i is %u, above 255: %.*s", r.number, value,
                                  static_cast<int>(r.byte_effect.size()), r.byte_effect.data())));
    }
    if (value > r.limit) {
      out.push_back(warning(key, text_printf("S%i is %u, above %u: it takes effect as %u", r.number,
                                             value, r.limit, r.limit)));
    }
  }
}

// Upper-cases ASCII letters, so keys compare as the reader compares them.
std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = ascii_upper(c);
  return out;
}

// Edits (insert, delete, replace, swap of neighbours) that turn `a` into `b`.
size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t replace = d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, replace});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

}  // namespace

const settings_key* settings_key_near(std::string_view name) {
  std::string wanted = upper(name);
  if (!wanted.starts_with(SETTINGS_KEY_PREFIX)) wanted.insert(0, SETTINGS_KEY_PREFIX);
  const settings_key* best = nullptr;
  size_t best_edits = CLOSE_KEY_EDITS + 1;
  for (const settings_key& k : settings_keys) {
    size_t edits = edit_distance(wanted, std::string(k.key));
    if (edits < best_edits) {
      best = &k;
      best_edits = edits;
    }
  }
  return best;
}

namespace {

const settings_key* known_key(std::string_view name) {
  for (const settings_key& k : settings_keys) {
    if (equal_ignoring_case(name, k.key)) return &k;
  }
  return nullptr;
}

// True when the reader takes `value` as the number it shows: digits between blanks, or nothing
// (an empty value is how the file saves 0).
bool reads_as_written(std::string_view value) {
  while (!value.empty() && is_blank(value.front())) value.remove_prefix(1);
  while (!value.empty() && is_blank(value.back())) value.remove_suffix(1);
  return std::all_of(value.begin(), value.end(), is_digit);
}

// The findings of the lines themselves. A line read in pieces (too long) is taken by its first
// piece: the others are its value's remainder, not lines of their own.
void line_findings(const std::vector<settings_line>& lines, std::vector<settings_finding>& warnings,
                   std::vector<settings_finding>& refusals) {
  std::vector<std::pair<const settings_key*, const settings_line*>> first_lines;
  int previous = 0;
  for (const settings_line& line : lines) {
    if (line.number == previous) continue;
    previous = line.number;
    const settings_key* k = known_key(line.key);
    if (k == nullptr) {
      std::string_view name = line.key;
      if (!equal_ignoring_case(name.substr(0, SETTINGS_KEY_PREFIX.size()), SETTINGS_KEY_PREFIX))
        continue;
      const settings_key* near = settings_key_near(line.key);
      std::string text = line.key + " is not a key";
      if (near != nullptr) text += "; did you mean " + std::string(near->key) + "?";
      warnings.push_back(warning(line.key, std::move(text)));
      continue;
    }
    auto first = std::find_if(first_lines.begin(), first_lines.end(),
                              [k](const auto& seen) { return seen.first == k; });
    if (first == first_lines.end()) {
      first_lines.emplace_back(k, &line);
      bool numeric = k->kind == SETTING_NUMBER || k->kind == SETTING_FLAG;
      if (numeric && !reads_as_written(line.value)) {
        std::string text = std::string(k->key) + ": \"" + line.value + "\" is not a number";
        warnings.push_back(
            warning(k->key, text + text_printf("; read as %u", scan_uint(line.value.c_str()))));
      }
      continue;
    }
    int first_number = first->second->number;
    if (k->access && line.value != first->second->value) {
      settings_finding f = refusal(k->key, text_printf("%s is given twice with different values "
                                                       "(lines %d and %d)",
                                                       k->key.data(), first_number, line.number));
      f.in_lines = true;
      refusals.push_back(std::move(f));
      continue;
    }
    warnings.push_back(warning(k->key, text_printf("%s is given twice (lines %d and %d): the first "
                                                   "is used",
                                                   k->key.data(), first_number, line.number)));
  }
}

// The first line of `key`, as the reader finds it.
const settings_line* used_line(const std::vector<settings_line>& lines, std::string_view key) {
  for (const settings_line& line : lines) {
    if (equal_ignoring_case(line.key, key)) return &line;
  }
  return nullptr;
}

void log_finding(const settings_finding& f) {
  if (f.past_threshold) {
    log_direct(f.level, "%s", f.text.c_str());
  } else {
    log_msg(f.level, "%s", f.text.c_str());
  }
}

// The three files an encrypted call needs, in the order their absence is named.
struct tls_file {
  const char* key;
  std::string modem_settings::*path;
};
constexpr tls_file tls_files[] = {
    {"MOD_ORVANE_TLS_CERT", &modem_settings::tls_cert},
    {"MOD_ORVANE_TLS_KEY", &modem_settings::tls_key},
    {"MOD_ORVANE_TLS_CA", &modem_settings::tls_ca},
};

// The TLS keys' findings: warnings first, then refusals, as settings_check_values orders them.
void tls_findings(const modem_settings& s, std::vector<settings_finding>& warnings,
                  std::vector<settings_finding>& refusals) {
  const settings_key* first_set = nullptr;
  for (const settings_key& k : settings_keys) {
    bool tls = k.key.starts_with("MOD_ORVANE_TLS_");
    bool set = k.text != nullptr ? !(s.*k.text).empty() : s.*k.number != 0;
    if (tls && set && first_set == nullptr) first_set = &k;
  }
  if (first_set == nullptr) return;
  if (ORVANED_HAVE_TLS == 0) {
    refusals.push_back(refusal(first_set->key, text_printf("%s is set, but this daemon is built "
                                                           "without encrypted calls",
                                                           first_set->key.data())));
    return;
  }
  // The file keeps a value up to the line end, and takes a '"' for the end of a quoted one:
  // such a value would come back as another path or list.
  for (const settings_key& k : settings_keys) {
    if (k.kind != SETTING_TEXT || !k.key.starts_with("MOD_ORVANE_TLS_") ||
        (s.*k.text).find_first_of("\r\n\"") == std::string::npos) {
      continue;
    }
    refusals.push_back(refusal(k.key, text_printf("%s: a line break or '\"' cannot be saved in "
                                                  "the settings file",
                                                  k.key.data())));
  }
  for (const tls_file& f : tls_files) {
    const std::string& path = s.*f.path;
    std::string why;
    if (path.empty()) {
      refusals.push_back(refusal(f.key, text_printf("%s is not set: encrypted calls need "
                                                    "MOD_ORVANE_TLS_CERT, MOD_ORVANE_TLS_KEY and "
                                                    "MOD_ORVANE_TLS_CA",
                                                    f.key)));
    } else if (!link_path_trusted(path.c_str(), why)) {
      refusals.push_back(refusal(f.key, std::string(f.key) + ": " + why));
    }
  }
  // Anyone who reads the key can pose as this modem.
  mode_t mode = 0;
  if (!s.tls_key.empty() && file_permissions(s.tls_key.c_str(), mode) && (mode & 044) != 0) {
    warnings.push_back(warning("MOD_ORVANE_TLS_KEY",
                               text_printf("MOD_ORVANE_TLS_KEY: %s can be read by its group or "
                                           "others (mode %04o)",
                                           s.tls_key.c_str(), static_cast<unsigned>(mode))));
  }
  if (s.tls_port > 65535) {
    refusals.push_back(
        refusal("MOD_ORVANE_TLS_PORT",
                text_printf("MOD_ORVANE_TLS_PORT: %u is not 0 to 65535", s.tls_port)));
  } else if (s.tls_port != 0 && s.tls_port == (s.port & 0xffff)) {
    refusals.push_back(refusal(
        "MOD_ORVANE_TLS_PORT",
        text_printf("MOD_ORVANE_TLS_PORT: %u is MOD_ORVANE_PORT's port as well", s.tls_port)));
  }
  std::vector<std::string> names;
  std::string bad_name;
  if (!tls_peers_parse(s.tls_peers, names, bad_name)) {
    refusals.push_back(refusal("MOD_ORVANE_TLS_PEERS",
                               "MOD_ORVANE_TLS_PEERS: \"" + bad_name +
                                   "\" is not a certificate name (letters, digits, hyphens, "
                                   "underscores and dots)"));
  }
  if (s.tls_only > 1) {
    refusals.push_back(
        refusal("MOD_ORVANE_TLS_ONLY",
                text_printf("MOD_ORVANE_TLS_ONLY: %u is neither 0 nor 1", s.tls_only)));
  } else if (s.tls_only == 1 && s.tls_port == 0) {
    warnings.push_back(warning("MOD_ORVANE_TLS_ONLY",
                               "MOD_ORVANE_TLS_ONLY: 1 without MOD_ORVANE_TLS_PORT: no call can "
                               "reach this modem"));
  }
}

// A device path must be whole and absolute (its last component names the lock file); a listen
// address must be one, not a name (it is bound before any name could be looked up).
void device_and_address_refusals(const modem_settings& s, std::vector<settings_finding>& out) {
  const std::string& device = s.device;
  if (!device.empty() && (device[0] != '/' || device.back() == '/' ||
                          device.find_first_of("\r\n\"") != std::string::npos)) {
    out.push_back(
        refusal("MOD_ORVANE_DEVICE", "MOD_ORVANE_DEVICE: \"" + device +
                                         "\" is not the path of a device (such as /dev/ttyUSB0)"));
  }
  net_address address;
  if (!s.listen.empty() && !net_address_parse(s.listen, address)) {
    out.push_back(refusal("MOD_ORVANE_LISTEN", "MOD_ORVANE_LISTEN: \"" + s.listen +
                                                   "\" is not an IPv4 or IPv6 address"));
  }
}

// The paths of the call records and the metrics: one that cannot be saved is refused; one whose
// directory is missing is the tool's advice (the daemon says so when it first writes).
void fleet_findings(const modem_settings& s, std::vector<settings_finding>& warnings,
                    std::vector<settings_finding>& refusals) {
  for (const settings_key& k : settings_keys) {
    if (k.text != &modem_settings::call_log && k.text != &modem_settings::metrics) continue;
    const std::string& path = s.*k.text;
    if (path.empty()) continue;
    if (path.find_first_of("\r\n\"") != std::string::npos) {
      refusals.push_back(refusal(k.key, text_printf("%s: a line break or '\"' cannot be saved in "
                                                    "the settings file",
                                                    k.key.data())));
      continue;
    }
    std::string dir = k.text == &modem_settings::metrics ? path : path.substr(0, path.rfind('/'));
    mode_t mode = 0;
    if (path.front() != '/') {
      warnings.push_back(
          advice(k.key, text_printf("%s: %s is not an absolute path", k.key.data(), path.c_str())));
    } else if (!dir.empty() && !file_permissions(dir.c_str(), mode)) {
      warnings.push_back(advice(k.key, text_printf("%s: directory %s cannot be reached: %s",
                                                   k.key.data(), dir.c_str(), strerror(errno))));
    }
  }
  if (s.call_log_size == 0 && !s.call_log.empty()) {
    warnings.push_back(
        advice("MOD_ORVANE_CALL_LOG_SIZE",
               "MOD_ORVANE_CALL_LOG_SIZE: 0: the call record file is never rotated"));
  }
}

// The listening ports, in the order in which a port that repeats an earlier one is named.
struct listen_port {
  const char* key;
  uint32_t modem_settings::*field;
};
constexpr listen_port listen_ports[] = {
    {"MOD_ORVANE_PORT", &modem_settings::port},
    {"MOD_ORVANE_TLS_PORT", &modem_settings::tls_port},
    {"MOD_ORVANE_RAW_PORT", &modem_settings::raw_port},
    {"MOD_ORVANE_TELNET_PORT", &modem_settings::telnet_port},
};
constexpr size_t FIRST_PEER_PORT = 2;  // the raw and telnet ports follow the daemon's two

// The ports of raw and telnet callers: each 0 (none) or a port that no other listens on.
void peer_port_refusals(const modem_settings& s, std::vector<settings_finding>& refusals) {
  for (size_t i = FIRST_PEER_PORT; i < std::size(listen_ports); ++i) {
    const listen_port& p = listen_ports[i];
    uint32_t port = s.*p.field;
    if (port == 0) continue;
    if (port > 65535) {
      refusals.push_back(refusal(p.key, text_printf("%s: %u is not 0 to 65535", p.key, port)));
      continue;
    }
    for (size_t j = 0; j < i; ++j) {
      uint32_t other = s.*listen_ports[j].field;
      if (j == 0) other &= 0xffff;  // the daemon's port uses the low 16 bits of any number
      if (other != port) continue;
      refusals.push_back(refusal(
          p.key, text_printf("%s: %u is %s's port as well", p.key, port, listen_ports[j].key)));
      break;
    }
  }
}

// Raw and telnet callers are plain calls, which MOD_ORVANE_TLS_ONLY=1 keeps out; the terminal
// type telnet reports is printable characters without blanks, at most 40 of them.
void peer_warnings(const modem_settings& s, std::vector<settings_finding>& warnings) {
  for (size_t i = FIRST_PEER_PORT; i < std::size(listen_ports) && s.tls_only == 1; ++i) {
    const listen_port& p = listen_ports[i];
    if (s.*p.field == 0) continue;
    warnings.push_back(
        warning(p.key, text_printf("%s: not listened on while MOD_ORVANE_TLS_ONLY is 1", p.key)));
  }
  const std::string& t = s.telnet_terminal;
  bool printable = std::all_of(t.begin(), t.end(), [](char c) { return c > ' ' && c < 0x7f; });
  if (printable && t.size() <= static_cast<size_t>(TELNET_TERMINAL_MAX)) return;
  warnings.push_back(warning("MOD_ORVANE_TELNET_TERMINAL",
                             text_printf("MOD_ORVANE_TELNET_TERMINAL: \"%s\" is not up to %zu "
                                         "printable characters without blanks; telnet reports "
                                         "what is left of it (ANSI when nothing is)",
                                         t.c_str(), static_cast<size_t>(TELNET_TERMINAL_MAX))));
}

}  // namespace

void settings_check_values(const modem_settings& s, std::vector<settings_finding>& found) {
  for (const settings_key& k : settings_keys) value_warnings(k, s, found);
  peer_warnings(s, found);
  std::vector<settings_finding> tls_refusals;
  tls_findings(s, found, tls_refusals);
  // A list with an entry that is not an address would let callers in or keep them out against
  // the operator's intent.
  allow_list list;
  std::string bad_entry;
  if (!allow_list_parse(s.allow, list, bad_entry)) {
    found.push_back(
        refusal("MOD_ORVANE_ALLOW", "MOD_ORVANE_ALLOW: \"" + bad_entry + "\" is not an " +
                                        allow_entry_family(bad_entry) + " address or prefix"));
  }
  // Only two devices exist, unless a path names another.
  if (s.serial > 1 && s.device.empty()) {
    found.push_back(
        refusal("MOD_ORVANE_SERIAL",
                text_printf("invalid serial device number %u (0 or 1 expected)", s.serial)));
  }
  device_and_address_refusals(s, found);
  if (!serial_flow_valid(s.flowcontrol)) {
    found.push_back(
        refusal("MOD_ORVANE_FLOWCONTROL",
                text_printf("invalid flow control %u (0, 3 or 4 expected)", s.flowcontrol)));
  }
  for (settings_finding& f : tls_refusals) found.push_back(std::move(f));
  std::vector<settings_finding> fleet_refusals;
  fleet_findings(s, found, fleet_refusals);
  for (settings_finding& f : fleet_refusals) found.push_back(std::move(f));
  peer_port_refusals(s, found);
}

settings_checked settings_check_file(const char* path) {
  settings_checked c;
  bool not_regular = false;
  FILE* file = open_regular_file(path, &not_regular);
  if (file == nullptr && !not_regular) c.open_error = errno;
  std::vector<settings_line> lines = settings_read_lines(file);
  c.read = file != nullptr;
  if (file != nullptr) fclose(file);
  settings_notes notes = settings_from_lines(c.settings, lines);
  notes.read = c.read;
  notes.not_regular = not_regular;

  add_notes(notes, path, c.findings);
  std::vector<settings_finding> values;
  settings_check_values(c.settings, values);
  for (settings_finding& f : values) {
    if (f.level != 3) c.findings.push_back(std::move(f));
  }
  std::vector<settings_finding> refusals;
  line_findings(lines, c.findings, refusals);
  // Part of a cut list or path stands for something else (a shorter prefix, another file).
  for (const settings_key& k : settings_keys) {
    const settings_line* line = k.list_or_path ? used_line(lines, k.key) : nullptr;
    if (line != nullptr && line->cut) {
      settings_finding f =
          refusal(k.key, text_printf("settings file %s: the line of %s is longer than "
                                     "%zu characters: a cut value is not used",
                                     path, k.key.data(), SETTINGS_LINE_SIZE - 1));
      f.in_lines = true;
      c.findings.push_back(std::move(f));
    }
  }
  for (settings_finding& f : refusals) c.findings.push_back(std::move(f));
  for (settings_finding& f : values) {
    if (f.level == 3) c.findings.push_back(std::move(f));
  }
  std::string bad_entry;
  if (!allow_list_parse(c.settings.allow, c.allowed, bad_entry)) c.allowed = {};
  if (!tls_peers_parse(c.settings.tls_peers, c.tls_peers, bad_entry)) c.tls_peers.clear();
  return c;
}

const settings_finding* settings_refusal(const settings_checked& c) {
  for (const settings_finding& f : c.findings) {
    if (f.level <= 3) return &f;
  }
  return nullptr;
}

std::string settings_finding_line(const settings_finding& f) {
  if (f.key.empty() || f.text.starts_with(f.key)) return f.text;
  return f.key + ": " + f.text;
}

void settings_log_notes(const settings_notes& notes, const char* path) {
  std::vector<settings_finding> found;
  add_notes(notes, path, found);
  for (const settings_finding& f : found) log_finding(f);
}
