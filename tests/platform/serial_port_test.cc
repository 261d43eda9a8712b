#include "platform/serial_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/system_calls.h"
#include "platform/unique_fd.h"
#include "test_support.h"

namespace {

// Flag values of the Linux terminal interface, spelled out so that a wrong constant in the code
// shows up as a difference.
constexpr tcflag_t F_CS7 = 0x20, F_CS8 = 0x30, F_CSTOPB = 0x40, F_PARENB = 0x100, F_PARODD = 0x200,
                   F_CREAD_HUPCL_CLOCAL = 0xc80, F_B9600 = 0xd;

// A pseudo-terminal: the master end and the path of the slave end.
struct pty_pair {
  unique_fd master;
  std::string slave_path;
};

pty_pair open_pty() {
  pty_pair p;
  p.master.reset(posix_openpt(O_RDWR | O_NOCTTY));
  if (!p.master.valid() || grantpt(p.master.get()) != 0 || unlockpt(p.master.get()) != 0) {
    return p;
  }
  const char* name = ptsname(p.master.get());
  if (name != nullptr) p.slave_path = name;
  return p;
}

// Binds the log threshold for the life of a test and restores "no threshold" afterwards.
struct scoped_threshold {
  uint32_t value;
  explicit scoped_threshold(uint32_t v) : value(v) { log_set_threshold(&value); }
  ~scoped_threshold() { log_set_threshold(nullptr); }
};

// Installs a fake modem ioctl in the system-call table and puts the previous table back
// afterwards.
struct scoped_modem_ioctl {
  system_calls table = sys();
  const system_calls* previous;
  explicit scoped_modem_ioctl(int (*fn)(int, unsigned long, int*))
      : previous(use_system_calls(&table)) {
    table.modem_ioctl = fn;
  }
  ~scoped_modem_ioctl() { use_system_calls(previous); }
};

struct ioctl_call {
  int fd;
  unsigned long request;
  int bits;
};
std::vector<ioctl_call> ioctl_calls;

int recording_ioctl(int fd, unsigned long request, int* bits) {
  ioctl_calls.push_back({fd, request, *bits});
  if (request == TIOCMGET) *bits = TIOCM_CAR | TIOCM_DSR;
  return 0;
}

int ioctl_errno = EIO;  // what failing_ioctl fails with

int failing_ioctl(int fd, unsigned long request, int* bits) {
  ioctl_calls.push_back({fd, request, *bits});
  errno = ioctl_errno;
  return -1;
}

// Whatever arrives on `fd` until it stays quiet for 200 ms (5 s at most for the first bytes).
std::string read_available(int fd) {
  std::string out;
  char buf[256];
  for (int i = 0; i < 50; ++i) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, out.empty() ? 5000 : 200) <= 0) break;
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

}  // namespace

TEST(SerialPort, SpeedForRate) {
  struct {
    uint32_t baud;
    speed_t speed;
  } cases[] = {
      {9600, B9600},       {12345, B9600},    {0, B9600},        {1800, B9600},
      {110, B9600},        {300, B300},       {600, B600},       {115200, B115200},
      {230400, B230400},   {460800, B460800}, {921600, B921600}, {4000000, B4000000},
      {3500000, B3500000}, {4000001, B9600},  {9601, B9600},     {57600, B57600},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(serial_speed(c.baud), c.speed) << "baud " << c.baud;
  }
}

