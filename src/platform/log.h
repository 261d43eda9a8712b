// Logging front end: level-filtered messages to syslog, an optional copy on stderr and a sink
// that tests can install.
#pragma once

#include <cstdint>

// Opens the syslog connection with the base name of `argv0` as identity, LOG_PID | LOG_NDELAY
// and facility LOG_DAEMON. Reads ORVANED_LOG_STDERR: when set and non-empty every emitted
// message is also written to stderr as "<N>TEXT\n", N being the syslog severity; otherwise a
// terminal on stderr gets the warnings (below).
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

// A terminal on standard error that does not already get every message (ORVANED_LOG_STDERR)
// gets each message of log_msg and log_direct at level 4 or below, whatever the threshold, as
// one "IDENT: TEXT" line: a person who started the daemon by hand sees its warnings and why it
// stopped.

// As log_msg, and the message goes to such a terminal whatever its level: what the daemon is
// doing, said once to the person who started it.
void log_announce(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
