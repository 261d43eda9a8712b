#include "core/startup.h"

#include <signal.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "at/dial.h"
#include "at/hayes_commands.h"
#include "at/result_codes.h"
#include "at/sreg_table.h"
#include "config/settings_check.h"
#include "core/call_control.h"
#include "core/event_loop.h"
#include "core/listeners.h"
#include "modem/modem_lines.h"
#include "modem/tls_credentials.h"
#include "platform/lock_file.h"
#include "platform/log.h"
#include "platform/pid_file.h"
#include "platform/serial_port.h"
#include "platform/sockets.h"
#include "platform/system_calls.h"
#include "platform/system_io.h"

namespace {

constexpr int INSTANCE_WAIT_SEC = 30;
constexpr int LOCK_TIMEOUT_SEC = 1;

modem_state* signal_target = nullptr;

// The pid of another running instance of this daemon that the pid file names, 0 when there is
// none. A missing file, one without a number, a dead pid, this process's own pid or a process
// running another program (the pid was reused after a crash) are left-overs, not an instance.
int other_instance_pid(const char* pid_path) {
  int pid = 0;
  if (!read_pid_file(pid_path, pid) || pid <= 0 || pid == current_pid()) return 0;
  return process_alive(pid) != 0 && runs_this_executable(pid) ? pid : 0;
}

void wait_for_other_instance(const modem_state& ms) {
  int deadline = monotonic_seconds() + INSTANCE_WAIT_SEC;
  bool said = false;
  for (;;) {
    if (monotonic_seconds() >= deadline) {
      log_direct(3, "Multiple instances of daemon detected - exiting");
      fatal_exit(ms);
    }
    int other = other_instance_pid(ms.paths.pid_file.c_str());
    if (other == 0) return;
    if (!said) {
      log_direct(4, "waiting up to %i s for orvaned pid %i to exit", INSTANCE_WAIT_SEC, other);
      said = true;
    }
    sleep_seconds(1);
  }
}

void load_script(modem_state& ms) {
  if (subst_load_script(ms.subst_table, ms.subst_count, ms.settings.cfg_script) != 0) {
    fatal_exit(ms);
  }
  // Such a rule loads, but every call through it would answer ERROR: say why now.
  for (int i = 0; i < ms.subst_count; ++i) {
    const substitution& rule = ms.subst_table[i];
    const char* refusal = rule.type == SUBST_DIAL ? dial_rule_refusal(rule, ms.settings) : nullptr;
    if (refusal != nullptr) {
      log_msg(4, "line %i of configuration script: ATD refuses dial rule D%s:%s: %s", rule.line,
              rule.pattern.c_str(), rule.replacement.c_str(), refusal);
    }
  }
}

// Ends start-up for `reason`, followed by `detail` when it is not empty (both level 3). Without
// a settings file every number is 0, the log threshold too, and the reason would reach no one:
// it then bypasses the threshold. A level that the file sets is kept, 0 included.
[[noreturn]] void startup_failed(const modem_state& ms, bool settings_read,
                                 const std::string& reason, const std::string& detail = "") {
  for (const std::string* line : {&reason, &detail}) {
    if (line->empty()) continue;
    if (settings_read) {
      log_msg(3, "%s", line->c_str());
    } else {
      log_direct(3, "%s", line->c_str());
    }
  }
  fatal_exit(ms);
}

// The usage text: what the daemon reads from its environment and which files it uses.
void print_usage(FILE* to) {
  const daemon_paths files;
  fprintf(to,
          "usage: orvaned [--help | --version]\n"
          "\n"
          "Makes a serial port behave like a dial-up modem that calls over TCP (IPv4 and IPv6).\n"
          "Runs in the foreground, logs to syslog (facility daemon), stops on SIGTERM, SIGINT or\n"
          "SIGQUIT.\n"
          "\n"
          "Environment:\n"
          "  ORVANED_ROOT        a directory under which every file below lies (tests, sandboxes)\n"
          "  ORVANED_LOG_STDERR  when not empty, every logged line is copied to standard error\n"
          "  ORVANED_DIAL_LOOPBACK_ONLY  1: dial only addresses on this machine (the sandbox)\n"
          "\n"
          "Files:\n"
          "  %-26s the settings\n"
          "  %-26s the daemon's version (ATI3)\n"
          "  %-26s the router's version (ATI2)\n"
          "  %-26s the process id\n"
          "  %-26s the serial port (MOD_ORVANE_SERIAL 0 or 1)\n"
          "  %-26s the UUCP locks of the ports\n"
          "  %-26s status files written on SIGUSR1\n"
          "\n"
          "See orvaned(8).\n",
          files.settings.c_str(), files.module_version.c_str(), files.router_version.c_str(),
          files.pid_file.c_str(), (files.devices[0] + ", " + files.devices[1]).c_str(),
          (files.lock_dir + "/LCK..ttyS*").c_str(), (files.status_dir + "/status_*").c_str());
}

void shutdown_call(modem_state& ms, loop_state& ls) {
  if (ms.call_state == CALL_CONNECTED) {
    call_hangup(ms, ls, HANGUP_TERMINATION);
  } else if (ms.call_state == CALL_DIALING) {
    send_code(ms, RESULT_NO_ANSWER);
  }
}

// The steps of start-up and shutdown, in the order daemon_main takes them (that of orvaned(8)).

// Opens the log, says "started" and finds the files under ORVANED_ROOT.
void begin_startup(modem_state& ms, loop_state& ls, const char* argv0) {
  ls.next_ring_time = monotonic_seconds();
  sys().new_session();  // the daemon may already lead a session
  log_open(argv0);
  log_keep_errors(true);
  log_direct(5, "started");
  ms.paths = paths_under_root(getenv("ORVANED_ROOT"));
}

// Waits for an earlier instance to end, then writes the pid file. Returns the errno of a failed
// write, reported once the settings say which levels the operator wants.
int take_pid_file(modem_state& ms) {
  wait_for_other_instance(ms);
  ms.pid_file_written = write_pid_file(ms.paths.pid_file.c_str(), current_pid());
  return errno;
}

// Reads and checks the settings file, takes its values and derives what depends on them; logs
// the check's warnings. Returns whether the file was read.
bool load_settings(modem_state& ms, int pid_file_errno, settings_checked& checked) {
  checked = settings_check_file(ms.paths.settings.c_str());
  ms.settings = std::move(checked.settings);
  log_set_threshold(&ms.settings.sysloglev);
  if (!ms.pid_file_written) {
    log_msg(3, "can't write pid file %s: %s", ms.paths.pid_file.c_str(), strerror(pid_file_errno));
  }
  // The tool's advice is not the daemon's to log.
  for (const settings_finding& f : checked.findings) {
    if (f.level != 4 || f.advice) continue;
    if (f.past_threshold) {
      log_direct(4, "%s", f.text.c_str());
    } else {
      log_msg(4, "%s", f.text.c_str());
    }
  }
  recompute_timers(ms);
  ms.pending_action = ACTION_NONE;
  ms.term_signal = 0;
  ms.status_request = 0;
  return checked.read;
}

// Refuses the settings that start-up cannot run with (the check's first refusal ends start-up,
// before anything is locked); takes the allow list of the others.
void check_settings(modem_state& ms, loop_state& ls, settings_checked& checked) {
  if (const settings_finding* refused = settings_refusal(checked)) {
    startup_failed(ms, checked.read, refused->text);
  }
  ms.allowed = std::move(checked.allowed);
  ms.tls_peers = std::move(checked.tls_peers);
  ls.connect_code = connect_code_for_baud(ms.settings.baudrate);
  std::string message;
  if (!load_tls_credentials(ms.settings, ms.tls, message)) {
    startup_failed(ms, checked.read, message);
  }
}

// Takes the UUCP lock of the serial device the settings name.
void lock_serial_device(modem_state& ms, bool settings_read) {
  ms.device_path = ms.paths.devices[ms.settings.serial];
  const char* device = ms.device_path.c_str();
  int locked = lock_device(device, ms.paths.lock_dir.c_str(), LOCK_TIMEOUT_SEC);
  if (locked < 0) {
    int err = errno;
    startup_failed(ms, settings_read,
                   "can't create lock file " + lock_file_name(device, ms.paths.lock_dir.c_str()) +
                       ": " + strerror(err));
  }
  if (locked == 0) {
    // The holder, unless it let go meanwhile.
    std::string name = lock_file_name(device, ms.paths.lock_dir.c_str());
    int holder = 0;
    std::string detail;
    if (read_pid_file(name.c_str(), holder) && holder > 0) {
      detail = "lock file " + name + " is held by pid " + std::to_string(holder);
    }
    startup_failed(ms, settings_read,
                   std::string("device ") + device + " is locked by another process", detail);
  }
}

// Opens the serial port with the line settings, DTR (the carrier towards the DTE) down (up with
// &C0) and RTS up. The port logs its own errors.
void open_serial_port(modem_state& ms) {
  const modem_settings& s = ms.settings;
  int fd = serial_open(ms.device_path.c_str(), s.baudrate, s.databits, s.parity.c_str(), s.stopbits,
                       s.flowcontrol);
  if (fd < 0) fatal_exit(ms);
  ms.serial_fd.reset(fd);
  modem_lines_set(ms, TIOCM_DTR, !carrier_follows_call(ms));
  modem_lines_set(ms, TIOCM_RTS, true);
}

// The plain port unless only encrypted calls are taken, and the encrypted one when it is set.
void open_listener(modem_state& ms, bool settings_read) {
  const modem_settings& s = ms.settings;
  if (s.tls_only != 1) {
    ms.listen_sock.reset(open_listen_socket(s.port));
    if (!ms.listen_sock.valid()) {
      startup_failed(
          ms, settings_read, "can't open listen socket",
          "can't listen on TCP port " + std::to_string(s.port & 0xFFFFU) + " of every address");
    }
  }
  if ((s.tls_port & 0xFFFFU) != 0 && tls_context_loaded(ms.tls)) {
    ms.tls_listen_sock.reset(open_listen_socket(s.tls_port));
    if (!ms.tls_listen_sock.valid()) {
      startup_failed(
          ms, settings_read, "can't open TLS listen socket",
          "can't listen on TCP port " + std::to_string(s.tls_port & 0xFFFFU) + " of every address");
    }
  }
}

// The ports of raw and telnet callers, when set.
void open_peer_ports(modem_state& ms, bool settings_read) {
  std::string reason;
  std::string detail;
  if (!open_peer_listeners(ms, reason, detail)) startup_failed(ms, settings_read, reason, detail);
}

void install_signals(modem_state& ms) {
  set_signal_target(&ms);
  install_signal_handlers();
}

// Ends the call, releases the port and its lock, logs the signal and removes the pid file.
void shut_down(modem_state& ms, loop_state& ls) {
  subst_clear(ms.subst_table, ms.subst_count);
  shutdown_call(ms, ls);
  ms.serial_fd.reset();
  unlock_device(ms.device_path.c_str(), ms.paths.lock_dir.c_str());
  log_msg(5, "received signal %i", static_cast<int>(ms.term_signal));
  log_msg(5, "terminated");
  if (ms.pid_file_written) remove_pid_file(ms.paths.pid_file.c_str());
}

}  // namespace

