#include "e2e/daemon_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#ifndef ORVANED_BINARY
#error "ORVANED_BINARY must name the daemon binary"
#endif
#ifndef ORVANED_TEST_EMULATED
#define ORVANED_TEST_EMULATED 0
#endif

extern char** environ;

namespace {

// The settings file every sandbox starts from: the sample's registers and flags on the
// pty, at 115200 bit/s 8N1, logging everything (the port is filled in later).
std::vector<std::pair<std::string, std::string>> default_settings() {
  modem_settings s = sample_modem_settings();
  s.enabled = 1;
  s.baudrate = 115200;
  s.databits = 8;
  s.parity = "N";
  s.stopbits = 1;
  s.sysloglev = 8;
  std::vector<std::pair<std::string, std::string>> lines;
  std::istringstream text(settings_format(s));
  for (std::string line; std::getline(text, line);) {
    size_t equals = line.find('=');
    lines.emplace_back(line.substr(0, equals), line.substr(equals + 1));
  }
  return lines;
}

constexpr const char* module_version_text = "orvane-module 1.4.2\n";
constexpr const char* router_version_text = "router firmware 7.1\nbuild 2024-05-01\n";

std::string errno_text(const char* what) { return std::string(what) + ": " + strerror(errno); }

bool make_dirs(const std::string& root, std::string& error) {
  for (const char* rel :
       {"/opt/orvane/etc", "/etc", "/var/run", "/var/lock", "/var/orvane", "/dev"}) {
    std::error_code ec;
    std::filesystem::create_directories(root + rel, ec);
    if (ec) {
      error = "create_directories(" + root + rel + "): " + ec.message();
      return false;
    }
  }
  return true;
}

// Both ends of a new pty, close-on-exec so that no daemon inherits them; the master is
// non-blocking for the poll-driven reads.
bool open_pty(int& master, int& slave, std::string& slave_name, std::string& error) {
  master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) {
    error = errno_text("posix_openpt");
    return false;
  }
  char name[128];
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
    error = errno_text("grantpt/unlockpt/ptsname_r");
    return false;
  }
  slave_name = name;
  slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    error = errno_text("open pty slave");
    return false;
  }
  int flags = fcntl(master, F_GETFL);
  if (flags < 0 || fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0) {
    error = errno_text("fcntl(master)");
    return false;
  }
  return true;
}

// Ownership test for a socket inode: some descriptor of `pid` is "socket:[inode]".
bool process_owns_socket(pid_t pid, unsigned long inode) {
  std::string want = "socket:[" + std::to_string(inode) + "]";
  std::error_code ec;
  std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec);
  if (ec) return false;
  for (const auto& entry : it) {
    std::filesystem::path target = std::filesystem::read_symlink(entry.path(), ec);
    if (!ec && target.string() == want) return true;
  }
  return false;
}

// The inodes of sockets in LISTEN state on `port`, from the /proc/.../net/tcp and tcp6 tables
// (the daemon listens on one dual-stack socket, or on IPv4 where the kernel has no IPv6).
std::vector<unsigned long> listening_inodes(pid_t pid, int port) {
  std::vector<unsigned long> inodes;
  for (const char* name : {"tcp", "tcp6"}) {
    std::ifstream table("/proc/" + std::to_string(pid) + "/net/" + name);
    std::string line;
    std::getline(table, line);  // header
    while (std::getline(table, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
      unsigned long inode = 0;
      if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode)) {
        continue;
      }
      size_t colon = local.find(':');
      if (colon == std::string::npos || state != "0A") continue;
      if (std::stoi(local.substr(colon + 1), nullptr, 16) == port) inodes.push_back(inode);
    }
  }
  return inodes;
}

// A signal mask line of /proc/<pid>/status ("SigCgt:", "SigIgn:"), 0 when it cannot be read.
unsigned long long status_mask(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::stoull(line.substr(field.size()), nullptr, 16);
  }
  return 0;
}

constexpr unsigned long long signal_bit(int sig) { return 1ULL << (sig - 1); }

