// The serial port towards the DTE: opening and configuring it, and the modem status lines.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <cstdint>

// Flow control of the line, numbered as the modem command &K numbers it.
enum serial_flow : uint32_t { FLOW_NONE = 0, FLOW_RTS_CTS = 3, FLOW_XON_XOFF = 4 };

// True for the three values of serial_flow.
constexpr bool serial_flow_valid(uint32_t flow) {
  return flow == FLOW_NONE || flow == FLOW_RTS_CTS || flow == FLOW_XON_XOFF;
}

// Terminal speed constant for a rate in bit/s; B9600 for any rate not supported.
speed_t serial_speed(uint32_t baud);

// Replaces the four flag words of `tio` with the values the daemon uses for the given line
// settings (raw mode, IGNBRK|IGNPAR, CREAD|HUPCL|CLOCAL, speed, size, stop bits, parity). Parity
// is chosen by the first character of `parity` ('O' odd, 'E' even, else none). `flow` adds
// CRTSCTS to the control flags (FLOW_RTS_CTS) or IXON|IXOFF to the input flags (FLOW_XON_XOFF);
// any other value adds nothing. Control characters and the line discipline are left as they are.
void serial_line_flags(termios& tio, uint32_t baud, uint32_t data_bits, const char* parity,
                       uint32_t stop_bits, uint32_t flow = FLOW_NONE);

// Sets the flow-control flags of `tio` for `flow`, clearing those of the other modes.
void serial_flow_flags(termios& tio, uint32_t flow);

// Applies `flow` to the open port `fd` (tcgetattr, serial_flow_flags, tcsetattr), leaving the
// other settings as they are. Returns 0, or -1 with errno set.
int serial_set_flow(int fd, uint32_t flow);

// Opens `path` non-blocking (O_RDWR|O_NOCTTY|O_NONBLOCK|O_SYNC|O_CLOEXEC) and applies the line
// settings. Returns the descriptor, or -1 when the device cannot be opened ("open(%s) error: %s",
// logged directly). A failed tcsetattr is logged directly ("tcsetattr(%s) error: %s") and the
// descriptor is still returned.
int serial_open(const char* path, uint32_t baud, uint32_t data_bits, const char* parity,
                uint32_t stop_bits, uint32_t flow = FLOW_NONE);

// Raises (raise != 0) or drops the modem lines in the TIOCM_* mask `lines`. Returns 0, or the
// errno of the refused ioctl (ENOTTY: a pty, which has no modem lines); a negative fd does
// nothing and returns 0.
int set_modem_lines(int fd, int lines, int raise);

// Reads the modem status bits into *bits (TIOCMGET). Returns 0, or -1 with errno set.
int get_modem_lines(int fd, int* bits);
