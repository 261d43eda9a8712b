#include "platform/log.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const uint32_t* threshold = nullptr;
bool mirror_stderr = false;
bool terminal = false;  // stderr is a terminal that does not get the mirror
log_sink sink = nullptr;
const char* identity = "orvaned";

// The warnings and errors a person who started the daemon by hand must see.
constexpr int TERMINAL_LEVEL = 4;

// Writes "IDENT: TEXT" to the terminal on stderr, when there is one.
void tell_terminal(const char* fmt, va_list ap) {
  if (!terminal) return;
  char text[1024];
  vsnprintf(text, sizeof text, fmt, ap);
  std::string line = std::string(identity) + ": " + text + "\n";
  // A failed write to stderr has nowhere to be reported.
  [[maybe_unused]] ssize_t w = write(STDERR_FILENO, line.data(), line.size());
}

// Syslog has no severity below debug; verbose traces go out as debug.
int syslog_priority(int level) { return level > LOG_DEBUG ? LOG_DEBUG : level; }

void emit(int level, const char* fmt, va_list ap) {
  char text[1024];
  vsnprintf(text, sizeof text, fmt, ap);
  int priority = syslog_priority(level);
  if (sink != nullptr) {
    sink(level, text);
  } else {
    syslog(priority, "%s", text);
  }
  if (mirror_stderr) {
    char line[1040];
    int n = snprintf(line, sizeof line, "<%d>%s\n", priority, text);
    if (n > static_cast<int>(sizeof line) - 1) {
      n = sizeof line - 1;
      line[n - 1] = '\n';
    }
    // A failed write to stderr has nowhere to be reported.
    [[maybe_unused]] ssize_t w = write(STDERR_FILENO, line, n);
  }
}

}  // namespace

void log_open(const char* argv0) {
  const char* ident = argv0 != nullptr ? argv0 : "orvaned";
  const char* slash = strrchr(ident, '/');
  if (slash != nullptr && slash[1] != '\0') ident = slash + 1;
  identity = ident;
  openlog(ident, LOG_PID | LOG_NDELAY, LOG_DAEMON);
  const char* env = getenv("ORVANED_LOG_STDERR");
  mirror_stderr = env != nullptr && env[0] != '\0';
  terminal = !mirror_stderr && isatty(STDERR_FILENO) != 0;
}

void log_set_threshold(const uint32_t* sysloglev) { threshold = sysloglev; }

namespace {

// One message: to a terminal on standard error when `tell`, and to the log when its level
// passes the threshold, or whatever its level when not `filtered`.
void log_to(int level, bool tell, bool filtered, const char* fmt, va_list ap) {
  if (tell) {
    va_list copy;
    va_copy(copy, ap);
    tell_terminal(fmt, copy);
    va_end(copy);
  }
  int limit = threshold != nullptr ? static_cast<int32_t>(*threshold) : 0;
  if (filtered && level > limit) return;
  emit(level, fmt, ap);
}

}  // namespace

void log_msg(int level, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  log_to(level, level <= TERMINAL_LEVEL, true, fmt, ap);
  va_end(ap);
}

void log_direct(int level, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  log_to(level, level <= TERMINAL_LEVEL, false, fmt, ap);
  va_end(ap);
}

void log_announce(int level, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  log_to(level, true, true, fmt, ap);
  va_end(ap);
}

log_sink log_set_sink(log_sink new_sink) {
  log_sink old = sink;
  sink = new_sink;
  return old;
}
