#include "core/metrics.h"

#include <sys/ioctl.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/loop_state.h"
#include "modem/modem_state.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/resolver.h"
#include "platform/serial_port.h"
#include "platform/tls.h"

namespace {

// In reason order; the first whose prefix the outcome has is its reason.
struct refusal_rule {
  std::string_view prefix;
  std::string_view label;
};
constexpr refusal_rule refusal_rules[REFUSAL_REASONS] = {
    {"not allowed", "not_allowed"},
    {"rejected", "rejected"},
    {"refused: too many handshakes", "too_many_handshakes"},
    {"refused: timeout", "handshake_timeout"},
    {"refused: name not allowed", "name_not_allowed"},
    {"refused: ", "handshake_failed"},
};

// A label value with backslash, double quote and line feed escaped, as the format asks.
std::string label(std::string_view value) {
  std::string out;
  for (char c : value) {
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

void family(std::string& out, const char* name, const char* type, const char* help) {
  out.append("# HELP ").append(name).append(" ").append(help).append("\n");
  out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void sample(std::string& out, const char* name, const std::string& labels, uint64_t value) {
  char number[24];
  snprintf(number, sizeof number, "%" PRIu64, value);
  out.append(name);
  if (!labels.empty()) out.append("{").append(labels).append("}");
  out.append(" ").append(number).append("\n");
}

}  // namespace

void metrics_refusal(call_metrics& m, const char* outcome) {
  std::string_view text = outcome;
  for (int i = 0; i < REFUSAL_REASONS; ++i) {
    if (text.starts_with(refusal_rules[i].prefix)) {
      m.refused[i]++;
      return;
    }
  }
}

bool metrics_dtr_drop(call_metrics& m) {
  if (!m.dtr_drop_counted) m.dtr_drops++;
  m.dtr_drop_counted = true;
  return true;
}

void metrics_call_ended(call_metrics& m, const call_record& r) {
  m.calls[r.incoming ? 1 : 0][r.result]++;
  if (r.answer.tv_sec != 0 && r.end.tv_sec > r.answer.tv_sec) {
    m.connected_seconds += static_cast<uint64_t>(r.end.tv_sec - r.answer.tv_sec);
  }
  m.dte_to_net += r.dte_to_net;
  m.net_to_dte += r.net_to_dte;
  m.due = true;
}

int dte_dtr_state(const modem_state& ms) {
  int bits = 0;
  if (get_modem_lines(ms.serial_fd.get(), &bits) != 0) return -1;
  return (bits & TIOCM_CAR) != 0 ? 1 : 0;
}

std::string metrics_text(const modem_state& ms, const loop_state& ls, const clock_reading& now,
                         int dte_dtr) {
  const call_metrics& m = ls.metrics;
  const call_record& call = ls.records.call;
  std::string out;
  family(out, "orvaned_info", "gauge", "The daemon's version and build options.");
  sample(out, "orvaned_info",
         "version=\"" + label(ORVANED_RELEASE) + "\",tls=\"" + label(tls_library_version()) +
             "\",resolver=\"" + label(resolver_library_version()) + "\"",
         1);
  family(out, "orvaned_start_time_seconds", "gauge", "When the daemon started, in Unix time.");
  sample(out, "orvaned_start_time_seconds", "", static_cast<uint64_t>(ls.records.started.tv_sec));
  family(out, "orvaned_calls_total", "counter", "Calls ended, by direction and result.");
  for (int in = 0; in < 2; ++in) {
    for (int result = 0; result < CALL_RESULTS; ++result) {
      sample(out, "orvaned_calls_total",
             std::string("direction=\"") + (in != 0 ? "in" : "out") + "\",result=\"" +
                 std::string(call_result_names[result]) + "\"",
             m.calls[in][result]);
    }
  }
  // The call under way counts as far as it has come, so that the totals only grow.
  bool on_call = call.open && call.answer.tv_sec != 0;
  uint64_t connected = on_call && now.wall.tv_sec > call.answer.tv_sec
                           ? static_cast<uint64_t>(now.wall.tv_sec - call.answer.tv_sec)
                           : 0;
  family(out, "orvaned_connected_seconds_total", "counter", "Seconds calls have been connected.");
  sample(out, "orvaned_connected_seconds_total", "", m.connected_seconds + connected);
  family(out, "orvaned_bytes_total", "counter",
         "Bytes sent to peers (dte_to_net) and written to the DTE (net_to_dte).");
  sample(out, "orvaned_bytes_total", "direction=\"dte_to_net\"",
         m.dte_to_net + (call.open ? call.dte_to_net : 0));
  sample(out, "orvaned_bytes_total", "direction=\"net_to_dte\"",
         m.net_to_dte + (call.open ? call.net_to_dte : 0));
  family(out, "orvaned_refused_callers_total", "counter",
         "Callers turned away before they rang, by reason.");
  for (int i = 0; i < REFUSAL_REASONS; ++i) {
    sample(out, "orvaned_refused_callers_total",
           "reason=\"" + std::string(refusal_rules[i].label) + "\"", m.refused[i]);
  }
  family(out, "orvaned_dtr_drops_total", "counter", "Drops of the DTE's DTR acted on (&D1 to 3).");
  sample(out, "orvaned_dtr_drops_total", "", m.dtr_drops);
  family(out, "orvaned_escapes_total", "counter", "Escapes from data mode to command mode.");
  sample(out, "orvaned_escapes_total", "", m.escapes);
  family(out, "orvaned_call_state", "gauge", "1 for the state the modem's call is in.");
  for (int state = 0; state < 4; ++state) {
    sample(out, "orvaned_call_state", "state=\"" + std::string(call_state_names[state]) + "\"",
           ms.call_state == state ? 1 : 0);
  }
  family(out, "orvaned_online", "gauge", "1 in data mode, 0 in command mode.");
  sample(out, "orvaned_online", "", ms.online == 1 ? 1 : 0);
  if (dte_dtr >= 0) {
    family(out, "orvaned_dte_dtr", "gauge", "The DTE's DTR: 1 up, 0 down.");
    sample(out, "orvaned_dte_dtr", "", static_cast<uint64_t>(dte_dtr));
  }
  family(out, "orvaned_dte_silent_seconds", "gauge",
         "Seconds since the DTE last sent a byte (since the start when it has sent none).");
  int silent = m.dte_input >= 0 && now.monotonic > m.dte_input ? now.monotonic - m.dte_input : 0;
  sample(out, "orvaned_dte_silent_seconds", "", static_cast<uint64_t>(silent));
  return out;
}

void metrics_time_check(modem_state& ms, loop_state& ls, const clock_reading& now) {
  const call_metrics& m = ls.metrics;
  if (ms.settings.metrics.empty()) return;
  bool periodic = m.written < 0 || now.monotonic - m.written >= METRICS_PERIOD_SEC;
  if (periodic || (m.due && now.monotonic != m.written)) metrics_write(ms, ls, now);
}

void metrics_write(modem_state& ms, loop_state& ls, const clock_reading& now) {
  call_metrics& m = ls.metrics;
  const std::string& dir = ms.settings.metrics;
  if (dir.empty()) return;
  m.written = now.monotonic;
  m.due = false;
  std::string path = dir + "/orvaned.prom";
  std::string why;
  bool written = link_path_trusted(path.c_str(), why);
  if (written) {
    // Not synced: the file is rewritten within seconds, and the loop does not wait for a disk.
    written = replace_file(path.c_str(), metrics_text(ms, ls, now, dte_dtr_state(ms)), 0644, false);
    if (!written) why = strerror(errno);
  }
  if (!written && !m.told) log_msg(4, "metrics file %s: %s", path.c_str(), why.c_str());
  m.told = !written;
}
