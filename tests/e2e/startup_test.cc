// Start-up, shutdown and start-up failures of the built daemon, observed through its files, its
// listening socket, the serial line and its log mirror.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "e2e/daemon_harness.h"
#include "platform/tls.h"
#include "platform/unique_fd.h"

namespace {

constexpr double kStartSeconds = 15;
constexpr double kExitSeconds = 15;
constexpr double kReplySeconds = 5;

std::string lock_content(int pid) {
  char text[32];
  snprintf(text, sizeof text, "%10d\n", pid);
  return text;
}

// Every (severity, text) appears in the log, in this order.
testing::AssertionResult log_in_order(const daemon_process& d,
                                      const std::vector<std::pair<int, std::string>>& expected) {
  int last = -1;
  for (const auto& [severity, text] : expected) {
    int at = d.log_index(text, severity);
    if (at < 0) {
      return testing::AssertionFailure() << "missing <" << severity << ">" << text << "; log:\n"
                                         << d.log_text();
    }
    if (at <= last) {
      return testing::AssertionFailure()
             << "<" << severity << ">" << text << " out of order; log:\n"
             << d.log_text();
    }
    last = at;
  }
  return testing::AssertionSuccess();
}

bool lock_dir_empty(const sandbox& box) {
  std::error_code ec;
  return std::filesystem::is_empty(box.path("/var/lock"), ec) && !ec;
}

TEST(Startup, WritesPidAndLockFilesListensAndAnswersOnTheLine) {
  sandbox box;
  ASSERT_TRUE(box.ok());
  daemon_process d(box);
  ASSERT_TRUE(d.start());
  ASSERT_TRUE(d.wait_running(seconds_from_now(kStartSeconds)));

  std::vector<log_line> log = d.log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0].severity, 5);
  EXPECT_EQ(log[0].text, "started");

  EXPECT_EQ(read_file(box.pid_path()), std::to_string(d.pid()) + "\n");
  EXPECT_EQ(read_file(box.lock_path()), lock_content(d.pid()));
  struct stat st {};
  ASSERT_EQ(stat(box.lock_path().c_str(), &st), 0);
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0644 & ~mask);

  // A send to a connection that the peer has reset must be an error, not the end of the
  // process.
  EXPECT_TRUE(d.ignores_signal(SIGPIPE));

  ASSERT_TRUE(d.serial_write("AT\r"));
  EXPECT_EQ(d.serial_read_until("OK\r\n", seconds_from_now(kReplySeconds)), "AT\r\nOK\r\n");
  EXPECT_EQ(d.serial_read_for(std::chrono::milliseconds(300)), "");

  ASSERT_TRUE(d.send_signal(SIGTERM));
  EXPECT_EQ(d.wait_exit(seconds_from_now(kExitSeconds)), 0);
}

TEST(Startup, SecondSerialPortSelectsTtyS1AndItsLock) {
  sandbox box;
  ASSERT_TRUE(box.ok());
  box.remove_device();
  ASSERT_EQ(symlink(box.slave_name().c_str(), box.path("/dev/ttyS1").c_str()), 0);
  box.set("MOD_ORVANE_SERIAL", "1");
  daemon_process d(box);
  ASSERT_TRUE(d.start());
  ASSERT_TRUE(d.wait_running(seconds_from_now(kStartSeconds)));

  EXPECT_EQ(read_file(box.path("/var/lock/LCK..ttyS1")), lock_content(d.pid()));
  EXPECT_FALSE(path_exists(box.lock_path()));
  ASSERT_TRUE(d.serial_write("AT\r"));
  EXPECT_EQ(d.serial_read_until("OK\r\n", seconds_from_now(kReplySeconds)), "AT\r\nOK\r\n");

  ASSERT_TRUE(d.send_signal(SIGTERM));
  EXPECT_EQ(d.wait_exit(seconds_from_now(kExitSeconds)), 0);
  EXPECT_FALSE(path_exists(box.path("/var/lock/LCK..ttyS1")));
}

