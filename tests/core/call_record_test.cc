// The records of calls and the metrics in the simulated world: each way a call ends gives one
// record with its result, cause and the bytes the test moved; the CSV file across a rotation.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <sstream>

#include "config/allow_list.h"
#include "loop_fixture.h"

namespace {

// The fields of a record's log line.
std::map<std::string, std::string> fields(const std::string& line) {
  std::map<std::string, std::string> out;
  std::istringstream in(line);
  std::string key, value;
  while (std::getline(in, key, '=')) {
    if (in.peek() == '"') {
      in.get();
      std::getline(in, value, '"');
      in.get();
    } else {
      in >> value;
      in.get();
    }
    out[key] = value;
  }
  return out;
}

std::vector<std::string> records(const log_capture& log) {
  std::vector<std::string> out;
  for (const auto& [level, text] : log.lines()) {
    if (level == 6 && text.starts_with("call=")) out.push_back(text);
  }
  return out;
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

std::shared_ptr<sim_conn> answered_in(loop_fixture& f) {
  f.listen_for_calls();
  auto caller = f.call_in();
  f.pass();
  f.type_line("ATA");
  EXPECT_TRUE(f.run_until([&] { return f.ms().online == 1; }));
  return caller;
}

std::shared_ptr<sim_conn> answered_out(loop_fixture& f) {
  auto callee = dial(f);
  callee->send("X");
  EXPECT_TRUE(f.run_until([&] { return f.ms().online == 1; }));
  return callee;
}

moved hang_up_by_peer(loop_fixture& f, const std::shared_ptr<sim_conn>& peer) {
  moved m = exchange(f, *peer);
  peer->close();
  EXPECT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_IDLE; }));
  return m;
}

