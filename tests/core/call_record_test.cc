// The records of calls and the metrics in the simulated world: each way a call ends gives one
// record with its result, cause and the bytes the test moved; the CSV file across a rotation.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <regex>

#include "config/allow_list.h"
#include "loop_fixture.h"

namespace {

// The fields of the one record line logged (empty when there is none or more than one).
std::map<std::string, std::string> record_fields(const log_capture& log) {
  std::map<std::string, std::string> out;
  int found = 0;
  std::regex field("(\\w+)=(\"[^\"]*\"|\\S+)");
  for (const auto& [level, text] : log.lines()) {
    if (level != 6 || !text.starts_with("call=") || ++found > 1) continue;
    for (std::sregex_iterator it(text.begin(), text.end(), field), end; it != end; ++it) {
      std::string value = (*it)[2];
      out[(*it)[1]] = value[0] == '"' ? value.substr(1, value.size() - 2) : value;
    }
  }
  return found == 1 ? out : std::map<std::string, std::string>{};
}

struct moved {
  size_t to_peer = 0, to_dte = 0;
};

// Data both ways through a connected call.
moved exchange(loop_fixture& f, sim_conn& peer) {
  peer.take();
  f.dte_write("hello");
  f.pass();
  peer.send("world!");
  EXPECT_TRUE(f.run_until([&] { return f.dte().from_daemon.ends_with("world!"); }));
  return {peer.from_daemon.size(), 6};
}

std::shared_ptr<sim_conn> dial(loop_fixture& f, int connect_error = 0) {
  f.type_line("ATD127000000001");
  f.pass();
  auto callee = f.last_dial();
  if (callee != nullptr && connect_error >= 0) sim_world::finish_connect(*callee, connect_error);
  f.pass();
  return callee;
}

std::shared_ptr<sim_conn> answered(loop_fixture& f, bool in) {
  if (in) f.listen_for_calls();
  auto peer = in ? f.call_in() : dial(f);
  EXPECT_TRUE(f.run_until([&] { return f.ms().call_state != CALL_IDLE; }));
  if (in) {
    EXPECT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_RINGING; }));
  }
  in ? f.type_line("ATA") : peer->send("X");
  EXPECT_TRUE(f.run_until([&] { return f.ms().online == 1; }));
  return peer;
}

// The ways a call ends, each returning the bytes it moved.
moved hang_up_by_peer(loop_fixture& f, bool in) {
  auto peer = answered(f, in);
  moved m = exchange(f, *peer);
  peer->close();
  return m;
}
moved busy(loop_fixture& f) { return dial(f)->close(), moved{}; }
moved no_answer(loop_fixture& f) { return dial(f, -1), f.run_for(40 * SEC), moved{}; }
moved no_socket(loop_fixture& f) { return f.world().socket_error_next = EMFILE, dial(f), moved{}; }
moved not_allowed(loop_fixture& f) {
  std::string bad;
  EXPECT_TRUE(allow_list_parse("10.0.0.0/8", f.ms().allowed, bad));
  f.listen_for_calls();
  return f.call_in(), moved{};
}
moved gone_while_ringing(loop_fixture& f) {
  f.listen_for_calls();
  auto caller = f.call_in();
  EXPECT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_RINGING; }));
  return caller->close(), moved{};
}
moved escape_and_ath(loop_fixture& f) {
  auto caller = answered(f, true);
  exchange(f, *caller);
  f.dte_write("+++");
  EXPECT_TRUE(f.run_until([&] { return f.ms().online == 0; }));
  f.type_line("ATH");
  return {caller->from_daemon.size(), 6};
}
moved dtr_drop(loop_fixture& f) {
  f.configure([](modem_settings& s) { s.stat_dtr_action = 2; });
  moved m = exchange(f, *answered(f, false));
  f.world().dte_dtr = false;
  return m;
}
moved inactivity(loop_fixture& f) {
  f.configure([](modem_settings& s) { s.sreg_hup_delay = 1; });
  return exchange(f, *answered(f, true));
}