class ShutdownBySignal : public testing::TestWithParam<int> {};

TEST_P(ShutdownBySignal, ExitsZeroAndRemovesItsFiles) {
  const int sig = GetParam();
  sandbox box;
  ASSERT_TRUE(box.ok());
  daemon_process d(box);
  ASSERT_TRUE(d.start());
  ASSERT_TRUE(d.wait_running(seconds_from_now(kStartSeconds)));
  ASSERT_TRUE(path_exists(box.pid_path()));
  ASSERT_TRUE(path_exists(box.lock_path()));

  ASSERT_TRUE(d.send_signal(sig));
  EXPECT_EQ(d.wait_exit(seconds_from_now(kExitSeconds)), 0);
  EXPECT_TRUE(log_in_order(
      d, {{5, "started"}, {5, "received signal " + std::to_string(sig)}, {5, "terminated"}}));
  EXPECT_FALSE(path_exists(box.pid_path()));
  EXPECT_FALSE(path_exists(box.lock_path()));
}

INSTANTIATE_TEST_SUITE_P(Signals, ShutdownBySignal, testing::Values(SIGTERM, SIGINT, SIGQUIT),
                         [](const testing::TestParamInfo<int>& p) {
                           return std::string(sigabbrev_np(p.param));
                         });

// The state letter of /proc/<pid>/stat ('T' when stopped), '?' when it cannot be read.
char process_state(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() ? stat[paren + 2] : '?';
}

TEST(Shutdown, FirstTerminationSignalIsTheOneReported) {
  sandbox box;
  ASSERT_TRUE(box.ok());
  daemon_process d(box);
  ASSERT_TRUE(d.start());
  ASSERT_TRUE(d.wait_running(seconds_from_now(kStartSeconds)));

  // Both signals reach the stopped daemon and are handled together when it continues, before
  // its loop can look at them. The kernel takes the lower number off the queue first and then
  // stacks the handler of the next one above it, so SIGTERM's handler runs first and SIGINT's
  // handler, running second, must not replace it.
  ASSERT_TRUE(d.send_signal(SIGSTOP));
  steady_deadline stopped = seconds_from_now(kExitSeconds);
  while (process_state(d.pid()) != 'T' && std::chrono::steady_clock::now() < stopped) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(process_state(d.pid()), 'T');
  ASSERT_TRUE(d.send_signal(SIGTERM));
  ASSERT_TRUE(d.send_signal(SIGINT));
  ASSERT_TRUE(d.send_signal(SIGCONT));

  EXPECT_EQ(d.wait_exit(seconds_from_now(kExitSeconds)), 0);
  EXPECT_TRUE(d.has_log("received signal 15", 5)) << d.log_text();
  EXPECT_FALSE(d.has_log("received signal 2")) << d.log_text();
  EXPECT_TRUE(d.has_log("terminated", 5));
}

TEST(Shutdown, Sigusr1DoesNotStopTheDaemon) {
  sandbox box;
  ASSERT_TRUE(box.ok());
  daemon_process d(box);
  ASSERT_TRUE(d.start());
  ASSERT_TRUE(d.wait_running(seconds_from_now(kStartSeconds)));

  ASSERT_TRUE(d.send_signal(SIGUSR1));
  // A status request is served within about one pass; give it several.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  ASSERT_TRUE(d.alive()) << d.log_text();
  EXPECT_TRUE(d.listening());
  EXPECT_FALSE(d.has_log("terminated"));
  ASSERT_TRUE(d.serial_write("AT\r"));
  EXPECT_EQ(d.serial_read_until("OK\r\n", seconds_from_now(kReplySeconds)), "AT\r\nOK\r\n");
  ASSERT_TRUE(d.send_signal(SIGUSR1));
  ASSERT_TRUE(d.send_signal(SIGTERM));
  EXPECT_EQ(d.wait_exit(seconds_from_now(kExitSeconds)), 0);
  EXPECT_TRUE(d.has_log("received signal 15", 5)) << d.log_text();
  EXPECT_FALSE(d.has_log("received signal 10")) << d.log_text();
}

