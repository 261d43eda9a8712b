// Shared test helpers: a captured log and temporary directories.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "config/settings.h"
#include "platform/log.h"

// Captures every emitted log message while it lives (one at a time).
class log_capture {
 public:
  log_capture();
  ~log_capture();
  log_capture(const log_capture&) = delete;
  log_capture& operator=(const log_capture&) = delete;

  // (level as submitted, text) in order.
  const std::vector<std::pair<int, std::string>>& lines() const;
  // True when some message has exactly this text.
  bool has(const std::string& text) const;
  // True when some message has this text at this level.
  bool has(int level, const std::string& text) const;
  // The texts only, in order.
  std::vector<std::string> texts() const;
  void clear();

 private:
  log_sink previous_;
};

// A fresh temporary directory, removed with its contents on destruction.
class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The modem registers and flags of the sample settings: E1 Q0 V1 &D2, S0=0, S2=43, S3=13,
// S4=10, S5=8, S6=2, S7=30, S10=0, S11=100, S12=50, S25=0; everything else 0 or empty.
modem_settings sample_modem_settings();

// Writes / reads a whole file; read returns "" when it cannot be opened.
void write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);
bool path_exists(const std::string& path);

// A child process that stays alive until the object goes away: a fork of the test binary
// (running the same executable), or with `program` the program of that path, run with no
// arguments but "3600" (for /bin/sleep). pid is -1 when the fork failed.
struct live_child {
  pid_t pid = -1;
  explicit live_child(const char* program = nullptr);
  ~live_child();
  live_child(const live_child&) = delete;
  live_child& operator=(const live_child&) = delete;
};

// The id of a process that has ended and been reaped.
pid_t dead_pid();

// Certificates for encrypted calls, made in `dir` with the openssl command as an operator makes
// them: a fleet CA (ca.pem), and for each of r1, r2 (DNS names router1.example.net and
// router2.example.net), r3 (common name router3, no alternative name), rca (router4.example.net,
// a CA certificate: CA:TRUE) and x (router9.example.net, signed by another CA, other_ca.pem) a
// NAME.pem certificate and a NAME.key key. False when the command failed.
bool make_tls_certificates(const std::string& dir);