TEST(SerialPort, LineFlagsReplaceAllFourWords) {
  struct {
    uint32_t baud;
    uint32_t data_bits;
    const char* parity;
    uint32_t stop_bits;
    tcflag_t cflag;
  } cases[] = {
      {9600, 8, "N", 1, 0xcbd},
      {12345, 8, "N", 1, F_B9600 | F_CS8 | F_CREAD_HUPCL_CLOCAL},
      {0, 8, "N", 1, F_B9600 | F_CS8 | F_CREAD_HUPCL_CLOCAL},
      {460800, 8, "N", 1, B460800 | F_CS8 | F_CREAD_HUPCL_CLOCAL},
      {921600, 8, "N", 1, B921600 | F_CS8 | F_CREAD_HUPCL_CLOCAL},
      {4000000, 8, "N", 1, B4000000 | F_CS8 | F_CREAD_HUPCL_CLOCAL},
      {9600, 7, "N", 1, F_B9600 | F_CS7 | F_CREAD_HUPCL_CLOCAL},
      {9600, 5, "N", 1, F_B9600 | F_CS8 | F_CREAD_HUPCL_CLOCAL},
      {9600, 6, "N", 1, F_B9600 | F_CS8 | F_CREAD_HUPCL_CLOCAL},
      {9600, 9, "N", 1, F_B9600 | F_CS8 | F_CREAD_HUPCL_CLOCAL},
      {9600, 8, "N", 2, F_B9600 | F_CS8 | F_CSTOPB | F_CREAD_HUPCL_CLOCAL},
      {9600, 8, "N", 0, F_B9600 | F_CS8 | F_CREAD_HUPCL_CLOCAL},
      {9600, 8, "N", 3, F_B9600 | F_CS8 | F_CREAD_HUPCL_CLOCAL},
      {9600, 8, "O", 1, F_B9600 | F_CS8 | F_PARENB | F_PARODD | F_CREAD_HUPCL_CLOCAL},
      {9600, 8, "Odd", 1, F_B9600 | F_CS8 | F_PARENB | F_PARODD | F_CREAD_HUPCL_CLOCAL},
      {9600, 8, "E", 1, F_B9600 | F_CS8 | F_PARENB | F_CREAD_HUPCL_CLOCAL},
      {9600, 8, "o", 1, F_B9600 | F_CS8 | F_CREAD_HUPCL_CLOCAL},
      {9600, 8, "e", 1, F_B9600 | F_CS8 | F_CREAD_HUPCL_CLOCAL},
      {9600, 8, "", 1, F_B9600 | F_CS8 | F_CREAD_HUPCL_CLOCAL},
      {115200, 7, "E", 2, B115200 | F_CS7 | F_CSTOPB | F_PARENB | F_CREAD_HUPCL_CLOCAL},
  };
  for (const auto& c : cases) {
    termios tio;
    memset(&tio, 0xff, sizeof tio);
    serial_line_flags(tio, c.baud, c.data_bits, c.parity, c.stop_bits);
    std::string what = std::to_string(c.baud) + " " + std::to_string(c.data_bits) + " \"" +
                       c.parity + "\" " + std::to_string(c.stop_bits);
    EXPECT_EQ(tio.c_iflag, 0x5u) << what;
    EXPECT_EQ(tio.c_oflag, 0u) << what;
    EXPECT_EQ(tio.c_lflag, 0u) << what;
    // Exact equality also proves that flow control and the input-speed bits are off.
    EXPECT_EQ(tio.c_cflag, c.cflag) << what << std::hex << " got 0x" << tio.c_cflag;
    // Control characters and the line discipline are kept as they were.
    EXPECT_EQ(tio.c_line, static_cast<cc_t>(0xff)) << what;
    EXPECT_EQ(tio.c_cc[VMIN], static_cast<cc_t>(0xff)) << what;
    EXPECT_EQ(tio.c_cc[VTIME], static_cast<cc_t>(0xff)) << what;
  }
}

TEST(SerialPort, FlowControlAddsItsFlagsOnly) {
  constexpr tcflag_t F_IXON = 0x400, F_IXOFF = 0x1000, F_CRTSCTS = 0x80000000;
  struct row {
    uint32_t flow;
    tcflag_t iflag, cflag;
  };
  const tcflag_t base = F_B9600 | F_CS8 | F_CREAD_HUPCL_CLOCAL;
  const row rows[] = {
      {FLOW_NONE, 0x5, base},
      {FLOW_RTS_CTS, 0x5, base | F_CRTSCTS},
      {FLOW_XON_XOFF, 0x5 | F_IXON | F_IXOFF, base},
      {1, 0x5, base},  // not a mode: nothing added
      {7, 0x5, base},
  };
  for (const row& r : rows) {
    termios tio;
    memset(&tio, 0xff, sizeof tio);
    serial_line_flags(tio, 9600, 8, "N", 1, r.flow);
    EXPECT_EQ(tio.c_iflag, r.iflag) << r.flow;
    EXPECT_EQ(tio.c_cflag, r.cflag) << r.flow << std::hex << " got 0x" << tio.c_cflag;
    EXPECT_EQ(serial_flow_valid(r.flow), r.flow == 0 || r.flow == 3 || r.flow == 4) << r.flow;
  }
}