// Rules that load but that ATD would refuse are named at start-up, by the loader's line
// numbers (empty lines not counted); the daemon starts as before and the good rule dials.
TEST(Startup, DialRulesThatAtdRefusesAreReported) {
  sandbox box;
  ASSERT_TRUE(box.ok());
  box.set("MOD_ORVANE_CFG_SCRIPT",
          base64_of("I1:first\nD1:256000000001\n\nD2 : 000 000 000 000\nD3:127000000001\n"));
  daemon_process d(box);
  ASSERT_TRUE(d.start());
  ASSERT_TRUE(d.wait_running(seconds_from_now(kStartSeconds)));
  EXPECT_TRUE(log_in_order(
      d, {{4,
           "line 2 of configuration script: ATD refuses dial rule D1:256000000001: a group "
           "of three digits is above 255"},
          {4,
           "line 3 of configuration script: ATD refuses dial rule D2:000000000000: it stands "
           "for 0.0.0.0"}}));
  int warnings = 0;
  for (const log_line& line : d.log()) warnings += line.severity == 4 ? 1 : 0;
  EXPECT_EQ(warnings, 2) << d.log_text();
  ASSERT_TRUE(d.serial_write("ATD1\r"));
  EXPECT_EQ(d.serial_read_until("ERROR\r\n", seconds_from_now(kReplySeconds)), "ATD1\r\nERROR\r\n");
  ASSERT_TRUE(d.send_signal(SIGTERM));
  EXPECT_EQ(d.wait_exit(seconds_from_now(kExitSeconds)), 0);
}

// Starts a daemon that is expected to give up during start-up with exit status 1.
testing::AssertionResult fails_to_start(daemon_process& d) {
  if (!d.start()) return testing::AssertionFailure() << "fork failed";
  int status = d.wait_exit(seconds_from_now(kExitSeconds));
  if (status != 1) {
    return testing::AssertionFailure() << "exit status " << status << "; log:\n" << d.log_text();
  }
  return testing::AssertionSuccess();
}

// Start-up goes on without a pid file, and says so once the log level is known.
TEST(Startup, PidFileThatCannotBeWrittenIsLogged) {
  sandbox box;
  ASSERT_TRUE(box.ok());
  std::filesystem::remove_all(box.path("/var/run"));
  daemon_process d(box);
  ASSERT_TRUE(d.start());
  ASSERT_TRUE(d.wait_running(seconds_from_now(kStartSeconds)));
  EXPECT_TRUE(log_in_order(
      d, {{5, "started"},
          {3, "can't write pid file " + box.pid_path() + ": No such file or directory"}}));
  ASSERT_TRUE(d.send_signal(SIGTERM));
  EXPECT_EQ(d.wait_exit(seconds_from_now(kExitSeconds)), 0);
}

TEST(StartupFailure, MissingDeviceLeavesItsLockBehind) {
  sandbox box;
  ASSERT_TRUE(box.ok());
  box.remove_device();
  daemon_process d(box);
  ASSERT_TRUE(fails_to_start(d));
  EXPECT_TRUE(
      log_in_order(d, {{5, "started"},
                       {3, "open(" + box.device_path() + ") error: No such file or directory"},
                       {5, "terminated"}}));
  // The lock was taken before the open failed and stays, naming the exited process.
  EXPECT_EQ(read_file(box.lock_path()), lock_content(d.pid()));
  EXPECT_FALSE(path_exists(box.pid_path()));
}

