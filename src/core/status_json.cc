#include "core/status_json.h"

#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "at/sreg_table.h"
#include "core/call_record.h"
#include "core/metrics.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/pid_file.h"
#include "platform/system_io.h"

namespace {

constexpr unsigned POLL_MS = 20;
constexpr size_t STATUS_MAX = 65536;

std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// Appends "KEY":VALUE, a comma first unless it opens its object.
void member(std::string& out, const char* key, const std::string& value) {
  if (out.back() != '{') out += ',';
  out.append(json_string(key)).append(":").append(value);
}

std::string number(uint64_t value) { return std::to_string(value); }

std::string call_object(const modem_state& ms, const loop_state& ls) {
  const call_record& r = ls.records.call;
  std::string out = "{";
  member(out, "state", json_string(call_state_names[ms.call_state]));
  member(out, "online", ms.online == 1 ? "true" : "false");
  member(out, "since", json_string(utc_text(ls.records.since)));
  if (!r.open) return out + "}";
  member(out, "id", json_string(call_record_id(r, ls.records.id_base)));
  member(out, "direction", json_string(r.incoming ? "in" : "out"));
  const std::string peer = net_address_empty(r.peer) ? r.peer_name : addr_text(r.peer);
  member(out, "peer",
         net_address_empty(r.peer) && r.peer_name.empty() ? "null" : json_string(peer));
  member(out, "port", number(r.port));
  member(out, "number", r.number.empty() ? "null" : json_string(r.number));
  member(out, "kind", json_string(r.kind));
  member(out, "tls", r.tls ? "true" : "false");
  member(out, "cert", r.cert.empty() ? "null" : json_string(r.cert));
  member(out, "start", json_string(utc_text(r.start)));
  member(out, "answer", r.answer.tv_sec != 0 ? json_string(utc_text(r.answer)) : "null");
  member(out, "dte_to_net", number(r.dte_to_net));
  member(out, "net_to_dte", number(r.net_to_dte));
  return out + "}";
}

std::string registers_object(const modem_state& ms) {
  std::string out = "{";
  for (const sreg_register& reg : sreg_registers) {
    const uint32_t* value = sreg_value(ms, reg.number);
    std::string name = "S";
    name += std::to_string(reg.number);
    member(out, name.c_str(), number(value != nullptr ? *value : 0));
  }
  const modem_settings& s = ms.settings;
  member(out, "E", number(s.stat_echo));
  member(out, "Q", number(s.stat_quiet));
  member(out, "V", number(s.stat_verbosity));
  member(out, "&D", number(s.stat_dtr_action));
  return out + "}";
}

}  // namespace

std::string status_json_text(const modem_state& ms, const loop_state& ls, const clock_reading& now,
                             int dte_dtr) {
  char written[48];
  snprintf(written, sizeof written, "%s.%06ldZ", utc_text(now.wall).substr(0, 19).c_str(),
           static_cast<long>(now.wall.tv_usec));
  std::string out = "{";
  member(out, "version", json_string(ORVANED_RELEASE));
  member(out, "pid", number(static_cast<uint64_t>(current_pid())));
  member(out, "written", json_string(written));
  member(out, "started", json_string(utc_text(ls.records.started)));
  member(out, "call", call_object(ms, ls));
  member(out, "dte_dtr", dte_dtr < 0 ? "null" : (dte_dtr == 1 ? "true" : "false"));
  member(out, "registers", registers_object(ms));
  return out + "}\n";
}

void write_status_json(const modem_state& ms, const loop_state& ls, const clock_reading& now) {
  std::string path = ms.paths.status_dir + "/status.json";
  if (!replace_file(path.c_str(), status_json_text(ms, ls, now, dte_dtr_state(ms)), 0666)) {
    log_msg(3, "write error (%s): %s", path.c_str(), strerror(errno));
  }
}

int print_daemon_status(const daemon_paths& paths) {
  const char* pid_path = paths.pid_file.c_str();
  int pid = 0;
  if (!read_pid_file(pid_path, pid) || pid <= 0 || process_alive(pid) == 0 ||
      !runs_this_executable(pid)) {
    fprintf(stderr, "orvaned: no daemon is running (%s names no running orvaned)\n", pid_path);
    return 1;
  }
  std::string path = paths.status_dir + "/status.json";
  std::string before;
  std::string now;
  std::string problem;
  int error = 0;
  read_small_file(path.c_str(), STATUS_MAX, before, problem, error);
  error = signal_process(pid, SIGUSR2);
  if (error != 0) {
    fprintf(stderr, "orvaned: cannot ask pid %d for its status: %s\n", pid, strerror(error));
    return 1;
  }
  for (unsigned waited = 0; waited < STATUS_WAIT_MS; waited += POLL_MS) {
    sleep_milliseconds(POLL_MS);
    if (read_small_file(path.c_str(), STATUS_MAX, now, problem, error) == SMALL_FILE_READ &&
        !now.empty() && now != before) {
      fputs(now.c_str(), stdout);
      return 0;
    }
  }
  fprintf(stderr, "orvaned: pid %d wrote no status to %s within %u s\n", pid, path.c_str(),
          STATUS_WAIT_MS / 1000);
  return 1;
}