TEST(SerialPort, FlowControlChangesOnTheOpenPort) {
  pty_pair pty = open_pty();
  ASSERT_FALSE(pty.slave_path.empty());
  unique_fd port(serial_open(pty.slave_path.c_str(), 9600, 8, "N", 1, FLOW_XON_XOFF));
  ASSERT_TRUE(port.valid());
  auto flags = [&port](tcflag_t& iflag, tcflag_t& cflag) {
    termios tio{};
    ASSERT_EQ(tcgetattr(port.get(), &tio), 0);
    iflag = tio.c_iflag;
    cflag = tio.c_cflag;
  };
  tcflag_t iflag = 0, cflag = 0;
  flags(iflag, cflag);
  EXPECT_EQ(iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR | IXON | IXOFF));
  EXPECT_EQ(cflag & CRTSCTS, 0u);
  const tcflag_t other_cflag = cflag & ~static_cast<tcflag_t>(CRTSCTS);
  // Each mode in turn replaces the previous one and leaves the other flags alone.
  for (uint32_t flow : {FLOW_RTS_CTS, FLOW_NONE, FLOW_XON_XOFF, FLOW_NONE}) {
    ASSERT_EQ(serial_set_flow(port.get(), flow), 0) << flow;
    flags(iflag, cflag);
    EXPECT_EQ(iflag & (IXON | IXOFF), flow == FLOW_XON_XOFF ? IXON | IXOFF : 0u) << flow;
    EXPECT_EQ(iflag & ~static_cast<tcflag_t>(IXON | IXOFF), IGNBRK | IGNPAR) << flow;
    EXPECT_EQ(cflag & CRTSCTS, flow == FLOW_RTS_CTS ? CRTSCTS : 0u) << flow;
    EXPECT_EQ(cflag & ~static_cast<tcflag_t>(CRTSCTS), other_cflag) << flow;
  }
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  unique_fd a(fds[0]), b(fds[1]);
  EXPECT_EQ(serial_set_flow(a.get(), FLOW_RTS_CTS), -1);
  EXPECT_EQ(errno, ENOTTY);
}

TEST(SerialPort, OpensPtyRawNonBlocking) {
  pty_pair pty = open_pty();
  ASSERT_TRUE(pty.master.valid());
  ASSERT_FALSE(pty.slave_path.empty());
  log_capture log;
  unique_fd port(serial_open(pty.slave_path.c_str(), 115200, 8, "N", 2));
  ASSERT_TRUE(port.valid());
  EXPECT_TRUE(log.lines().empty());

  int flags = fcntl(port.get(), F_GETFL);
  EXPECT_TRUE(flags & O_NONBLOCK);
  EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
  EXPECT_TRUE(fcntl(port.get(), F_GETFD) & FD_CLOEXEC);

  termios tio{};
  ASSERT_EQ(tcgetattr(port.get(), &tio), 0);
  EXPECT_EQ(tio.c_iflag, 0x5u);
  EXPECT_EQ(tio.c_oflag, 0u);
  EXPECT_EQ(tio.c_lflag, 0u);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
  EXPECT_EQ(tio.c_cflag & (CREAD | HUPCL | CLOCAL | CSTOPB | CRTSCTS),
            static_cast<tcflag_t>(CREAD | HUPCL | CLOCAL | CSTOPB));

  // Raw both ways: no CR/NL translation, no echo, no line buffering.
  char none;
  EXPECT_EQ(read(port.get(), &none, 1), -1);
  EXPECT_EQ(errno, EAGAIN);
  ASSERT_EQ(write(pty.master.get(), "at\r\x03", 4), 4);
  EXPECT_EQ(read_available(port.get()), "at\r\x03");
  ASSERT_EQ(write(port.get(), "OK\r\n", 4), 4);
  EXPECT_EQ(read_available(pty.master.get()), "OK\r\n");
}

