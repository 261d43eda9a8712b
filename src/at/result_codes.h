// Result codes sent to the DTE, numeric ("%i" S3) or verbose (text S3 S4).
#pragma once

struct modem_state;

enum result_code : int {
  RESULT_OK = 0,
  RESULT_RING = 1,
  RESULT_NO_CARRIER = 3,
  RESULT_ERROR = 4,
  RESULT_CONNECT_1200 = 5,
  RESULT_BUSY = 7,
  RESULT_NO_ANSWER = 8,
  RESULT_CONNECT_0600 = 9,
  RESULT_CONNECT_2400 = 10,
  RESULT_CONNECT_4800 = 11,
  RESULT_CONNECT_9600 = 12,
  RESULT_CONNECT_19200 = 16,
  RESULT_CONNECT_38400 = 17,
  RESULT_CONNECT_57600 = 18,
  RESULT_CONNECT_115200 = 19,
  RESULT_NONE = 20,  // marker: no result code is to be sent; never sent itself
};

// Writes `code` to ms.serial_fd in the form V selects; ERROR becomes OK with spoof_ok. Does not
// look at Q: callers test it. A code without text writes nothing in verbose form.
void send_result(modem_state& ms, int code);

// send_result unless `code` is RESULT_NONE or the modem is quiet (Q1).
void send_code(modem_state& ms, int code);

// The CONNECT code announced for a configured baud rate (RESULT_ERROR for rates without one).
int connect_code_for_baud(unsigned baudrate);
