#include "core/call_record.h"

#include <array>
#include <cstdio>
#include <ctime>
#include <iterator>

#include "at/result_codes.h"
#include "core/call_control.h"
#include "core/loop_state.h"
#include "core/metrics.h"
#include "modem/modem_state.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/pid_file.h"

namespace {

constexpr const char* BOOT_ID_PATH = "/proc/sys/kernel/random/boot_id";

bool answered(const call_record& r) { return r.answer.tv_sec != 0 || r.answer.tv_usec != 0; }

// What the record says of a call that ends for `cause` with `result_code` for the DTE.
call_result result_of(const call_record& r, int cause, int result_code) {
  if (answered(r)) return CALL_RESULT_CONNECT;
  if (cause == HANGUP_HANDSHAKE_FAILED) return CALL_RESULT_REFUSED;
  if (cause == HANGUP_NO_SOCKET) return CALL_RESULT_ERROR;
  if (result_code == RESULT_BUSY) return CALL_RESULT_BUSY;
  if (result_code == RESULT_NO_ANSWER) return CALL_RESULT_NO_ANSWER;
  return CALL_RESULT_NO_CARRIER;
}

// The fields of a record in their order; the texts that may hold anything are always quoted
// in the log line.
struct record_field {
  const char* name = "";
  bool quoted = false;
};
constexpr record_field record_fields[] = {
    {"call"},    {"dir"},        {"peer"},        {"port"},       {"number"},    {"kind"},
    {"tls"},     {"cert", true}, {"start"},       {"answer"},     {"end"},       {"secs"},
    {"billsec"}, {"result"},     {"cause", true}, {"dte_to_net"}, {"net_to_dte"}};
constexpr size_t RECORD_FIELDS = std::size(record_fields);
using record_values = std::array<std::string, RECORD_FIELDS>;

std::string or_dash(const std::string& text) { return text.empty() ? "-" : text; }

std::string seconds_between(const timeval& from, const timeval& to) {
  return std::to_string(to.tv_sec > from.tv_sec ? to.tv_sec - from.tv_sec : 0);
}

// The values in field order, "-" where a field does not apply.
record_values values_of(const call_record& r, const std::string& id_base) {
  record_values v;
  v[0] = call_record_id(r, id_base);
  v[1] = r.incoming ? "in" : "out";
  v[2] = net_address_empty(r.peer) ? or_dash(r.peer_name) : addr_text(r.peer);
  v[3] = r.port != 0 ? std::to_string(r.port) : "-";
  v[4] = or_dash(r.number);
  v[5] = r.kind;
  v[6] = r.tls ? '1' : '0';
  v[7] = or_dash(r.cert);
  v[8] = utc_text(r.start);
  v[9] = answered(r) ? utc_text(r.answer) : "-";
  v[10] = utc_text(r.end);
  v[11] = seconds_between(r.start, r.end);
  v[12] = answered(r) ? seconds_between(r.answer, r.end) : "0";
  v[13] = call_result_names[r.result];
  v[14] = or_dash(r.cause);
  v[15] = std::to_string(r.dte_to_net);
  v[16] = std::to_string(r.net_to_dte);
  return v;
}

std::string quoted(const std::string& text, bool backslash) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || (c == '\\' && backslash)) out += backslash ? '\\' : '"';
    out += c;
  }
  return out + "\"";
}

}  // namespace

std::string call_record_id(const call_record& r, const std::string& id_base) {
  return (id_base.empty() ? "0" : id_base) + "-" + std::to_string(r.serial);
}

std::string utc_text(const timeval& wall) {
  time_t seconds = wall.tv_sec;
  tm t{};
  char text[32] = "-";
  if (gmtime_r(&seconds, &t) != nullptr) strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &t);
  return text;
}

std::string call_record_line(const call_record& r, const std::string& id_base) {
  record_values values = values_of(r, id_base);
  std::string line;
  for (size_t i = 0; i < RECORD_FIELDS; ++i) {
    const std::string& value = values[i];
    bool quote = value != "-" &&
                 (record_fields[i].quoted || value.find_first_of(" \"") != std::string::npos);
    if (i > 0) line += ' ';
    line.append(record_fields[i].name).append("=").append(quote ? quoted(value, true) : value);
  }
  return line;
}

