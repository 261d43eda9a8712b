#include "test_support.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

std::vector<std::pair<int, std::string>> captured;

void capture_sink(int level, const char* text) { captured.emplace_back(level, text); }

}  // namespace

log_capture::log_capture() : previous_(log_set_sink(capture_sink)) { captured.clear(); }
log_capture::~log_capture() { log_set_sink(previous_); }
const std::vector<std::pair<int, std::string>>& log_capture::lines() const { return captured; }
bool log_capture::has(const std::string& text) const {
  for (const auto& [level, t] : captured)
    if (t == text) return true;
  return false;
}
bool log_capture::has(int level, const std::string& text) const {
  for (const auto& [l, t] : captured)
    if (l == level && t == text) return true;
  return false;
}
std::vector<std::string> log_capture::texts() const {
  std::vector<std::string> out;
  for (const auto& line : captured) out.push_back(line.second);
  return out;
}
void log_capture::clear() { captured.clear(); }

temp_dir::temp_dir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "orvaned-test-XXXXXX").string();
  char* made = mkdtemp(tmpl.data());
  path_ = made != nullptr ? made : "";
}
temp_dir::~temp_dir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

modem_settings sample_modem_settings() {
  modem_settings s;
  s.stat_echo = 1;
  s.stat_quiet = 0;
  s.stat_verbosity = 1;
  s.stat_dtr_action = 2;
  s.sreg_auto_answer = 0;
  s.sreg_esc = 43;
  s.sreg_cr = 13;
  s.sreg_lf = 10;
  s.sreg_bs = 8;
  s.sreg_ring_int = 2;
  s.sreg_conn_tout = 30;
  s.sreg_hup_delay = 0;
  s.sreg_split = 100;
  s.sreg_esc_delay = 50;
  s.sreg_dtr_ignore = 0;
  return s;
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}
std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}
bool path_exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

live_child::live_child(const char* program) : pid(fork()) {
  if (pid != 0) return;
  if (program != nullptr) {
    execl(program, program, "3600", static_cast<char*>(nullptr));
    _exit(127);
  }
  for (;;) pause();
}
live_child::~live_child() {
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

pid_t dead_pid() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  if (pid > 0) waitpid(pid, nullptr, 0);
  return pid;
}

bool make_tls_certificates(const std::string& dir) {
  // name, subject, alternative name, signing CA (empty: a CA of its own)
  static const char* const certs[][4] = {
      {"ca", "/CN=Fleet CA", "", ""},
      {"other_ca", "/CN=Other CA", "", ""},
      {"r1", "/CN=router1", "DNS:router1.example.net", "ca"},
      {"r2", "/CN=router2", "DNS:router2.example.net", "ca"},
      {"r3", "/CN=router3", "", "ca"},
      {"rca", "/CN=router4", "DNS:router4.example.net", "ca"},  // may sign others
      {"x", "/CN=router9", "DNS:router9.example.net", "other_ca"}};
  for (const auto& c : certs) {
    std::string base = dir + "/" + c[0], ca = dir + "/" + c[3];
    std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
        "-days 3650 -keyout " +
        base + ".key -out " + base + ".pem -subj '" + c[1] + "'";
    if (c[3][0] != '\0') {
      command += std::string(" -addext basicConstraints=critical,CA:") +
                 (c[0] == std::string("rca") ? "TRUE" : "FALSE") + " -CA " + ca + ".pem -CAkey " +
                 ca + ".key";
    }
    if (c[2][0] != '\0') command += std::string(" -addext subjectAltName=") + c[2];
    if (system((command + " 2>/dev/null").c_str()) != 0) return false;
  }
  return true;
}
