// Command-mode line editor: echo, backspace, ANSI left/right arrows, insertion, the 79-character
// limit; S3 or a typed '/' finishes a line and hands it to the interpreter.
#pragma once

struct modem_state;

// Handles one byte received in command mode.
void editor_input(modem_state& ms, unsigned char byte);

// Empties the line and ends any escape sequence.
void editor_reset(modem_state& ms);