// Appends a log line as the daemon wrote it, "<N>TEXT\n". Built by appending: GCC 12 at -O3
// reports a false -Wrestrict overlap for "<" + std::string&& on 32-bit targets.
void append_log_line(std::string& text, const log_line& line) {
  text += '<';
  text += std::to_string(line.severity);
  text += '>';
  text += line.text;
  text += '\n';
}

}  // namespace

steady_deadline seconds_from_now(double seconds) {
  static const double scale = [] {
    const char* text = getenv("ORVANED_TEST_TIME_SCALE");
    double value = text != nullptr ? strtod(text, nullptr) : 1.0;
    return value > 1.0 ? value : 1.0;
  }();
  return std::chrono::steady_clock::now() +
         std::chrono::duration_cast<std::chrono::steady_clock::duration>(
             std::chrono::duration<double>(seconds * scale));
}

bool running_emulated() {
  const char* emulator = getenv("ORVANED_TEST_EMULATOR");
  return ORVANED_TEST_EMULATED != 0 && (emulator == nullptr || *emulator != '\0');
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string base64_of(std::string_view text) {
  static constexpr char alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 3 <= text.size(); i += 3) {
    unsigned v = (static_cast<unsigned char>(text[i]) << 16) |
                 (static_cast<unsigned char>(text[i + 1]) << 8) |
                 static_cast<unsigned char>(text[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) out += alphabet[(v >> shift) & 63];
  }
  size_t rest = text.size() - i;
  if (rest > 0) {
    unsigned v = static_cast<unsigned char>(text[i]) << 16;
    if (rest == 2) v |= static_cast<unsigned char>(text[i + 1]) << 8;
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += rest == 2 ? alphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

log_line parse_log_line(const std::string& raw) {
  log_line line;
  line.text = raw;
  if (raw.size() >= 3 && raw[0] == '<') {
    size_t close_at = raw.find('>');
    if (close_at != std::string::npos && close_at > 1) {
      bool digits = true;
      for (size_t i = 1; i < close_at; ++i) digits = digits && raw[i] >= '0' && raw[i] <= '9';
      if (digits) {
        line.severity = std::stoi(raw.substr(1, close_at - 1));
        line.text = raw.substr(close_at + 1);
      }
    }
  }
  return line;
}

sandbox::sandbox() {
  if (root().empty()) {
    error_ = "no temporary directory";
  } else if (make_dirs(root(), error_) && open_pty(master_, slave_, slave_name_, error_)) {
    if (symlink(slave_name_.c_str(), device_path().c_str()) != 0) {
      error_ = errno_text("symlink(device)");
    }
    if (port() <= 0) error_ = "no free port in the test range";
  }
  settings_ = default_settings();
  set("MOD_ORVANE_PORT", std::to_string(port()));
  write_file(module_version_path(), module_version_text);
  write_file(router_version_path(), router_version_text);
  if (!ok()) ADD_FAILURE() << "sandbox: " << error_;
}

sandbox::~sandbox() {
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
}

void sandbox::set(const std::string& key, const std::string& value) {
  bool found = false;
  for (auto& [k, v] : settings_) {
    if (k == key) {
      v = value;
      found = true;
    }
  }
  if (!found) settings_.emplace_back(key, value);
  write_settings();
}

void sandbox::unset(const std::string& key) {
  std::erase_if(settings_, [&](const auto& kv) { return kv.first == key; });
  write_settings();
}

void sandbox::write_settings() const {
  if (root().empty()) return;
  std::string text;
  for (const auto& [key, value] : settings_) text += key + "=" + value + "\n";
  write_file(settings_path(), text);
}

void sandbox::remove_device() { unlink(device_path().c_str()); }

bool sandbox::serial_write(std::string_view bytes) {
  size_t done = 0;
  steady_deadline deadline = seconds_from_now(10);
  while (done < bytes.size()) {
    ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += n;
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    } else if (std::chrono::steady_clock::now() > deadline) {
      return false;
    } else {
      pollfd pfd{master_, POLLOUT, 0};
      poll(&pfd, 1, 50);
    }
  }
  return true;
}

std::string sandbox::serial_read_until(std::string_view expected, steady_deadline deadline) {
  std::string got;
  for (;;) {
    if (got.find(expected) != std::string::npos) return got;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return got;
    pollfd pfd{master_, POLLIN, 0};
    int n = poll(&pfd, 1, static_cast<int>(left.count()));
    if (n <= 0) continue;
    char buf[4096];
    ssize_t r = read(master_, buf, sizeof buf);
    if (r > 0) got.append(buf, r);
    // EIO (no slave open) cannot happen while the sandbox holds the slave; any other error
    // ends the read with what was collected.
    if (r < 0 && errno != EAGAIN && errno != EINTR) return got;
  }
}

std::string sandbox::serial_read_for(std::chrono::milliseconds duration) {
  // An expectation that never matches: read until the time is up.
  return serial_read_until(std::string_view("\0\xff\0never", 8), seconds_from_now(0) + duration);
}

daemon_process::daemon_process(sandbox& box) : box_(box) {}

daemon_process::~daemon_process() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    try_reap(0);
  }
  if (drainer_.joinable()) drainer_.join();
}