TEST(StartupFailure, DeviceLockedByLiveProcess) {
  sandbox box;
  ASSERT_TRUE(box.ok());
  const std::string foreign = lock_content(getpid());
  write_file(box.lock_path(), foreign);
  daemon_process d(box);
  ASSERT_TRUE(fails_to_start(d));
  EXPECT_TRUE(log_in_order(
      d, {{3, "device " + box.device_path() + " is locked by another process"},
          {3, "lock file " + box.lock_path() + " is held by pid " + std::to_string(getpid())},
          {5, "terminated"}}));
  EXPECT_EQ(read_file(box.lock_path()), foreign);
  EXPECT_FALSE(path_exists(box.pid_path()));
  // The device was never opened, so the port keeps its default (canonical) line settings.
  termios tio{};
  ASSERT_EQ(tcgetattr(box.slave_fd(), &tio), 0);
  EXPECT_NE(tio.c_lflag & ICANON, 0u);
}

TEST(StartupFailure, ListenPortInUseKeepsTheDeviceLock) {
  sandbox box;
  ASSERT_TRUE(box.ok());
  int blocker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(blocker, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(box.port());
  ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(blocker, 1), 0);

  daemon_process d(box);
  ASSERT_TRUE(fails_to_start(d));
  close(blocker);
  std::string program = read_file("/proc/self/comm");
  program.pop_back();  // its newline
  EXPECT_TRUE(log_in_order(
      d, {{3, "bind socket error: Address already in use"},
          {3, "can't open listen socket"},
          {3, "can't listen on TCP port " + std::to_string(box.port()) + " of every address"},
          {3, "TCP port " + std::to_string(box.port()) + " is held by pid " +
                  std::to_string(getpid()) + " (" + program + ")"},
          {5, "terminated"}}));
  EXPECT_EQ(read_file(box.lock_path()), lock_content(d.pid()));
  EXPECT_FALSE(path_exists(box.pid_path()));
}

// The real reason, not "locked by another process", and at once rather than after a second.
TEST(StartupFailure, MissingLockDirectoryIsReportedWithTheReason) {
  sandbox box;
  ASSERT_TRUE(box.ok());
  std::filesystem::remove_all(box.path("/var/lock"));
  daemon_process d(box);
  ASSERT_TRUE(fails_to_start(d));
  EXPECT_TRUE(log_in_order(
      d, {{3, "can't create lock file " + box.lock_path() + ": No such file or directory"},
          {5, "terminated"}}));
  EXPECT_EQ(d.log_index("device " + box.device_path() + " is locked by another process"), -1);
  EXPECT_FALSE(path_exists(box.pid_path()));
}

TEST(StartupFailure, ScriptErrorStopsBeforeTheDeviceIsLocked) {
  sandbox box;
  ASSERT_TRUE(box.ok());
  box.set("MOD_ORVANE_CFG_SCRIPT", base64_of("X:y"));
  daemon_process d(box);
  ASSERT_TRUE(fails_to_start(d));
  EXPECT_TRUE(log_in_order(d, {{7, "unknown substitution type"},
                               {3, "error at line 1 in configuration script"},
                               {3,
                                "line 1 of configuration script: unknown substitution type: a "
                                "rule begins with D (dial) or I (information)"},
                               {7, "processing of configuration script failed"},
                               {5, "terminated"}}));
  EXPECT_TRUE(lock_dir_empty(box));
  EXPECT_FALSE(path_exists(box.pid_path()));
  termios tio{};
  ASSERT_EQ(tcgetattr(box.slave_fd(), &tio), 0);
  EXPECT_NE(tio.c_lflag & ICANON, 0u) << "the device was configured although start-up failed";
}

