// The record of each call, as a telephone exchange keeps one: who called whom, when the call
// began, was answered and ended, how it ended and how many bytes it carried each way. The call
// under way is recorded in the loop's state from the dial (ATD) or the ring of a caller to its
// end, when its record is logged at level 6 ("call=ID dir=... ") and appended to the CSV file
// of MOD_ORVANE_CALL_LOG. Callers turned away before they ring are no calls: the metrics count
// them (core/metrics.h).
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/countdown.h"
#include "platform/log_limit.h"
#include "platform/net_address.h"

struct call_link;
struct loop_state;
struct modem_state;

// How a call ended, as its record and the metrics name it.
enum call_result : int {
  CALL_RESULT_CONNECT = 0,  // answered, however it ended afterwards (the cause says how)
  CALL_RESULT_BUSY = 1,
  CALL_RESULT_NO_ANSWER = 2,
  CALL_RESULT_NO_CARRIER = 3,
  CALL_RESULT_REFUSED = 4,  // an encrypted call's handshake failed or a certificate was refused
  CALL_RESULT_ERROR = 5,    // this modem could not make the call (no socket, a failed send)
};
constexpr int CALL_RESULTS = 6;
inline constexpr std::string_view call_result_names[CALL_RESULTS] = {
    "CONNECT", "BUSY", "NO_ANSWER", "NO_CARRIER", "REFUSED", "ERROR"};

struct call_record {
  bool open = false;      // a call is under way
  uint64_t serial = 0;    // the call's number in this run of the daemon, from 1
  bool incoming = false;  // dir=in
  net_address peer;       // the far end; empty while a name is looked up
  uint16_t port = 0;      // the port dialled, or the caller's
  std::string peer_name;  // a dial to a host name: the name
  std::string number;     // the number dialled (outgoing calls)
  const char* kind = "daemon";
  bool tls = false;
  std::string cert;  // the name in the peer's certificate (encrypted calls)
  timeval start{};
  timeval answer{};  // {0, 0}: not answered
  timeval end{};
  uint64_t dte_to_net = 0;  // bytes sent to the peer
  uint64_t net_to_dte = 0;  // bytes of the peer written to the serial port
  call_result result = CALL_RESULT_ERROR;
  std::string cause;  // the reason the log line of its end gives
};

// The records of this run of the daemon.
struct call_records {
  call_record call;        // the call under way, or the last one
  std::string id_base;     // what every ID of this run begins with (records_start)
  uint64_t calls = 0;      // calls begun in this run
  timeval started{};       // when the daemon started
  timeval since{};         // when the call state last changed
  log_limit incoming_log;  // the record lines of incoming calls, which outsiders can provoke
  bool file_told = false;  // a failure of the call record file has been logged
};

// The CSV file's first line.
inline constexpr std::string_view CALL_RECORD_CSV_HEADER =
    "call,dir,peer,port,number,kind,tls,cert,start,answer,end,secs,billsec,result,cause,"
    "dte_to_net,net_to_dte\n";

// The record as its log line ("call=ID dir=out ... net_to_dte=N") and as a CSV line (with its
// line feed). Fields that do not apply are "-"; times are UTC; cert and cause are in double
// quotes in the log line.
std::string call_record_line(const call_record& r, const std::string& id_base);
std::string call_record_csv(const call_record& r, const std::string& id_base);

// The record's ID: "ID_BASE-SERIAL" ("0-SERIAL" before records_start).
std::string call_record_id(const call_record& r, const std::string& id_base);

// `wall` as "2023-11-14T22:13:20Z".
std::string utc_text(const timeval& wall);

// Starts the records of this run at `now`: the IDs are "BOOT-START.PID-N", BOOT naming this
// boot of the system (its random boot id), START and PID this run, N the call. The DTE's
// silence is counted from now.
void records_start(loop_state& ls, const clock_reading& now);

// The kind of peer a link reaches: "daemon" (the call protocol of two daemons), "raw" or
// "telnet".
const char* call_kind(const call_link& link);

// A call begins: the dial to ms.peer_addr or ms.peer_name (start_dial), or a caller who rings.
void record_dial(const modem_state& ms, loop_state& ls, const clock_reading& now);
void record_ring(loop_state& ls, const call_link& caller, const clock_reading& now);

// The call under way is answered (on-line for the first time).
void record_answer(loop_state& ls, const clock_reading& now);

// The call under way ends for hang-up cause `cause` (call_control.h), whose result code for the
// DTE is `result_code`, for `reason`: its record is written (log, file) and counted.
void record_end(modem_state& ms, loop_state& ls, int cause, int result_code, const char* reason);

// At shutdown: a call still dialling or ringing ends ("program termination"); the metrics of
// the calls ended since their last write are written.
void records_shutdown(modem_state& ms, loop_state& ls);

// Time check: reports how many record lines of incoming calls the flood limit kept back.
void records_time_check(loop_state& ls, const clock_reading& now);
