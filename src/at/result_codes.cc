#include "at/result_codes.h"

#include <cstdio>

#include "modem/dte_output.h"
#include "modem/modem_state.h"
#include "platform/log.h"

namespace {

struct result_entry {
  int code = 0;
  const char* text = nullptr;
};

// Codes 2, 6 and 13..15 have no text: in verbose form they write nothing.
constexpr result_entry result_table[] = {
    {.code = RESULT_OK, .text = "OK"},
    {.code = RESULT_RING, .text = "RING"},
    {.code = RESULT_NO_CARRIER, .text = "NO CARRIER"},
    {.code = RESULT_ERROR, .text = "ERROR"},
    {.code = RESULT_CONNECT_1200, .text = "CONNECT 1200"},
    {.code = RESULT_BUSY, .text = "BUSY"},
    {.code = RESULT_NO_ANSWER, .text = "NO ANSWER"},
    {.code = RESULT_CONNECT_0600, .text = "CONNECT 0600"},
    {.code = RESULT_CONNECT_2400, .text = "CONNECT 2400"},
    {.code = RESULT_CONNECT_4800, .text = "CONNECT 4800"},
    {.code = RESULT_CONNECT_9600, .text = "CONNECT 9600"},
    {.code = RESULT_CONNECT_19200, .text = "CONNECT 19200"},
    {.code = RESULT_CONNECT_38400, .text = "CONNECT 38400"},
    {.code = RESULT_CONNECT_57600, .text = "CONNECT 57600"},
    {.code = RESULT_CONNECT_115200, .text = "CONNECT 115200"},
};

struct baud_code {
  unsigned baud = 0;
  int code = RESULT_ERROR;
};

// 300 baud has no code of its own and shares the 600 one.
constexpr baud_code connect_codes[] = {
    {.baud = 300, .code = RESULT_CONNECT_0600},    {.baud = 600, .code = RESULT_CONNECT_0600},
    {.baud = 1200, .code = RESULT_CONNECT_1200},   {.baud = 2400, .code = RESULT_CONNECT_2400},
    {.baud = 4800, .code = RESULT_CONNECT_4800},   {.baud = 9600, .code = RESULT_CONNECT_9600},
    {.baud = 19200, .code = RESULT_CONNECT_19200}, {.baud = 38400, .code = RESULT_CONNECT_38400},
    {.baud = 57600, .code = RESULT_CONNECT_57600}, {.baud = 115200, .code = RESULT_CONNECT_115200},
};

}  // namespace

void send_result(modem_state& ms, int code) {
  const modem_settings& s = ms.settings;
  if (code == RESULT_ERROR && s.spoof_ok != 0) code = RESULT_OK;
  // Only the low 8 bits of S3 and S4 go on the line.
  auto cr = static_cast<unsigned char>(s.sreg_cr);
  auto lf = static_cast<unsigned char>(s.sreg_lf);
  if (s.stat_verbosity == 0) {
    char buf[10];
    snprintf(buf, sizeof buf, "%i%c", code, cr);
    dte_text(ms, buf);
    return;
  }
  for (const result_entry& entry : result_table) {
    if (entry.code != code) continue;
    dte_text(ms, entry.text);
    dte_byte(ms, cr);
    dte_byte(ms, lf);
    log_msg(8, "response: \"%s\"", entry.text);
    return;
  }
}

void send_code(modem_state& ms, int code) {
  if (code == RESULT_NONE || ms.settings.stat_quiet != 0) return;
  send_result(ms, code);
}

int connect_code_for_baud(unsigned baudrate) {
  for (const baud_code& entry : connect_codes) {
    if (entry.baud == baudrate) return entry.code;
  }
  return RESULT_ERROR;
}