bool daemon_process::start(const std::function<void(pid_t)>& before_exec) {
  int err_pipe[2];
  int go_pipe[2];
  if (pipe2(err_pipe, O_CLOEXEC) != 0) return false;
  if (pipe2(go_pipe, O_CLOEXEC) != 0) {
    close(err_pipe[0]);
    close(err_pipe[1]);
    return false;
  }
  // Everything the child needs is built before fork: only async-signal-safe calls follow it.
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string_view entry(*e);
    if (entry.rfind("ORVANED_ROOT=", 0) == 0 || entry.rfind("ORVANED_LOG_STDERR=", 0) == 0) {
      continue;
    }
    env_text.emplace_back(entry);
  }
  env_text.push_back("ORVANED_ROOT=" + box_.root());
  env_text.push_back("ORVANED_LOG_STDERR=1");
  std::vector<char*> envp;
  for (auto& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> words = launcher_;
  words.emplace_back(ORVANED_BINARY);
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  pid_t child = fork();
  if (child < 0) {
    for (int fd : {err_pipe[0], err_pipe[1], go_pipe[0], go_pipe[1]}) close(fd);
    return false;
  }
  if (child == 0) {
    char go;
    while (read(go_pipe[0], &go, 1) < 0 && errno == EINTR) {
    }
    int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, STDIN_FILENO);
    dup2(devnull, STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    // The daemon must start with default dispositions and no blocked signals, whatever the
    // test runner left behind.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  pid_ = child;
  close(err_pipe[1]);
  close(go_pipe[0]);
  if (before_exec) before_exec(child);
  char go = 'g';
  [[maybe_unused]] ssize_t w = write(go_pipe[1], &go, 1);
  close(go_pipe[1]);
  int read_end = err_pipe[0];
  drainer_ = std::thread([this, read_end] { drain(read_end); });
  return true;
}

void daemon_process::drain(int fd) {
  std::string partial;
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    partial.append(buf, n);
    size_t nl;
    std::vector<log_line> fresh;
    while ((nl = partial.find('\n')) != std::string::npos) {
      fresh.push_back(parse_log_line(partial.substr(0, nl)));
      partial.erase(0, nl + 1);
    }
    if (!fresh.empty()) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.insert(lines_.end(), fresh.begin(), fresh.end());
      changed_.notify_all();
    }
  }
  close(fd);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!partial.empty()) lines_.push_back(parse_log_line(partial));
  stderr_closed_ = true;
  changed_.notify_all();
}

bool daemon_process::try_reap(int options) {
  if (pid_ <= 0 || reaped_) return reaped_;
  int status = 0;
  pid_t r;
  do {
    r = waitpid(pid_, &status, options);
  } while (r < 0 && errno == EINTR);
  if (r == pid_) {
    reaped_ = true;
    wait_status_ = status;
  }
  return reaped_;
}

bool process_listens_on(pid_t pid, int port) {
  for (unsigned long inode : listening_inodes(pid, port)) {
    if (process_owns_socket(pid, inode)) return true;
  }
  return false;
}

