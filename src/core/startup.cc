#include "core/startup.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "at/dial.h"
#include "at/hayes_commands.h"
#include "at/result_codes.h"
#include "at/sreg_table.h"
#include "config/settings_check.h"
#include "core/call_control.h"
#include "core/event_loop.h"
#include "core/status_json.h"
#include "modem/modem_lines.h"
#include "modem/tls_credentials.h"
#include "platform/files.h"
#include "platform/lock_file.h"
#include "platform/log.h"
#include "platform/pid_file.h"
#include "platform/port_holder.h"
#include "platform/serial_port.h"
#include "platform/sockets.h"
#include "platform/system_calls.h"
#include "platform/system_io.h"

namespace {

constexpr int INSTANCE_WAIT_SEC = 30;
constexpr int LOCK_TIMEOUT_SEC = 1;

modem_state* signal_target = nullptr;

// Waits (up to INSTANCE_WAIT_SEC) while another instance holds the pid file, then writes it.
// Returns 0, or the errno of a pid file that cannot be written, reported once the settings say
// which levels the operator wants.
int take_pid_file(modem_state& ms) {
  int deadline = monotonic_seconds() + INSTANCE_WAIT_SEC;
  bool said = false;
  for (;;) {
    if (monotonic_seconds() >= deadline) {
      log_direct(3, "Multiple instances of daemon detected - exiting");
      fatal_exit(ms);
    }
    int other = 0;
    pid_claim claim = claim_pid_file(ms.paths.pid_file.c_str(), current_pid(), ms.pid_file, other);
    if (claim != PID_HELD) return claim == PID_CLAIMED ? 0 : errno;
    // A holder that has not written its pid yet is named at the next look.
    if (!said && other > 0) {
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

// Ends start-up for the reason in `lines`, each logged at level 3 unless empty: the reason, then
// its details. Without a settings file every number is 0, the log threshold too, and the
// reason would reach no one: it then bypasses the threshold. A level that the file sets is
// kept, 0 included.
[[noreturn]] void startup_failed(const modem_state& ms, bool settings_read,
                                 std::initializer_list<std::string> lines) {
  for (const std::string& line : lines) {
    if (line.empty()) continue;
    if (settings_read) {
      log_msg(3, "%s", line.c_str());
    } else {
      log_direct(3, "%s", line.c_str());
    }
  }
  fatal_exit(ms);
}

// The usage text: what the daemon reads from its environment and which files it uses.
void print_usage(FILE* to) {
  const daemon_paths files;
  fprintf(to,
          "usage: orvaned [--help | --version | --status]\n"
          "\n"
          "Makes a serial port behave like a dial-up modem that calls over TCP (IPv4 and IPv6).\n"
          "Runs in the foreground, logs to syslog (facility daemon), stops on SIGTERM, SIGINT or\n"
          "SIGQUIT. --status prints the state of the running daemon as a JSON object.\n"
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
          "  %-26s the serial port (MOD_ORVANE_SERIAL 0 or 1, or MOD_ORVANE_DEVICE)\n"
          "  %-26s the UUCP locks of the ports\n"
          "  %-26s status files written on SIGUSR1\n"
          "\n"
          "See orvaned(8).\n",
          files.settings.c_str(), files.module_version.c_str(), files.router_version.c_str(),
          files.pid_file.c_str(), (files.devices[0] + ", " + files.devices[1]).c_str(),
          (files.lock_dir + "/LCK..*").c_str(), (files.status_dir + "/status_*").c_str());
}

void shutdown_call(modem_state& ms, loop_state& ls) {
  if (ms.call_state == CALL_CONNECTED) {
    call_hangup(ms, ls, HANGUP_TERMINATION);
  } else if (ms.call_state == CALL_DIALING) {
    send_code(ms, RESULT_NO_ANSWER);
  }
  records_shutdown(ms, ls);
}

// The steps of start-up and shutdown, in the order daemon_main takes them (that of orvaned(8)).

// Opens the log, says "started" and finds the files under ORVANED_ROOT.
void begin_startup(modem_state& ms, loop_state& ls, const char* argv0) {
  ls.next_ring_time = monotonic_seconds();
  sys().new_session();  // the daemon may already lead a session
  log_open(argv0);
  log_direct(5, "started");
  ms.paths = paths_under_root(getenv("ORVANED_ROOT"));
}

// Reads and checks the settings file, takes its values and derives what depends on them; logs
// the check's warnings. Returns whether the file was read.
bool load_settings(modem_state& ms, int pid_file_errno, settings_checked& checked) {
  checked = settings_check_file(ms.paths.settings.c_str());
  ms.settings = std::move(checked.settings);
  log_set_threshold(&ms.settings.sysloglev);
  if (!ms.pid_file.valid()) {
    log_msg(3, "can't write pid file %s: %s", ms.paths.pid_file.c_str(), strerror(pid_file_errno));
  }
  // The threshold is 0 then, so this bypasses it.
  if (checked.open_error != 0) {
    log_direct(4,
               "settings file %s cannot be read (%s): every value is 0, so S3 is 0 and a line "
               "typed with CR is never finished",
               ms.paths.settings.c_str(), strerror(checked.open_error));
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
    startup_failed(ms, checked.read, {refused->text});
  }
  ms.allowed = std::move(checked.allowed);
  ms.tls_peers = std::move(checked.tls_peers);
  ls.connect_code = connect_code_for_baud(ms.settings.baudrate);
  std::string message;
  if (!load_tls_credentials(ms.settings, ms.tls, message)) {
    startup_failed(ms, checked.read, {message});
  }
}

// Takes the UUCP lock of the serial device the settings name. A device named by its path must
// be one: a USB adapter that is not plugged in is named, not locked.
void lock_serial_device(modem_state& ms, bool settings_read) {
  ms.device_path = serial_device_path(ms.paths, ms.settings);
  const char* device = ms.device_path.c_str();
  if (!ms.settings.device.empty()) {
    int kind = character_device(device);
    if (kind <= 0) {
      std::string why =
          kind < 0 ? std::string(": ") + strerror(errno) : " is not a character device";
      startup_failed(ms, settings_read, {"MOD_ORVANE_DEVICE: " + ms.device_path + why});
    }
  }
  int locked = lock_device(device, ms.paths.lock_dir.c_str(), LOCK_TIMEOUT_SEC);
  if (locked < 0) {
    int err = errno;
    startup_failed(ms, settings_read,
                   {"can't create lock file " + lock_file_name(device, ms.paths.lock_dir.c_str()) +
                    ": " + strerror(err)});
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
                   {std::string("device ") + device + " is locked by another process", detail});
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

// What stands in the way of listening on `port`, after open_listen_socket failed with `err`: the
// process that holds the port, or how to find it; a listen address that is not this machine's.
std::string listen_obstacle(const modem_settings& s, uint32_t port, int err) {
  std::string number = std::to_string(port & 0xFFFFU);
  if (err == EADDRINUSE) {
    port_holder holder = find_port_holder(port);
    if (holder.pid == 0) {
      return "TCP port " + number + " is held by another process; `ss -ltnp 'sport = :" + number +
             "'` run as root names it";
    }
    return "TCP port " + number + " is held by pid " + std::to_string(holder.pid) + " (" +
           holder.program + ")";
  }
  if (err == EADDRNOTAVAIL && !s.listen.empty()) {
    return "MOD_ORVANE_LISTEN: " + s.listen + " is not an address of this machine";
  }
  return "";
}

// Opens one listening socket on the address of the settings; start-up ends when it cannot.
void open_one_listener(modem_state& ms, bool settings_read, unique_fd& sock, uint32_t port,
                       const char* failure) {
  const modem_settings& s = ms.settings;
  net_address address;
  net_address_parse(s.listen, address);  // checked with the settings; empty: every address
  sock.reset(open_listen_socket(port, address));
  if (sock.valid()) return;
  int err = errno;
  std::string where = s.listen.empty() ? "every address" : s.listen + " (MOD_ORVANE_LISTEN)";
  startup_failed(
      ms, settings_read,
      {failure, "can't listen on TCP port " + std::to_string(port & 0xFFFFU) + " of " + where,
       listen_obstacle(s, port, err)});
}

// The plain port unless only encrypted calls are taken, and the encrypted one when it is set.
void open_listener(modem_state& ms, bool settings_read) {
  const modem_settings& s = ms.settings;
  if (s.tls_only != 1) {
    open_one_listener(ms, settings_read, ms.listen_sock, s.port, "can't open listen socket");
  }
  if ((s.tls_port & 0xFFFFU) != 0 && tls_context_loaded(ms.tls)) {
    open_one_listener(ms, settings_read, ms.tls_listen_sock, s.tls_port,
                      "can't open TLS listen socket");
  }
}

// Says what the daemon listens on and which line it serves, as the sockets and the port have
// it: "listening on port 2000 (IPv6 and IPv4), /dev/ttyS0 at 115200 bit/s".
void announce(const modem_state& ms) {
  const modem_settings& s = ms.settings;
  net_address plain = socket_local_address(ms.listen_sock.get());
  net_address tls = socket_local_address(ms.tls_listen_sock.get());
  std::string ports;
  if (ms.listen_sock.valid()) ports = "port " + std::to_string(plain.port);
  if (ms.tls_listen_sock.valid()) {
    ports +=
        std::string(ports.empty() ? "" : " and ") + "encrypted port " + std::to_string(tls.port);
  }
  const net_address& bound = ms.listen_sock.valid() ? plain : tls;
  std::string what;
  if (ports.empty()) {
    what = "taking no calls";
  } else if (!s.listen.empty()) {
    what = std::string("listening on ") + addr_text(bound) + " " + ports;
  } else {
    what =
        "listening on " + ports + (bound.family == NET_IPV6 ? " (IPv6 and IPv4)" : " (IPv4 only)");
  }
  // A rate the port does not know runs at 9600 bit/s.
  uint32_t rate = serial_speed(s.baudrate) == B9600 ? 9600 : s.baudrate;
  log_announce(6, "%s, %s at %u bit/s", what.c_str(), ms.device_path.c_str(), rate);
}

// The ports of raw and telnet callers, when set. They take plain calls, which
// MOD_ORVANE_TLS_ONLY=1 refuses.
void open_peer_ports(modem_state& ms, bool settings_read) {
  const modem_settings& s = ms.settings;
  if (s.tls_only == 1) return;
  if (s.raw_port != 0) {
    open_one_listener(ms, settings_read, ms.raw_listen_sock, s.raw_port,
                      "can't open raw listen socket");
  }
  if (s.telnet_port != 0) {
    open_one_listener(ms, settings_read, ms.telnet_listen_sock, s.telnet_port,
                      "can't open telnet listen socket");
  }
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
  release_pid_file(ms.paths.pid_file.c_str(), ms.pid_file, current_pid());
  ms.pid_file.reset();
}

}  // namespace

void handle_signal(int signo) {
  if (signal_target == nullptr) return;
  if (signo == SIGUSR1) {
    signal_target->status_request = 1;
  } else if (signo == SIGUSR2) {
    signal_target->json_request = 1;
  } else if (signal_target->term_signal == 0) {
    signal_target->term_signal = signo;
  }
}

void set_signal_target(modem_state* ms) { signal_target = ms; }

void install_signal_handlers() {
  for (int signo : {SIGINT, SIGTERM, SIGQUIT, SIGUSR1, SIGUSR2}) {
    sys().set_signal(signo, handle_signal);
  }
  sys().set_signal(SIGPIPE, SIG_IGN);
}

void fatal_exit(const modem_state& ms) {
  log_msg(5, "terminated");
  release_pid_file(ms.paths.pid_file.c_str(), ms.pid_file, current_pid());
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
  if (argc == 2 && arg == "--status") {
    return print_daemon_status(paths_under_root(getenv("ORVANED_ROOT")));
  }
  // Name what was refused before the usage says what is taken.
  if (arg == "--help" || arg == "--version" || arg == "--status") {
    fprintf(stderr, "orvaned: %s takes no argument (\"%s\")\n", arg.c_str(), argv[2]);
  } else {
    fprintf(stderr, "orvaned: unknown option \"%s\"\n", arg.c_str());
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
  announce(ms);
  records_start(ls, read_clocks());
  run_event_loop(ms, ls);
  shut_down(ms, ls);
  return 0;
}