TEST(SerialPort, MissingDeviceIsReportedPastTheThreshold) {
  log_set_threshold(nullptr);
  log_capture log;
  temp_dir dir;
  std::string path = dir.file("no-such-tty");
  EXPECT_EQ(serial_open(path.c_str(), 9600, 8, "N", 1), -1);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_TRUE(log.has(3, "open(" + path + ") error: No such file or directory"));
}

TEST(SerialPort, NonTerminalOpensButIsNotConfigured) {
  log_set_threshold(nullptr);
  log_capture log;
  temp_dir dir;
  std::string path = dir.file("plain");
  write_file(path, "x");
  unique_fd fd(serial_open(path.c_str(), 9600, 8, "N", 1));
  EXPECT_TRUE(fd.valid());
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_TRUE(log.has(3, "tcsetattr(" + path + ") error: Inappropriate ioctl for device"));
}

TEST(SerialPort, ModemLinesRaiseAndDropThroughTheSeam) {
  scoped_threshold threshold(8);
  scoped_modem_ioctl fake(recording_ioctl);
  log_capture log;
  ioctl_calls.clear();
  set_modem_lines(7, TIOCM_DTR, 1);
  set_modem_lines(7, TIOCM_DTR, 0);
  set_modem_lines(9, TIOCM_RTS, 5);
  set_modem_lines(9, TIOCM_DTR | TIOCM_RTS, 0);
  ASSERT_EQ(ioctl_calls.size(), 4u);
  const ioctl_call expected[] = {
      {7, 0x5416, 0x002}, {7, 0x5417, 0x002}, {9, 0x5416, 0x004}, {9, 0x5417, 0x006}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(ioctl_calls[i].fd, expected[i].fd) << i;
    EXPECT_EQ(ioctl_calls[i].request, expected[i].request) << i;
    EXPECT_EQ(ioctl_calls[i].bits, expected[i].bits) << i;
  }
  EXPECT_TRUE(log.lines().empty());

  int bits = 0;
  EXPECT_EQ(get_modem_lines(4, &bits), 0);
  EXPECT_EQ(bits, TIOCM_CAR | TIOCM_DSR);
  ASSERT_EQ(ioctl_calls.size(), 5u);
  EXPECT_EQ(ioctl_calls[4].request, static_cast<unsigned long>(TIOCMGET));
}

TEST(SerialPort, ModemLinesOnNoDescriptorDoNothing) {
  scoped_threshold threshold(8);
  scoped_modem_ioctl fake(failing_ioctl);
  log_capture log;
  ioctl_calls.clear();
  set_modem_lines(-1, TIOCM_DTR, 1);
  set_modem_lines(-1, TIOCM_RTS, 0);
  EXPECT_TRUE(ioctl_calls.empty());
  EXPECT_TRUE(log.lines().empty());
}

// A refusal is the caller's to report (the modem record says a missing line once).
TEST(SerialPort, ModemLineFailureIsReturned) {
  scoped_threshold threshold(8);
  scoped_modem_ioctl fake(failing_ioctl);
  log_capture log;
  ioctl_errno = ENOTTY;
  EXPECT_EQ(set_modem_lines(5, TIOCM_DTR, 1), ENOTTY);
  ioctl_errno = EIO;
  EXPECT_EQ(set_modem_lines(5, TIOCM_DTR, 0), EIO);
  int bits = 0;
  EXPECT_EQ(get_modem_lines(5, &bits), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_TRUE(log.lines().empty());
}

TEST(SerialPort, RealModemIoctlFailsOnAPty) {
  pty_pair pty = open_pty();
  ASSERT_TRUE(pty.master.valid());
  unique_fd port(serial_open(pty.slave_path.c_str(), 9600, 8, "N", 1));
  ASSERT_TRUE(port.valid());
  EXPECT_EQ(set_modem_lines(port.get(), TIOCM_DTR, 0), ENOTTY);
  int bits = 0;
  EXPECT_EQ(get_modem_lines(port.get(), &bits), -1);
}
