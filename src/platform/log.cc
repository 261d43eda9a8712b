#include "platform/log.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const uint32_t* threshold = nullptr;
bool mirror_stderr = false;
log_sink sink = nullptr;
const char* identity = "orvaned";

constexpr int KEPT_LEVEL = 3;
constexpr size_t KEPT_MAX = 8;  // the last ones, which end with the message that ended start-up
bool keep_errors = false;
std::vector<std::string> kept;

void keep(const char* fmt, va_list ap) {
  char text[1024];
  vsnprintf(text, sizeof text, fmt, ap);
  if (kept.size() == KEPT_MAX) kept.erase(kept.begin());
  kept.emplace_back(text);
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
}

void log_set_threshold(const uint32_t* sysloglev) { threshold = sysloglev; }

void log_msg(int level, const char* fmt, ...) {
  va_list ap;
  if (keep_errors && level <= KEPT_LEVEL) {
    va_start(ap, fmt);
    keep(fmt, ap);
    va_end(ap);
  }
  int limit = threshold != nullptr ? static_cast<int32_t>(*threshold) : 0;
  if (level > limit) return;
  va_start(ap, fmt);
  emit(level, fmt, ap);
  va_end(ap);
}

void log_direct(int level, const char* fmt, ...) {
  va_list ap;
  if (keep_errors && level <= KEPT_LEVEL) {
    va_start(ap, fmt);
    keep(fmt, ap);
    va_end(ap);
  }
  va_start(ap, fmt);
  emit(level, fmt, ap);
  va_end(ap);
}

void log_keep_errors(bool on) {
  keep_errors = on;
  if (!on) kept.clear();
}

void log_show_kept_errors() {
  if (mirror_stderr || isatty(STDERR_FILENO) == 0) return;
  for (const std::string& text : kept) {
    std::string line = std::string(identity) + ": " + text + "\n";
    // A failed write to stderr has nowhere to be reported.
    [[maybe_unused]] ssize_t w = write(STDERR_FILENO, line.data(), line.size());
  }
}

log_sink log_set_sink(log_sink new_sink) {
  log_sink old = sink;
  sink = new_sink;
  return old;
}