void handle_signal(int signo) {
  if (signal_target == nullptr) return;
  if (signo == SIGUSR1) {
    signal_target->status_request = 1;
  } else if (signal_target->term_signal == 0) {
    signal_target->term_signal = signo;
  }
}

void set_signal_target(modem_state* ms) { signal_target = ms; }

void install_signal_handlers() {
  for (int signo : {SIGINT, SIGTERM, SIGQUIT, SIGUSR1}) sys().set_signal(signo, handle_signal);
  sys().set_signal(SIGPIPE, SIG_IGN);
}

void fatal_exit(const modem_state& ms) {
  log_show_kept_errors();
  log_msg(5, "terminated");
  if (ms.pid_file_written) remove_pid_file(ms.paths.pid_file.c_str());
  exit(1);
}

int answer_command_line(int argc, char** argv, const char* version) {
  if (argc < 2) return -1;
  std::string arg = argv[1];
  if (argc == 2 && arg == "--help") {
    print_usage(stdout);
    return 0;
  }
  if (argc == 2 && arg == "--version") {
    printf("%s\n", version);
    return 0;
  }
  print_usage(stderr);
  return 2;
}

int daemon_main(int argc, char** argv) {
  static modem_state ms;
  static loop_state ls;
  begin_startup(ms, ls, argc > 0 ? argv[0] : nullptr);
  int pid_file_errno = take_pid_file(ms);
  settings_checked checked;
  bool settings_read = load_settings(ms, pid_file_errno, checked);
  load_script(ms);
  check_settings(ms, ls, checked);
  lock_serial_device(ms, settings_read);
  open_serial_port(ms);
  open_listener(ms, settings_read);
  open_peer_ports(ms, settings_read);
  install_signals(ms);
  log_keep_errors(false);  // started: nothing left for a terminal
  run_event_loop(ms, ls);
  shut_down(ms, ls);
  return 0;
}
