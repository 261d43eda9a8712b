#include "platform/serial_port.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/log.h"
#include "platform/system_calls.h"

namespace {

struct rate_speed {
  uint32_t baud = 0;
  speed_t speed = B0;
};

constexpr rate_speed supported_rates[] = {
    {300, B300},         {600, B600},         {1200, B1200},       {2400, B2400},
    {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},
    {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000},
    {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
    {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

}  // namespace

speed_t serial_speed(uint32_t baud) {
  for (const rate_speed& r : supported_rates) {
    if (r.baud == baud) return r.speed;
  }
  return B9600;
}

void serial_flow_flags(termios& tio, uint32_t flow) {
  tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
  if (flow == FLOW_RTS_CTS) tio.c_cflag |= CRTSCTS;
  if (flow == FLOW_XON_XOFF) tio.c_iflag |= IXON | IXOFF;
}

int serial_set_flow(int fd, uint32_t flow) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return -1;
  serial_flow_flags(tio, flow);
  return tcsetattr(fd, TCSANOW, &tio);
}

void serial_line_flags(termios& tio, uint32_t baud, uint32_t data_bits, const char* parity,
                       uint32_t stop_bits, uint32_t flow) {
  speed_t speed = serial_speed(baud);
  tcflag_t cflag = speed | CREAD | HUPCL | CLOCAL;
  cflag |= data_bits == 7 ? CS7 : CS8;
  if (stop_bits == 2) cflag |= CSTOPB;
  char first = parity != nullptr ? parity[0] : '\0';
  if (first == 'O') {
    cflag |= PARENB | PARODD;
  } else if (first == 'E') {
    cflag |= PARENB;
  }
  tio.c_iflag = IGNBRK | IGNPAR;
  tio.c_oflag = 0;
  tio.c_lflag = 0;
  // The speed lives in the control word; its input-speed bits stay 0 so that input runs at the
  // output speed.
  tio.c_cflag = cflag;
#ifdef _HAVE_STRUCT_TERMIOS_C_ISPEED
  tio.c_ispeed = 0;
#endif
#ifdef _HAVE_STRUCT_TERMIOS_C_OSPEED
  tio.c_ospeed = speed;
#endif
  serial_flow_flags(tio, flow);
}

int serial_open(const char* path, uint32_t baud, uint32_t data_bits, const char* parity,
                uint32_t stop_bits, uint32_t flow) {
  int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_SYNC | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    log_direct(3, "open(%s) error: %s", path, strerror(err));
    return -1;
  }
  termios tio{};
  // A failure here shows again in tcsetattr, which is the one reported.
  tcgetattr(fd, &tio);
  serial_line_flags(tio, baud, data_bits, parity, stop_bits, flow);
  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    int err = errno;
    log_direct(3, "tcsetattr(%s) error: %s", path, strerror(err));
  }
  return fd;
}

int set_modem_lines(int fd, int lines, int raise) {
  if (fd < 0) return 0;
  int mask = lines;
  return sys().modem_ioctl(fd, raise != 0 ? TIOCMBIS : TIOCMBIC, &mask) < 0 ? errno : 0;
}

int get_modem_lines(int fd, int* bits) { return sys().modem_ioctl(fd, TIOCMGET, bits); }
