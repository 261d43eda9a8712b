#include "at/extended_commands.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "at/hayes_commands.h"
#include "at/info.h"
#include "config/text_rules.h"
#include "modem/modem_state.h"

namespace {

enum ext_form : int { EXT_ACTION = 0, EXT_READ = 1, EXT_TEST = 2, EXT_SET = 3 };

// One extended command as typed: its name with the "+" or "#", the form, and for a set the
// values (what follows "=" up to ";" or the end of the line).
struct ext_request {
  std::string name;
  ext_form form = EXT_ACTION;
  std::string_view values;
};

struct ext_command;

// Answers `req` for `cmd`: false when the command does not take that form or those values.
// Writes to the DTE only when !check_only.
using ext_handler = bool (*)(modem_state& ms, const ext_command& cmd, const ext_request& req,
                             bool check_only);

// Where a parameter's value is kept; nullptr: it is always 0.
using ext_value = uint32_t* (*)(modem_state& ms);

struct ext_command {
  std::string_view name;
  ext_handler handler = nullptr;
  ext_value value = nullptr;
  bool settable = false;  // "=n" sets the value, n from 0 to max
  uint32_t max = 0;
  // Texts of the forms; "{}" stands for the value. nullptr: the form is not taken; empty: taken,
  // with no text.
  const char* read = nullptr;
  const char* test = "";
  const char* action = nullptr;
};

bool name_character(char c) {
  return (c >= 'A' && c <= 'Z') || is_digit(c) || c == '!' || c == '%' || c == '-' || c == '.' ||
         c == '/' || c == ':' || c == '_';
}

// `pattern` with "{}" replaced by `value`.
std::string fill(std::string_view pattern, uint32_t value) {
  std::string out(pattern);
  size_t at = out.find("{}");
  if (at != std::string::npos) out.replace(at, 2, std::to_string(value));
  return out;
}

// Reads up to `count` decimal values separated by commas into `out`; an empty value keeps what
// `out` held. False for anything else, or for more values.
template <size_t N>
bool parse_values(std::string_view text, std::array<uint32_t, N>& out) {
  size_t index = 0;
  size_t pos = 0;
  while (true) {
    if (index >= N) return false;
    uint64_t value = 0;
    size_t start = pos;
    while (pos < text.size() && is_digit(text[pos])) {
      value = value * 10 + static_cast<uint64_t>(text[pos] - '0');
      if (value > UINT32_MAX) return false;
      ++pos;
    }
    if (pos > start) out[index] = static_cast<uint32_t>(value);
    ++index;
    if (pos == text.size()) return true;
    if (text[pos] != ',') return false;
    ++pos;
  }
}

bool info(modem_state& ms, bool check_only, std::string_view text) {
  if (!check_only) send_info_text(ms, text);
  return true;
}

// A text that stands for its form: nullptr refuses it, an empty one answers with no text.
bool answer(modem_state& ms, bool check_only, const char* text, uint32_t value) {
  if (text == nullptr) return false;
  if (*text != '\0') info(ms, check_only, fill(text, value));
  return true;
}

// A parameter, an identification text or a status, by the texts of its row.
bool ext_generic(modem_state& ms, const ext_command& cmd, const ext_request& req, bool check_only) {
  uint32_t* value = cmd.value != nullptr ? cmd.value(ms) : nullptr;
  uint32_t current = value != nullptr ? *value : 0;
  switch (req.form) {
    case EXT_ACTION:
      return answer(ms, check_only, cmd.action, current);
    case EXT_READ:
      return answer(ms, check_only, cmd.read, current);
    case EXT_TEST:
      return answer(ms, check_only, cmd.test, current);
    case EXT_SET: {
      std::array<uint32_t, 1> set{current};
      if (!cmd.settable || !parse_values(req.values, set) || set[0] > cmd.max) return false;
      if (!check_only && value != nullptr) *value = set[0];
      return true;
    }
  }
  return false;
}

// +CSQ: the received signal strength of MOD_ORVANE_CSQ (99 when out of range), bit errors not
// known.
bool ext_signal(modem_state& ms, const ext_command&, const ext_request& req, bool check_only) {
  uint32_t rssi = ms.settings.csq;
  if (rssi > CSQ_MAX) rssi = CSQ_UNKNOWN;
  if (req.form == EXT_TEST) return info(ms, check_only, "+CSQ: (0-31,99),(99)");
  if (req.form != EXT_ACTION) return false;
  return info(ms, check_only, fill("+CSQ: {},99", rssi));
}

// +CBST: bearer service type; kept for its read form, there is no bearer to choose here.
bool ext_bearer(modem_state& ms, const ext_command&, const ext_request& req, bool check_only) {
  std::array<uint32_t, 3>& cbst = ms.gsm.cbst;
  switch (req.form) {
    case EXT_READ:
      return info(ms, check_only,
                  "+CBST: " + std::to_string(cbst[0]) + "," + std::to_string(cbst[1]) + "," +
                      std::to_string(cbst[2]));
    case EXT_TEST:
      return info(ms, check_only, "+CBST: (0-134),(0-7),(0-3)");
    case EXT_SET: {
      std::array<uint32_t, 3> set = cbst;
      if (!parse_values(req.values, set) || set[0] > 134 || set[1] > 7 || set[2] > 3) return false;
      if (!check_only) cbst = set;
      return true;
    }
    case EXT_ACTION:
      break;
  }
  return false;
}

// +IPR: the serial speed, fixed at start-up; setting it is accepted only as it is.
bool ext_rate(modem_state& ms, const ext_command&, const ext_request& req, bool check_only) {
  uint32_t baud = ms.settings.baudrate;
  switch (req.form) {
    case EXT_READ:
      return info(ms, check_only, fill("+IPR: {}", baud));
    case EXT_TEST:
      return info(ms, check_only, fill("+IPR: (),({})", baud));
    case EXT_SET: {
      std::array<uint32_t, 1> set{UINT32_MAX};
      return parse_values(req.values, set) && set[0] == baud;
    }
    case EXT_ACTION:
      break;
  }
  return false;
}

// +IFC: flow control as &K sets it; 0,0 none, 1,1 XON/XOFF, 2,2 RTS/CTS.
constexpr uint32_t ifc_flow[] = {0, 4, 3};

bool ext_flow(modem_state& ms, const ext_command&, const ext_request& req, bool check_only) {
  switch (req.form) {
    case EXT_READ: {
      uint32_t mode = 0;
      for (uint32_t m = 0; m < std::size(ifc_flow); ++m) {
        if (ifc_flow[m] == ms.settings.flowcontrol) mode = m;
      }
      return info(ms, check_only, fill(fill("+IFC: {},{}", mode), mode));
    }
    case EXT_TEST:
      return info(ms, check_only, "+IFC: (0-2),(0-2)");
    case EXT_SET: {
      std::array<uint32_t, 2> set{UINT32_MAX, UINT32_MAX};
      if (!parse_values(req.values, set)) return false;
      if (set[1] == UINT32_MAX) set[1] = set[0];
      if (set[0] >= std::size(ifc_flow) || set[1] != set[0]) return false;
      if (!check_only) set_flow_control(ms, ifc_flow[set[0]]);
      return true;
    }
    case EXT_ACTION:
      break;
  }
  return false;
}

uint32_t* creg(modem_state& ms) { return &ms.gsm.creg; }
uint32_t* cgreg(modem_state& ms) { return &ms.gsm.cgreg; }
uint32_t* cmee(modem_state& ms) { return &ms.gsm.cmee; }
uint32_t* cmgf(modem_state& ms) { return &ms.gsm.cmgf; }
uint32_t* crc(modem_state& ms) { return &ms.gsm.crc; }
uint32_t* caller_id(modem_state& ms) { return &ms.settings.caller_id; }
uint32_t* clip(modem_state& ms) { return &ms.settings.clip; }

// What +GMI, +GMM and +GMR (and their cellular twins) print; the release is the build's.
constexpr const char* IDENTITY_MAKER = "orvaned";
constexpr const char* IDENTITY_MODEL = "serial modem over TCP/IP";
constexpr const char* IDENTITY_RELEASE = ORVANED_RELEASE;

constexpr ext_command ext_commands[] = {
    // V.250: identification and the DTE interface.
    {.name = "+GMI", .handler = ext_generic, .action = IDENTITY_MAKER},
    {.name = "+GMM", .handler = ext_generic, .action = IDENTITY_MODEL},
    {.name = "+GMR", .handler = ext_generic, .action = IDENTITY_RELEASE},
    {.name = "+GCAP", .handler = ext_generic, .action = "+GCAP: +CGSM,+FCLASS"},
    {.name = "+FCLASS", .handler = ext_generic, .settable = true, .read = "0", .test = "0"},
    {.name = "+IPR", .handler = ext_rate},
    {.name = "+IFC", .handler = ext_flow},
    // GSM 07.07: a registered, ready cellular modem.
    {.name = "+CGMI", .handler = ext_generic, .action = IDENTITY_MAKER},
    {.name = "+CGMM", .handler = ext_generic, .action = IDENTITY_MODEL},
    {.name = "+CGMR", .handler = ext_generic, .action = IDENTITY_RELEASE},
    {.name = "+CPIN", .handler = ext_generic, .read = "+CPIN: READY"},
    {.name = "+CREG",
     .handler = ext_generic,
     .value = creg,
     .settable = true,
     .max = 2,
     .read = "+CREG: {},1",
     .test = "+CREG: (0-2)"},
    {.name = "+CGREG",
     .handler = ext_generic,
     .value = cgreg,
     .settable = true,
     .max = 2,
     .read = "+CGREG: {},1",
     .test = "+CGREG: (0-2)"},
    {.name = "+CSQ", .handler = ext_signal},
    {.name = "+CBST", .handler = ext_bearer},
    {.name = "+CMEE",
     .handler = ext_generic,
     .value = cmee,
     .settable = true,
     .max = 2,
     .read = "+CMEE: {}",
     .test = "+CMEE: (0-2)"},
    {.name = "+CMGF",
     .handler = ext_generic,
     .value = cmgf,
     .settable = true,
     .max = 1,
     .read = "+CMGF: {}",
     .test = "+CMGF: (0-1)"},
    {.name = "+CRC",
     .handler = ext_generic,
     .value = crc,
     .settable = true,
     .max = 1,
     .read = "+CRC: {}",
     .test = "+CRC: (0-1)"},
    {.name = "+COPS", .handler = ext_generic, .read = "+COPS: 0", .test = "+COPS: ,,(0-4),(0-2)"},
    // Caller ID (at/caller_id.h): the voice-modem block, and the cellular modems' +CLIP.
    {.name = "+VCID",
     .handler = ext_generic,
     .value = caller_id,
     .settable = true,
     .max = 1,
     .read = "{}",
     .test = "(0-1)"},
    {.name = "#CID",
     .handler = ext_generic,
     .value = caller_id,
     .settable = true,
     .max = 1,
     .read = "{}",
     .test = "(0-1)"},
    {.name = "+CLIP",
     .handler = ext_generic,
     .value = clip,
     .settable = true,
     .max = 1,
     .read = "+CLIP: {},1",
     .test = "+CLIP: (0-1)"},
};

// Reads the request at `text` (after the `prefix`); returns the characters it takes, the ";"
// after it included, or -1 when it is not well formed.
int parse_request(char prefix, const char* text, ext_request& req) {
  std::string_view rest(text);
  size_t pos = 0;
  while (pos < rest.size() && name_character(rest[pos])) ++pos;
  if (pos == 0) return -1;
  req.name = std::string(1, prefix).append(rest.substr(0, pos));
  rest.remove_prefix(pos);
  size_t used = pos;
  if (rest.starts_with("=?")) {
    req.form = EXT_TEST;
    used += 2;
  } else if (rest.starts_with("?")) {
    req.form = EXT_READ;
    used += 1;
  } else if (rest.starts_with("=")) {
    req.form = EXT_SET;
    size_t end = rest.find(';');
    req.values = rest.substr(1, end == std::string_view::npos ? std::string_view::npos : end - 1);
    used += 1 + req.values.size();
  }
  rest = std::string_view(text + used);
  if (rest.starts_with(";")) return static_cast<int>(used + 1);
  return rest.empty() ? static_cast<int>(used) : -1;
}

int run_extended(modem_state& ms, char prefix, char* text, bool check_only) {
  ext_request req;
  int used = parse_request(prefix, text, req);
  if (used < 0) return -1;
  for (const ext_command& cmd : ext_commands) {
    if (cmd.name != req.name) continue;
    return cmd.handler(ms, cmd, req, check_only) ? used : -1;
  }
  return -1;
}

}  // namespace

int cmd_plus(modem_state& ms, char* text, bool check_only) {
  return run_extended(ms, '+', text, check_only);
}

int cmd_hash(modem_state& ms, char* text, bool check_only) {
  return run_extended(ms, '#', text, check_only);
}