std::string call_record_csv(const call_record& r, const std::string& id_base) {
  std::string line;
  for (const std::string& value : values_of(r, id_base)) {
    if (!line.empty()) line += ',';
    line += value.find_first_of(",\"\r\n") != std::string::npos ? quoted(value, false) : value;
  }
  return line + "\n";
}

void records_start(loop_state& ls, const clock_reading& now) {
  call_records& r = ls.records;
  std::string boot;
  std::string problem;
  int error = 0;
  if (read_small_file(BOOT_ID_PATH, 64, boot, problem, error) != SMALL_FILE_READ) boot.clear();
  char base[64];
  snprintf(base, sizeof base, "%.8s-%lld.%d", boot.empty() ? "0" : boot.c_str(),
           static_cast<long long>(now.wall.tv_sec), current_pid());
  r.id_base = base;
  r.started = now.wall;
  r.since = now.wall;
  ls.metrics.dte_input = now.monotonic;
}

const char* call_kind(const call_link& link) { return peer_kind_name(link.kind); }

void record_dial(const modem_state& ms, loop_state& ls, const clock_reading& now) {
  call_records& rs = ls.records;
  call_record& r = rs.call;
  r = call_record{};
  r.open = true;
  r.serial = ++rs.calls;
  r.peer = ms.peer_addr;
  r.port = ms.peer_port;
  r.peer_name = ms.peer_name.data();
  r.number = ms.dialled;
  r.kind = peer_kind_name(ms.peer_kind);
  r.tls = ms.peer_tls;
  r.start = now.wall;
  rs.since = now.wall;
}

void record_ring(loop_state& ls, const call_link& caller, const clock_reading& now) {
  call_records& rs = ls.records;
  call_record& r = rs.call;
  r = call_record{};
  r.open = true;
  r.serial = ++rs.calls;
  r.incoming = true;
  r.peer = caller.peer;
  r.port = caller.peer.port;
  r.kind = call_kind(caller);
  r.tls = link_encrypted(caller);
  if (r.tls) r.cert = tls_peer_name(caller.tls);
  r.start = now.wall;
  rs.since = now.wall;
}

void record_answer(loop_state& ls, const clock_reading& now) {
  call_record& r = ls.records.call;
  if (!r.open) return;
  r.answer = now.wall;
  r.kind = call_kind(ls.link);
  if (link_encrypted(ls.link)) r.cert = tls_peer_name(ls.link.tls);
  ls.records.since = now.wall;
}

void record_end(modem_state& ms, loop_state& ls, int cause, int result_code, const char* reason) {
  call_records& rs = ls.records;
  call_record& r = rs.call;
  if (!r.open) return;
  clock_reading now = read_clocks();
  r.open = false;
  r.end = now.wall;
  rs.since = now.wall;
  if (!net_address_empty(ms.peer_addr)) r.peer = ms.peer_addr;
  if (r.cert.empty() && link_encrypted(ls.link)) r.cert = tls_peer_name(ls.link.tls);
  r.result = result_of(r, cause, result_code);
  r.cause = reason != nullptr ? reason : "";
  records_time_check(ls, now);
  if (!r.incoming || log_limit_admit(rs.incoming_log, now.monotonic)) {
    log_msg(6, "%s", call_record_line(r, rs.id_base).c_str());
  }
  const std::string& path = ms.settings.call_log;
  std::string problem;
  if (!path.empty()) {
    bool written =
        append_record(path.c_str(), CALL_RECORD_CSV_HEADER, call_record_csv(r, rs.id_base),
                      ms.settings.call_log_size, problem);
    if (!written && !rs.file_told) {
      log_msg(4, "call record file %s: %s", path.c_str(), problem.c_str());
    }
    rs.file_told = !written;
  }
  metrics_call_ended(ls.metrics, r);
}

void records_shutdown(modem_state& ms, loop_state& ls) {
  int code = ms.call_state == CALL_DIALING ? RESULT_NO_ANSWER : RESULT_NO_CARRIER;
  record_end(ms, ls, HANGUP_TERMINATION, code, "program termination");
  if (ls.metrics.due) metrics_write(ms, ls, read_clocks());
}

void records_time_check(loop_state& ls, const clock_reading& now) {
  uint32_t counted = log_limit_expire(ls.records.incoming_log, now.monotonic);
  if (counted != 0) {
    log_msg(6, "%u more records of incoming calls not logged in the last %d s", counted,
            LOG_LIMIT_PERIOD_SEC);
  }
}