TEST(CallRecord, EachOutcomeGivesOneRecord) {
  struct outcome {
    const char* name;
    std::function<moved(loop_fixture&)> call;
    const char* dir;
    const char* result;  // nullptr: no record (a caller turned away)
    const char* cause;
    const char* metric;  // the sample that counts it
  };
  const outcome outcomes[] = {
      {"answered, remote hang-up",
       [](loop_fixture& f) { return hang_up_by_peer(f, answered_out(f)); }, "out", "CONNECT",
       "peer shutdown", "orvaned_calls_total{direction=\"out\",result=\"CONNECT\"} 1"},
      {"busy",
       [](loop_fixture& f) {
         dial(f)->close();
         f.run_for(SEC);
         return moved{};
       },
       "out", "BUSY", "peer shutdown", "orvaned_calls_total{direction=\"out\",result=\"BUSY\"} 1"},
      {"no answer",
       [](loop_fixture& f) {
         dial(f, -1);
         f.run_for(40 * SEC);
         return moved{};
       },
       "out", "NO_ANSWER", "timeout", "result=\"NO_ANSWER\"} 1"},
      {"connection refused",
       [](loop_fixture& f) {
         dial(f, ECONNREFUSED);
         return moved{};
       },
       "out", "NO_ANSWER", "Connection refused", "result=\"NO_ANSWER\"} 1"},
      {"no socket",
       [](loop_fixture& f) {
         f.world().socket_error_next = EMFILE;
         dial(f);
         return moved{};
       },
       "out", "ERROR", "Too many open files", "result=\"ERROR\"} 1"},
      {"refused by the allow list",
       [](loop_fixture& f) {
         std::string bad;
         EXPECT_TRUE(allow_list_parse("10.0.0.0/8", f.ms().allowed, bad));
         f.listen_for_calls();
         f.call_in();
         f.run_for(SEC);
         return moved{};
       },
       "in", nullptr, nullptr, "orvaned_refused_callers_total{reason=\"not_allowed\"} 1"},
      {"caller gone while ringing",
       [](loop_fixture& f) {
         f.listen_for_calls();
         auto caller = f.call_in();
         f.pass();
         caller->close();
         f.run_for(SEC);
         return moved{};
       },
       "in", "NO_CARRIER", "peer shutdown", "direction=\"in\",result=\"NO_CARRIER\"} 1"},
      {"incoming answered, remote hang-up",
       [](loop_fixture& f) { return hang_up_by_peer(f, answered_in(f)); }, "in", "CONNECT",
       "peer shutdown", "direction=\"in\",result=\"CONNECT\"} 1"},
      {"escape and ATH",
       [](loop_fixture& f) {
         auto caller = answered_in(f);
         moved m = exchange(f, *caller);
         f.dte_write("+++");
         EXPECT_TRUE(f.run_until([&] { return f.ms().online == 0; }));
         f.type_line("ATH");
         f.pass();
         m.to_peer = caller->from_daemon.size();
         return m;
       },
       "in", "CONNECT", "ATH", "orvaned_escapes_total 1"},
      {"DTR drop",
       [](loop_fixture& f) {
         f.configure([](modem_settings& s) { s.stat_dtr_action = 2; });
         auto callee = answered_out(f);
         moved m = exchange(f, *callee);
         f.world().dte_dtr = false;
         f.run_for(SEC);
         return m;
       },
       "out", "CONNECT", "DTR drop", "orvaned_dtr_drops_total 1"},
      {"inactivity",
       [](loop_fixture& f) {
         f.configure([](modem_settings& s) { s.sreg_hup_delay = 1; });
         auto caller = answered_in(f);
         moved m = exchange(f, *caller);
         f.run_for(12 * SEC);
         return m;
       },
       "in", "CONNECT", "inactivity", "direction=\"in\",result=\"CONNECT\"} 1"},
  };
  for (const outcome& c : outcomes) {
    SCOPED_TRACE(c.name);
    loop_fixture f;
    temp_dir dir;
    f.ms().settings.call_log = dir.file("calls.csv");
    f.ms().settings.metrics = dir.path();
    log_capture log;
    moved m = c.call(f);
    f.run_for(2 * SEC);  // the metrics of the call's end are written within a second
    EXPECT_EQ(f.ms().call_state, CALL_IDLE);
    std::vector<std::string> lines = records(log);
    EXPECT_NE(read_file(dir.file("orvaned.prom")).find(c.metric), std::string::npos);
    if (c.result == nullptr) {
      EXPECT_TRUE(lines.empty());
      EXPECT_FALSE(path_exists(dir.file("calls.csv")));
      continue;
    }
    ASSERT_EQ(lines.size(), 1u);
    auto r = fields(lines[0]);
    EXPECT_EQ(r["call"], "0-1");
    EXPECT_EQ(r["dir"], c.dir);
    EXPECT_EQ(r["result"], c.result);
    EXPECT_EQ(r["cause"], c.cause);
    EXPECT_EQ(r["answer"] != "-", std::string(c.result) == "CONNECT");
    EXPECT_EQ(r["dte_to_net"], std::to_string(m.to_peer));
    EXPECT_EQ(r["net_to_dte"], std::to_string(m.to_dte));
    std::string csv = read_file(dir.file("calls.csv"));
    EXPECT_EQ(csv, std::string(CALL_RECORD_CSV_HEADER) + call_record_csv(f.ls().records.call, ""));
  }
}

// Records are appended whole across a rotation; the file is renamed to PATH.1 before the record
// that would take it beyond MOD_ORVANE_CALL_LOG_SIZE.
TEST(CallRecord, FileRotatesWithoutLosingOrSplittingRecords) {
  loop_fixture f;
  temp_dir dir;
  auto fail_dial = [&f] {
    f.world().socket_error_next = EMFILE;
    f.type_line("ATD127000000001");
    f.pass();
  };
  std::string path = dir.file("calls.csv");
  f.ms().settings.call_log = path;
  fail_dial();
  size_t one = read_file(path).size() - CALL_RECORD_CSV_HEADER.size();
  f.ms().settings.call_log_size = static_cast<uint32_t>(CALL_RECORD_CSV_HEADER.size() + 3 * one);
  for (int i = 0; i < 4; ++i) fail_dial();
  std::string all = read_file(path + ".1") + read_file(path);
  std::string want;
  for (int serial = 1; serial <= 5; ++serial) {
    if (serial == 1 || serial == 4) want += CALL_RECORD_CSV_HEADER;
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
