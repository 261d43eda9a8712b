// The modem status lines of the serial port: the modem's DTR (the carrier towards the DTE) and
// RTS, which it sets, and the DTE's DTR, which it reads as the port's carrier-detect bit. A port
// without such lines (a pty) or one whose lines fail is said so once, not at every call or pass.
#pragma once

struct modem_state;

// Raises or drops the TIOCM_* lines `lines` of the serial port. A refusal is logged: "2ioctl
// error: %s" (level 3), or for a port without modem lines, once, "the serial port has no modem
// lines (a pty?): DTR and RTS are not set" (level 6).
void modem_lines_set(modem_state& ms, int lines, bool raise);

// True while the DTE holds DTR up. Lines that cannot be read count as up; the first failure is
// logged ("1ioctl error: %s", level 3).
bool dte_dtr_up(modem_state& ms);