// Certificate files that cannot be used stop start-up before the device is locked, with a
// message naming the key.
TEST(StartupFailure, TlsFilesThatCannotBeUsedAreNamed) {
  if (!tls_built_in()) GTEST_SKIP() << "built without TLS";
  temp_dir certs;
  ASSERT_TRUE(make_tls_certificates(certs.path()));
  write_file(certs.file("junk.pem"), "not a certificate\n");
  write_file(certs.file("big.pem"), read_file(certs.file("ca.pem")) + std::string(1 << 20, '\n'));
  ASSERT_EQ(mkfifo(certs.file("fifo").c_str(), 0600), 0);
  struct {
    const char *cert, *key, *ca, *logged;
  } cases[] = {
      {"missing.pem", "r1.key", "ca.pem", "TLS_CERT: %s/missing.pem: cannot be read: No such file"},
      {"junk.pem", "r1.key", "ca.pem", "TLS_CERT: %s/junk.pem: holds no PEM certificate"},
      {"r1.pem", "r2.key", "ca.pem", "TLS_KEY: %s/r2.key: does not match the certificate"},
      {"r1.pem", "r1.pem", "ca.pem", "TLS_KEY: %s/r1.pem: holds no PEM private key"},
      {"r1.pem", "r1.key", "junk.pem", "TLS_CA: %s/junk.pem: holds no PEM certificate"},
      {"fifo", "r1.key", "ca.pem", "TLS_CERT: %s/fifo: is not a regular file"},
      {"r1.pem", "r1.key", "big.pem", "TLS_CA: %s/big.pem: is larger than 1 MiB"},
  };
  for (const auto& c : cases) {
    sandbox box;
    ASSERT_TRUE(box.ok());
    box.set("MOD_ORVANE_TLS_CERT", certs.file(c.cert));
    box.set("MOD_ORVANE_TLS_KEY", certs.file(c.key));
    box.set("MOD_ORVANE_TLS_CA", certs.file(c.ca));
    daemon_process d(box);
    ASSERT_TRUE(fails_to_start(d));
    char text[300];
    snprintf(text, sizeof text, c.logged, certs.path().c_str());
    EXPECT_TRUE(d.wait_log_if(
        [&](const log_line& l) {
          return l.severity == 3 && l.text.rfind(std::string("MOD_ORVANE_") + text, 0) == 0;
        },
        seconds_from_now(1), text));
    EXPECT_TRUE(lock_dir_empty(box));
  }
}

TEST(StartupFailure, SerialSettingOutsideZeroAndOneIsRefused) {
  sandbox box;
  ASSERT_TRUE(box.ok());
  box.set("MOD_ORVANE_SERIAL", "5");
  daemon_process d(box);
  ASSERT_TRUE(fails_to_start(d));
  bool named = false;
  for (const log_line& line : d.log()) {
    named = named || (line.severity == 3 && line.text.find('5') != std::string::npos);
  }
  EXPECT_TRUE(named) << "no level-3 message naming the value; log:\n" << d.log_text();
  EXPECT_TRUE(lock_dir_empty(box));
  EXPECT_FALSE(path_exists(box.pid_path()));
}

// A serial adapter by its path (the pty linked under another name) and one listening address,
// both under ORVANED_ROOT. A terminal on stderr hears the warnings and what the daemon serves.
TEST(Startup, DeviceByPathAndOneAddressAreServedAndSaidOnTheTerminal) {
  sandbox box;
  ASSERT_TRUE(box.ok());
  box.remove_device();
  ASSERT_EQ(symlink(box.slave_name().c_str(), box.path("/dev/ttyUSB0").c_str()), 0);
  box.set("MOD_ORVANE_SERIAL", "7");  // not consulted while a device path is set
  box.set("MOD_ORVANE_DEVICE", "/dev/ttyUSB0");
  box.set("MOD_ORVANE_LISTEN", "127.0.0.1");
  box.set("MOD_ORVANE_BAUDRTE", "9600");
  sandbox terminal;  // its pty stands for the terminal of a person who starts the daemon
  daemon_process d(box);
  d.set_launcher(
      {"/bin/sh", "-c", "unset ORVANED_LOG_STDERR; exec \"$0\" 2>" + terminal.slave_name()});
  ASSERT_TRUE(d.start());
  ASSERT_TRUE(d.wait_running(seconds_from_now(kStartSeconds)));
  EXPECT_EQ(terminal.serial_read_until("bit/s\r\n", seconds_from_now(kReplySeconds)),
            "orvaned: MOD_ORVANE_BAUDRTE is not a key; did you mean MOD_ORVANE_BAUDRATE?\r\n"
            "orvaned: listening on 127.0.0.1 port " +
                std::to_string(box.port()) + ", " + box.path("/dev/ttyUSB0") +
                " at 115200 bit/s\r\n");
  EXPECT_EQ(read_file(box.path("/var/lock/LCK..ttyUSB0")), lock_content(d.pid()));
  ASSERT_TRUE(d.serial_write("AT\r"));
  EXPECT_EQ(d.serial_read_until("OK\r\n", seconds_from_now(kReplySeconds)), "AT\r\nOK\r\n");

  ASSERT_TRUE(d.send_signal(SIGTERM));
  EXPECT_EQ(d.wait_exit(seconds_from_now(kExitSeconds)), 0);
  EXPECT_FALSE(path_exists(box.path("/var/lock/LCK..ttyUSB0")));
}