bool daemon_process::listening() const {
  return pid_ > 0 && process_listens_on(pid_, listen_port_ != 0 ? listen_port_ : box_.port());
}

bool daemon_process::handlers_installed() const {
  if (pid_ <= 0) return false;
  if (running_emulated()) {
    // qemu-user catches every signal whose default action ends the process from its own start,
    // so SigCgt cannot show the daemon's handlers; an ignored signal it does pass on to the
    // kernel. The daemon ignores SIGPIPE right after installing the four handlers, in the same
    // call on its one thread, so SIGPIPE ignored means the handlers are in place.
    return ignores_signal(SIGPIPE);
  }
  unsigned long long want =
      signal_bit(SIGINT) | signal_bit(SIGTERM) | signal_bit(SIGQUIT) | signal_bit(SIGUSR1);
  return (status_mask(pid_, "SigCgt:") & want) == want;
}

bool daemon_process::ignores_signal(int sig) const {
  return pid_ > 0 && (status_mask(pid_, "SigIgn:") & signal_bit(sig)) != 0;
}

testing::AssertionResult daemon_process::wait_running(steady_deadline deadline) {
  for (;;) {
    if (!alive()) {
      return testing::AssertionFailure()
             << "daemon exited (wait status " << wait_status_ << ") before running; log:\n"
             << log_text();
    }
    if (listening() && handlers_installed()) return testing::AssertionSuccess();
    if (std::chrono::steady_clock::now() > deadline) {
      return testing::AssertionFailure()
             << "daemon not running by the deadline (listening " << listening() << ", handlers "
             << handlers_installed() << "); log:\n"
             << log_text();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

testing::AssertionResult daemon_process::wait_log(const std::string& text, steady_deadline deadline,
                                                  int severity) {
  std::string what = "\"" + text + "\"";
  if (severity >= 0) {
    log_line shown{severity, what};
    what.clear();
    append_log_line(what, shown);
    what.pop_back();
  }
  return wait_log_if(
      [&](const log_line& l) { return l.text == text && (severity < 0 || l.severity == severity); },
      deadline, what);
}

testing::AssertionResult daemon_process::wait_log_if(
    const std::function<bool(const log_line&)>& match, steady_deadline deadline,
    const std::string& what) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    for (const auto& line : lines_) {
      if (match(line)) return testing::AssertionSuccess();
    }
    if (stderr_closed_ || std::chrono::steady_clock::now() >= deadline) break;
    changed_.wait_until(lock, deadline);
  }
  std::string text;
  for (const auto& line : lines_) append_log_line(text, line);
  return testing::AssertionFailure()
         << "no log line " << what << (stderr_closed_ ? " (daemon closed stderr)" : "")
         << "; log:\n"
         << text;
}

std::vector<log_line> daemon_process::log() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::string daemon_process::log_text() const {
  std::string text;
  for (const auto& line : log()) append_log_line(text, line);
  return text;
}

bool daemon_process::has_log(const std::string& text, int severity) const {
  return log_index(text, severity) >= 0;
}

int daemon_process::log_index(const std::string& text, int severity) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].text == text && (severity < 0 || lines_[i].severity == severity)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

bool daemon_process::send_signal(int sig) {
  if (pid_ <= 0 || reaped_) return false;
  return kill(pid_, sig) == 0;
}

bool daemon_process::alive() { return pid_ > 0 && !try_reap(WNOHANG); }

int daemon_process::wait_exit(steady_deadline deadline) {
  if (pid_ <= 0) return -1;
  while (!try_reap(WNOHANG)) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      try_reap(0);
      ADD_FAILURE() << "daemon did not exit by the deadline; killed. Log:\n" << log_text();
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // Let the drain thread collect the last lines before the caller looks at the log.
  if (drainer_.joinable()) drainer_.join();
  if (WIFEXITED(wait_status_)) return WEXITSTATUS(wait_status_);
  if (WIFSIGNALED(wait_status_)) return 128 + WTERMSIG(wait_status_);
  return -1;
}
