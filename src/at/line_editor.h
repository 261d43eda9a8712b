// Command-mode line editor: echo, backspace, ANSI left/right arrows, insertion, the 79-character
// limit; S3 or a typed '/' finishes a line and hands it to the interpreter.
#pragma once

struct modem_state;

// Where the editor is in an ANSI escape sequence (modem_state::esc_state).
enum esc_state : int { ESC_NONE = 0, ESC_SEEN = 1, ESC_CSI = 2 };

// Handles one byte received in command mode.
void editor_input(modem_state& ms, unsigned char byte);

// Empties the line and ends any escape sequence.
void editor_reset(modem_state& ms);
