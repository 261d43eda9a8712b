#include "core/startup.h"

#include <sys/ioctl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "at/dial.h"
#include "at/result_codes.h"
#include "at/sreg_table.h"
#include "config/settings_check.h"
#include "core/call_control.h"
#include "core/event_loop.h"
#include "platform/lock_file.h"
#include "platform/log.h"
#include "platform/pid_file.h"
#include "platform/process.h"
#include "platform/serial_port.h"
#include "platform/sockets.h"

namespace {

constexpr int INSTANCE_WAIT_SEC = 30;
constexpr int LOCK_TIMEOUT_SEC = 1;

modem_state* signal_target = nullptr;

// True while the pid file names another running instance of this daemon. A missing file, one
// without a number, a dead pid, this process's own pid or a process running another program
// (the pid was reused after a crash) are left-overs, not an instance.
bool other_instance_running(const char* pid_path) {
  int pid = 0;
  if (!read_pid_file(pid_path, pid) || pid <= 0 || pid == current_pid()) return false;
  return process_alive(pid) != 0 && runs_this_executable(pid);
}

void wait_for_other_instance(const modem_state& ms) {
  int deadline = monotonic_seconds() + INSTANCE_WAIT_SEC;
  for (;;) {
    if (monotonic_seconds() >= deadline) {
      log_direct(3, "Multiple instances of daemon detected - exiting");
      fatal_exit(ms);
    }
    if (!other_instance_running(ms.paths.pid_file.c_str())) return;
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
    const char* refusal = rule.type == SUBST_DIAL ? dial_digits_refusal(rule.replacement) : nullptr;
    if (refusal != nullptr) {
      log_msg(4, "line %i of configuration script: ATD refuses dial rule D%s:%s: %s", rule.line,
              rule.pattern.c_str(), rule.replacement.c_str(), refusal);
    }
  }
}

// Ends start-up for `reason` (level 3). Without a settings file every number is 0, the log
// threshold too, and the reason would reach no one: it then bypasses the threshold. A level
// that the file sets is kept, 0 included.
[[noreturn]] void startup_failed(const modem_state& ms, bool settings_read,
                                 const std::string& reason) {
  if (settings_read) {
    log_msg(3, "%s", reason.c_str());
  } else {
    log_direct(3, "%s", reason.c_str());
  }
  fatal_exit(ms);
}

// The level-4 findings of the settings check; the tool's advice is not the daemon's to log.
void log_settings_warnings(const settings_checked& checked) {
  for (const settings_finding& f : checked.findings) {
    if (f.level != 4 || f.advice) continue;
    if (f.past_threshold) {
      log_direct(4, "%s", f.text.c_str());
    } else {
      log_msg(4, "%s", f.text.c_str());
    }
  }
}

void shutdown_call(modem_state& ms, loop_state& ls) {
  if (ms.call_state == CALL_CONNECTED) {
    call_hangup(ms, ls, HANGUP_TERMINATION);
  } else if (ms.call_state == CALL_DIALING) {
    send_code(ms, RESULT_NO_ANSWER);
  }
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

void fatal_exit(const modem_state& ms) {
  log_msg(5, "terminated");
  if (ms.pid_file_written) remove_file(ms.paths.pid_file.c_str());
  exit_process(1);
}

int daemon_main(int argc, char** argv) {
  static modem_state ms;
  static loop_state ls;
  ls.next_ring_time = monotonic_seconds();
  start_session();
  log_open(argc > 0 ? argv[0] : nullptr);
  log_direct(5, "started");
  ms.paths = paths_under_root(getenv("ORVANED_ROOT"));

  wait_for_other_instance(ms);
  ms.pid_file_written = write_pid_file(ms.paths.pid_file.c_str(), current_pid());
  int pid_file_errno = errno;

  settings_checked checked = settings_check_file(ms.paths.settings.c_str());
  ms.settings = std::move(checked.settings);
  const bool settings_read = checked.read;
  log_set_threshold(&ms.settings.sysloglev);
  // Reported once the settings say which levels the operator wants.
  if (!ms.pid_file_written) {
    log_msg(3, "can't write pid file %s: %s", ms.paths.pid_file.c_str(), strerror(pid_file_errno));
  }
  log_settings_warnings(checked);
  recompute_timers(ms);
  ms.pending_action = ACTION_NONE;
  ms.term_signal = 0;
  ms.status_request = 0;

  load_script(ms);
  // Refused before anything is locked: the first finding that stops the daemon.
  if (const settings_finding* refused = settings_refusal(checked)) {
    startup_failed(ms, settings_read, refused->text);
  }
  ms.allowed = std::move(checked.allowed);
  ls.connect_code = connect_code_for_baud(ms.settings.baudrate);
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
    startup_failed(ms, settings_read,
                   std::string("device ") + device + " is locked by another process");
  }
  const modem_settings& s = ms.settings;
  int fd = serial_open(device, s.baudrate, s.databits, s.parity.c_str(), s.stopbits, s.flowcontrol);
  if (fd < 0) fatal_exit(ms);
  set_modem_lines(fd, TIOCM_DTR, 0);
  set_modem_lines(fd, TIOCM_RTS, 1);
  ms.serial_fd.reset(fd);

  ms.listen_sock.reset(open_listen_socket(s.port));
  if (!ms.listen_sock.valid()) startup_failed(ms, settings_read, "can't open listen socket");
  set_signal_target(&ms);
  install_signal_handlers(handle_signal);

  run_event_loop(ms, ls);

  subst_clear(ms.subst_table, ms.subst_count);
  shutdown_call(ms, ls);
  ms.serial_fd.reset();
  unlock_device(device, ms.paths.lock_dir.c_str());
  log_msg(5, "received signal %i", static_cast<int>(ms.term_signal));
  log_msg(5, "terminated");
  if (ms.pid_file_written) remove_file(ms.paths.pid_file.c_str());
  return 0;
}
