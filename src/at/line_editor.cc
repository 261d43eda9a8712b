#include "at/line_editor.h"

#include <cstring>

#include "at/interpreter.h"
#include "modem/dte_output.h"
#include "modem/modem_state.h"

namespace {

constexpr unsigned char ESC = 0x1B;

// Writes the tail of the line from position `from` followed by `count` copies of S5, which
// puts the terminal's cursor back where the editor's cursor is.
void echo_tail_and_back(modem_state& ms, int from, int count) {
  dte_text(ms, ms.cmd_line.data() + from);
  auto bs = static_cast<unsigned char>(ms.settings.sreg_bs);
  for (int i = 0; i < count; ++i) dte_byte(ms, bs);
}

void echo_line_end(modem_state& ms) {
  dte_byte(ms, static_cast<unsigned char>(ms.settings.sreg_cr));
  dte_byte(ms, static_cast<unsigned char>(ms.settings.sreg_lf));
}

void finish_line(modem_state& ms) {
  if (ms.cmd_len > 0) process_command_line(ms);
  editor_reset(ms);
}

void delete_left(modem_state& ms, bool echo) {
  if (ms.cmd_cursor == 0) return;
  char* line = ms.cmd_line.data();
  if (echo) {
    auto bs = static_cast<unsigned char>(ms.settings.sreg_bs);
    dte_byte(ms, bs);
    dte_byte(ms, ' ');
    dte_byte(ms, bs);
  }
  if (ms.cmd_cursor < ms.cmd_len) {
    if (echo) {
      // The tail moves left over the erased character; the space blanks its last old cell.
      dte_text(ms, line + ms.cmd_cursor);
      dte_byte(ms, ' ');
      auto bs = static_cast<unsigned char>(ms.settings.sreg_bs);
      for (int i = 0; i < ms.cmd_len - ms.cmd_cursor + 1; ++i) dte_byte(ms, bs);
    }
    memmove(line + ms.cmd_cursor - 1, line + ms.cmd_cursor,
            static_cast<size_t>(ms.cmd_len - ms.cmd_cursor));
  }
  --ms.cmd_len;
  --ms.cmd_cursor;
  line[ms.cmd_len] = '\0';
}

void cursor_sequence(modem_state& ms, unsigned char byte, bool echo) {
  ms.esc_state = ESC_NONE;
  switch (byte) {
    case 'A':
    case 'B':
    case 'H':
    case 'K':
      // No history and no line kill: these keys do nothing.
      return;
    case 'C':
      if (ms.cmd_cursor >= ms.cmd_len) return;
      ++ms.cmd_cursor;
      break;
    case 'D':
      if (ms.cmd_cursor <= 0) return;
      --ms.cmd_cursor;
      break;
    default:
      break;
  }
  // Unknown sequences are echoed back unchanged and not stored.
  if (echo) {
    dte_byte(ms, ESC);
    dte_byte(ms, '[');
    dte_byte(ms, byte);
  }
}

void insert_char(modem_state& ms, unsigned char byte, bool echo) {
  if (ms.cmd_len >= CMD_LINE_MAX) return;
  char* line = ms.cmd_line.data();
  if (echo) dte_byte(ms, byte);
  if (ms.cmd_cursor < ms.cmd_len) {
    if (echo) echo_tail_and_back(ms, ms.cmd_cursor, ms.cmd_len - ms.cmd_cursor);
    memmove(line + ms.cmd_cursor + 1, line + ms.cmd_cursor,
            static_cast<size_t>(ms.cmd_len - ms.cmd_cursor));
  }
  line[ms.cmd_cursor] = static_cast<char>(byte);
  ++ms.cmd_cursor;
  ++ms.cmd_len;
  line[ms.cmd_len] = '\0';
  // A typed '/' finishes the line at once, so that A/ needs no S3.
  if (byte == '/') {
    if (echo) echo_line_end(ms);
    finish_line(ms);
  }
}

}  // namespace

void editor_input(modem_state& ms, unsigned char byte) {
  // Registers are compared as full values: one above 255 never matches a byte.
  const uint32_t b = byte;
  bool echo = ms.settings.stat_echo != 0;
  if (b == ms.settings.sreg_cr) {
    if (echo) {
      dte_byte(ms, byte);
      dte_byte(ms, static_cast<unsigned char>(ms.settings.sreg_lf));
    }
    finish_line(ms);
    return;
  }
  if (b == ms.settings.sreg_bs) {
    delete_left(ms, echo);
    return;
  }
  if (byte == ESC) {
    ms.esc_state = ESC_SEEN;
    return;
  }
  switch (ms.esc_state) {
    case ESC_SEEN:
      if (byte == '[') {
        ms.esc_state = ESC_CSI;
        return;
      }
      ms.esc_state = ESC_NONE;
      if (echo) {
        dte_byte(ms, ESC);
        dte_byte(ms, byte);
      }
      return;
    case ESC_CSI:
      cursor_sequence(ms, byte, echo);
      return;
    default:
      if (byte < 0x20) return;
      insert_char(ms, byte, echo);
      return;
  }
}

void editor_reset(modem_state& ms) {
  ms.cmd_line[0] = '\0';
  ms.cmd_len = 0;
  ms.cmd_cursor = 0;
  ms.esc_state = ESC_NONE;
}