// A device path or a listen address that cannot serve ends start-up with a line naming its key.
TEST(StartupFailure, DeviceOrAddressThatCannotServeIsNamed) {
  struct {
    const char *key, *value, *logged;
  } cases[] = {
      {"MOD_ORVANE_DEVICE", "/dev/ttyUSB9", "MOD_ORVANE_DEVICE: %s/dev/ttyUSB9: No such file"},
      {"MOD_ORVANE_LISTEN", "192.0.2.1", "MOD_ORVANE_LISTEN: 192.0.2.1 is not an address of"},
      {"MOD_ORVANE_LISTEN", "router7", "MOD_ORVANE_LISTEN: \"router7\" is not an IPv4 or IPv6"},
  };
  for (const auto& c : cases) {
    sandbox box;
    ASSERT_TRUE(box.ok());
    box.set(c.key, c.value);
    daemon_process d(box);
    ASSERT_TRUE(fails_to_start(d));
    char text[300];
    snprintf(text, sizeof text, c.logged, box.root().c_str());
    EXPECT_TRUE(d.wait_log_if(
        [&](const log_line& l) { return l.severity == 3 && l.text.rfind(text, 0) == 0; },
        seconds_from_now(1), text));
  }
}

// Values that mean something else are said once each, and the daemon starts with them as read.
TEST(Startup, SettingsThatMeanSomethingElseAreWarned) {
  sandbox box;
  ASSERT_TRUE(box.ok());
  box.set("MOD_ORVANE_FLOWCONTROL", "x3");
  box.set("MOD_ORVANE_BAUDRTE", "9600");
  daemon_process d(box);
  ASSERT_TRUE(d.start());
  ASSERT_TRUE(d.wait_running(seconds_from_now(kStartSeconds)));
  EXPECT_TRUE(
      log_in_order(d, {{4, "MOD_ORVANE_FLOWCONTROL: \"x3\" is not a number; read as 0"},
                       {4, "MOD_ORVANE_BAUDRTE is not a key; did you mean MOD_ORVANE_BAUDRATE?"}}));
  ASSERT_TRUE(d.send_signal(SIGTERM));
  EXPECT_EQ(d.wait_exit(seconds_from_now(kExitSeconds)), 0);
}

// Part of a cut allow list would let in callers the operator never allowed.
TEST(StartupFailure, CutAllowListIsRefusedBeforeTheDeviceIsLocked) {
  sandbox box;
  ASSERT_TRUE(box.ok());
  box.set("MOD_ORVANE_ALLOW", "10.0.0.0/8," + std::string(16400, ' ') + "126.0.0.0/16");
  daemon_process d(box);
  ASSERT_TRUE(fails_to_start(d));
  EXPECT_TRUE(log_in_order(d, {{3, "settings file " + box.settings_path() +
                                       ": the line of MOD_ORVANE_ALLOW is longer than 16383 "
                                       "characters: a cut value is not used"},
                               {5, "terminated"}}));
  EXPECT_TRUE(lock_dir_empty(box));
}

