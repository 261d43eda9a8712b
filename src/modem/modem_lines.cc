#include "modem/modem_lines.h"

#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

#include "modem/modem_state.h"
#include "platform/log.h"
#include "platform/serial_port.h"

void modem_lines_set(modem_state& ms, int lines, bool raise) {
  int error = set_modem_lines(ms.serial_fd.get(), lines, raise ? 1 : 0);
  if (error == 0) return;
  if (error != ENOTTY) {
    log_msg(3, "2ioctl error: %s", strerror(error));
    return;
  }
  if (!ms.lines_set_told) {
    log_msg(6, "the serial port has no modem lines (a pty?): DTR and RTS are not set");
  }
  ms.lines_set_told = true;
}

bool dte_dtr_up(modem_state& ms) {
  int bits = 0;
  if (get_modem_lines(ms.serial_fd.get(), &bits) != 0) {
    if (!ms.lines_read_told) log_msg(3, "1ioctl error: %s", strerror(errno));
    ms.lines_read_told = true;
    return true;
  }
  return (bits & TIOCM_CAR) != 0;
}