TEST(CallRecord, EachOutcomeGivesOneRecord) {
  struct outcome {
    std::function<moved(loop_fixture&)> call;
    const char* dir;
    const char* result;  // nullptr: no record (a caller turned away)
    const char* cause;
    const char* counted = nullptr;  // a sample besides the call's
  };
  const outcome outcomes[] = {
      {[](loop_fixture& f) { return hang_up_by_peer(f, false); }, "out", "CONNECT",
       "peer shutdown"},
      {busy, "out", "BUSY", "peer shutdown"},
      {no_answer, "out", "NO_ANSWER", "timeout"},
      {no_socket, "out", "ERROR", "Too many open files"},
      {not_allowed, "in", nullptr, nullptr, "refused_callers_total{reason=\"not_allowed\"} 1"},
      {gone_while_ringing, "in", "NO_CARRIER", "peer shutdown"},
      {[](loop_fixture& f) { return hang_up_by_peer(f, true); }, "in", "CONNECT", "peer shutdown"},
      {escape_and_ath, "in", "CONNECT", "ATH", "orvaned_escapes_total 1"},
      {dtr_drop, "out", "CONNECT", "DTR drop", "orvaned_dtr_drops_total 1"},
      {inactivity, "in", "CONNECT", "inactivity"},
  };
  for (const outcome& c : outcomes) {
    SCOPED_TRACE(c.cause != nullptr ? c.cause : "not allowed");
    loop_fixture f;
    temp_dir dir;
    f.ms().settings.call_log = dir.file("calls.csv");
    f.ms().settings.metrics = dir.path();
    log_capture log;
    moved m = c.call(f);
    f.run_for(12 * SEC);  // the call ends; the metrics of its end are written within a second
    EXPECT_EQ(f.ms().call_state, CALL_IDLE);
    std::string metrics = read_file(dir.file("orvaned.prom"));
    EXPECT_NE(metrics.find(c.counted != nullptr ? c.counted : "# TYPE"), std::string::npos);
    auto r = record_fields(log);
    if (c.result == nullptr) {
      EXPECT_TRUE(r.empty() && !path_exists(dir.file("calls.csv")));
      continue;
    }
    EXPECT_NE(metrics.find(std::string("calls_total{direction=\"") + c.dir + "\",result=\"" +
                           c.result + "\"} 1"),
              std::string::npos);
    EXPECT_EQ(r["call"], "0-1");
    EXPECT_EQ(r["dir"], c.dir);
    EXPECT_EQ(r["result"], c.result);
    EXPECT_EQ(r["cause"], c.cause);
    EXPECT_EQ(r["answer"] != "-", std::string(c.result) == "CONNECT");
    EXPECT_EQ(r["dte_to_net"], std::to_string(m.to_peer));
    EXPECT_EQ(r["net_to_dte"], std::to_string(m.to_dte));
    EXPECT_EQ(read_file(dir.file("calls.csv")),
              std::string(CALL_RECORD_CSV_HEADER) + call_record_csv(f.ls().records.call, ""));
  }
}

// Records are appended whole across a rotation; the file is renamed to PATH.1 before the record
// that would take it beyond MOD_ORVANE_CALL_LOG_SIZE. A file that cannot be written is said once.
TEST(CallRecord, FileRotatesWithoutLosingOrSplittingRecords) {
  loop_fixture f;
  temp_dir dir;
  auto fail_dial = [&f] {
    f.world().socket_error_next = EMFILE;
    f.type_line("ATD127000000001");
    f.pass();
  };
  log_capture log;
  f.ms().settings.call_log = dir.file("none/calls.csv");
  fail_dial();
  fail_dial();
  EXPECT_EQ(std::count_if(log.lines().begin(), log.lines().end(),
                          [](const auto& l) { return l.second.starts_with("call record file"); }),
            1);
  std::string path = dir.file("calls.csv");
  f.ms().settings.call_log = path;
  fail_dial();
  size_t one = read_file(path).size() - CALL_RECORD_CSV_HEADER.size();
  f.ms().settings.call_log_size = static_cast<uint32_t>(CALL_RECORD_CSV_HEADER.size() + 3 * one);
  for (int i = 0; i < 4; ++i) fail_dial();
  std::string all = read_file(path + ".1") + read_file(path);
  std::string want;
  for (int serial = 3; serial <= 7; ++serial) {
    if (serial == 3 || serial == 6) want += CALL_RECORD_CSV_HEADER;
    want += "0-" + std::to_string(serial) + ",";
  }
  std::string got;  // each line cut to its first field
  for (size_t at = 0; at < all.size(); at = all.find('\n', at) + 1) {
    std::string line = all.substr(at, all.find('\n', at) - at + 1);
    got += line.starts_with("call,") ? line : line.substr(0, line.find(',') + 1);
    EXPECT_EQ(std::count(line.begin(), line.end(), ','), 16) << line;
  }
  EXPECT_EQ(got, want);
}

}  // namespace