// Without a settings file every number is 0, the log threshold too: a start that succeeds
// logs only "started", but the reason a start fails still reaches the log at level 3. A
// threshold that the file sets (0 here) filters that reason as before.
struct no_settings_case {
  const char* name;
  bool settings_file;  // a file with MOD_ORVANE_SYSLOGLEV=0
  int failure;         // 0: none, 1: device locked by this (live) process, 2: no lock directory
  bool reason_logged;
};

void PrintTo(const no_settings_case& c, std::ostream* os) { *os << c.name; }

class QuietStart : public testing::TestWithParam<no_settings_case> {};

TEST_P(QuietStart, FailureReasonReachesTheLogOnlyWithoutASettingsFile) {
  const no_settings_case& c = GetParam();
  sandbox box;
  ASSERT_TRUE(box.ok());
  if (c.settings_file) {
    box.set("MOD_ORVANE_SYSLOGLEV", "0");
  } else {
    ASSERT_EQ(unlink(box.settings_path().c_str()), 0);
  }
  const std::string reasons[] = {
      "", "device " + box.device_path() + " is locked by another process",
      "can't create lock file " + box.lock_path() + ": No such file or directory"};
  if (c.failure == 1) write_file(box.lock_path(), lock_content(getpid()));
  if (c.failure == 2) {
    ASSERT_EQ(rmdir(box.path("/var/lock").c_str()), 0);
  }
  daemon_process d(box);
  std::vector<std::pair<int, std::string>> expected = {{5, "started"}};
  if (!c.settings_file) {
    expected.emplace_back(4, "settings file " + box.settings_path() +
                                 " cannot be read (No such file or directory): every value is 0, "
                                 "so S3 is 0 and a line typed with CR is never finished");
  }
  if (c.failure != 0) {
    ASSERT_TRUE(fails_to_start(d));
    if (c.reason_logged) expected.emplace_back(3, reasons[c.failure]);
    if (c.reason_logged && c.failure == 1) {
      expected.emplace_back(
          3, "lock file " + box.lock_path() + " is held by pid " + std::to_string(getpid()));
    }
  } else {
    // Port 0 from the missing file: the daemon listens on a port of the kernel's choice, so
    // its signal handlers (installed after the last step that can fail) show it running.
    ASSERT_TRUE(d.start());
    steady_deadline deadline = seconds_from_now(kStartSeconds);
    while (d.alive() && !d.handlers_installed() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(d.handlers_installed()) << d.log_text();
    ASSERT_TRUE(d.send_signal(SIGTERM));
    EXPECT_EQ(d.wait_exit(seconds_from_now(kExitSeconds)), 0);
  }
  std::vector<std::pair<int, std::string>> logged;
  for (const log_line& line : d.log()) logged.emplace_back(line.severity, line.text);
  EXPECT_EQ(logged, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, QuietStart,
    testing::Values(no_settings_case{"NoFileDeviceLocked", false, 1, true},
                    no_settings_case{"NoFileNoLockDirectory", false, 2, true},
                    no_settings_case{"LevelZeroDeviceLocked", true, 1, false},
                    no_settings_case{"LevelZeroNoLockDirectory", true, 2, false},
                    no_settings_case{"NoFileStarts", false, 0, false}),
    [](const testing::TestParamInfo<no_settings_case>& p) { return std::string(p.param.name); });

// The line settings read back from the pty after start-up. A pty forces 8 data bits and no
// parity, so only the other bits are compared.
struct termios_case {
  const char* baud;
  const char* stop_bits;
  speed_t speed;
  bool two_stop_bits;
};

void PrintTo(const termios_case& c, std::ostream* os) {
  *os << "baud " << c.baud << ", stop bits " << c.stop_bits;
}

class SerialLineSettings : public testing::TestWithParam<termios_case> {};

TEST_P(SerialLineSettings, AppliedToThePort) {
  const termios_case& c = GetParam();
  if (running_emulated() && c.speed > B460800) {
    GTEST_SKIP() << "qemu-user 7.2 turns the rates above 460800 bit/s into B0 on the host";
  }
  sandbox box;
  ASSERT_TRUE(box.ok());
  box.set("MOD_ORVANE_BAUDRATE", c.baud);
  box.set("MOD_ORVANE_STOPBITS", c.stop_bits);
  daemon_process d(box);
  ASSERT_TRUE(d.start());
  ASSERT_TRUE(d.wait_running(seconds_from_now(kStartSeconds)));

  termios tio{};
  ASSERT_EQ(tcgetattr(box.slave_fd(), &tio), 0);
  EXPECT_EQ(tio.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
  EXPECT_EQ(tio.c_oflag, 0u);
  EXPECT_EQ(tio.c_lflag, 0u);
  const tcflag_t line_bits = CREAD | HUPCL | CLOCAL;
  EXPECT_EQ(tio.c_cflag & line_bits, line_bits);
  EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.two_stop_bits);
  EXPECT_EQ(cfgetospeed(&tio), c.speed);

  ASSERT_TRUE(d.send_signal(SIGTERM));
  EXPECT_EQ(d.wait_exit(seconds_from_now(kExitSeconds)), 0);
}

INSTANTIATE_TEST_SUITE_P(Rates, SerialLineSettings,
                         testing::Values(termios_case{"115200", "1", B115200, false},
                                         termios_case{"12345", "1", B9600, false},
                                         termios_case{"921600", "2", B921600, true}),
                         [](const testing::TestParamInfo<termios_case>& p) {
                           return std::string("baud") + p.param.baud;
                         });

// The level threshold of the settings filters what reaches the log; "started" and "terminated"
// (level 5) pass at every threshold used here.
struct threshold_case {
  const char* level;
  bool command_errors;  // level 7 "command (I) requires parameter"
  bool traces;          // level 8 "raw atc" and "response", submitted as debug (7)
};

void PrintTo(const threshold_case& c, std::ostream* os) { *os << "threshold " << c.level; }

class LogThreshold : public testing::TestWithParam<threshold_case> {};

TEST_P(LogThreshold, FiltersByLevel) {
  const threshold_case& c = GetParam();
  sandbox box;
  ASSERT_TRUE(box.ok());
  box.set("MOD_ORVANE_SYSLOGLEV", c.level);
  daemon_process d(box);
  ASSERT_TRUE(d.start());
  ASSERT_TRUE(d.wait_running(seconds_from_now(kStartSeconds)));
  ASSERT_TRUE(d.serial_write("ATI\r"));
  EXPECT_EQ(d.serial_read_until("ERROR\r\n", seconds_from_now(kReplySeconds)), "ATI\r\nERROR\r\n");
  ASSERT_TRUE(d.send_signal(SIGTERM));
  EXPECT_EQ(d.wait_exit(seconds_from_now(kExitSeconds)), 0);

  EXPECT_TRUE(log_in_order(d, {{5, "started"}, {5, "received signal 15"}, {5, "terminated"}}));
  EXPECT_EQ(d.has_log("command (I) requires parameter", 7), c.command_errors) << d.log_text();
  EXPECT_EQ(d.has_log("raw atc: \"ATI\"", 7), c.traces) << d.log_text();
  EXPECT_EQ(d.has_log("response: \"ERROR\"", 7), c.traces) << d.log_text();
  for (const log_line& line : d.log()) {
    EXPECT_GE(line.severity, 0) << line.text;
    EXPECT_LE(line.severity, 7) << line.text;
    if (!c.command_errors) {
      EXPECT_LT(line.severity, 6) << line.text;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, LogThreshold,
                         testing::Values(threshold_case{"5", false, false},
                                         threshold_case{"7", true, false},
                                         threshold_case{"8", true, true}),
                         [](const testing::TestParamInfo<threshold_case>& p) {
                           return std::string("level") + p.param.level;
                         });

}  // namespace
