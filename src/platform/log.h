// Logging front end: level-filtered messages to syslog, an optional copy on stderr and a sink
// that tests can install.
#pragma once

#include <cstdint>

// Opens the syslog connection with the base name of `argv0` as identity, LOG_PID | LOG_NDELAY
// and facility LOG_DAEMON. Reads ORVANED_LOG_STDERR: when set and non-empty every emitted
// message is also written to stderr as "<N>TEXT\n", N being the syslog severity.
void log_open(const char* argv0);

// Binds the threshold of log_msg to a settings value (compared as a signed integer), so that a
// reload of the settings takes effect at once. nullptr means threshold 0.
void log_set_threshold(const uint32_t* sysloglev);

// Emits the message when its level is at most the threshold. Level 8 (verbose traces) is
// submitted to syslog as LOG_DEBUG.
void log_msg(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Emits the message whatever the threshold (start-up messages before the settings are loaded,
// errors of the serial port and of sockets).
void log_direct(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// When set, every emitted message is handed to the sink as (level as submitted, text) instead
// of syslog; the stderr copy is unaffected. nullptr restores syslog. Returns the previous sink.
using log_sink = void (*)(int level, const char* text);
log_sink log_set_sink(log_sink sink);

// While on, every message at level 3 or below is also kept, whether the threshold lets it
// through or not: start-up keeps its errors so that a person who started the daemon by hand
// can be told why it stopped. Turning it off forgets them.
void log_keep_errors(bool on);

// When standard error is a terminal that does not already get every message
// (ORVANED_LOG_STDERR), writes the kept messages there, one "IDENT: TEXT" line each.
void log_show_kept_errors();
