// Raw and telnet servers dialled in the simulated world: no answer byte, and on a telnet call
// nothing of the protocol reaching the DTE however the peer splits it or floods it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "config/subst_script.h"
#include "loop_fixture.h"

namespace {

using namespace std::string_literals;

TEST(Peers, DialledServersSpeakFirstAndTelnetIsHiddenFromTheDte) {
  const struct {
    std::string kind;
    uint16_t port;
    std::string opening;  // what the daemon sends first
  } rows[] = {{"raw", 2000, ""}, {"telnet", 23, "\xff\xfd\x00\xff\xfb\x00\xff\xfd\x03"s}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.kind);
    loop_fixture f;
    log_capture log;
    f.ms().settings.port = 2000;
    subst_add_line(f.ms().subst_table, f.ms().subst_count, "D7:" + r.kind + ":127000000001", 1);
    f.type_line("ATD7");
    f.pass();
    auto peer = f.last_dial();
    ASSERT_TRUE(peer != nullptr && peer->port == r.port);
    sim_world::finish_connect(*peer, 0);
    f.pass();
    EXPECT_EQ(f.dte_read(), "ATD7\r\nCONNECT 115200\r\n");
    EXPECT_EQ(peer->take(), r.opening);
    bool telnet = r.kind == "telnet";
    EXPECT_TRUE(log.has(5, "TCP connection to 127.0.0.1 established (" + r.kind + ")"));
    // A flood of negotiation with data between, one byte a read; the peer first reads nothing,
    // and the daemon stops reading until its replies have gone.
    std::string sent, data;
    for (int i = 0; i < 3000; ++i) {
      sent += "\xff"s + static_cast<char>(251 + i % 4) + static_cast<char>(1 + i % 200);
      if (i % 7 == 0)
        sent += "\xff\xfa\x18\x01\xff\xf0\xff\xfa\x63"s + std::string(20, 'z') + "\xff\xf0";
      sent += "\xff\xff\r\0"s + static_cast<char>('a' + i % 26);
      data += "\xff\r"s + static_cast<char>('a' + i % 26);
    }
    if (!telnet) data = sent;
    peer->room = 0;
    peer->send(sent.substr(0, 12000));
    f.run_for(2 * SEC);
    EXPECT_EQ(peer->to_daemon.empty(), !telnet);
    peer->room = SIZE_MAX;
    for (char c : sent.substr(12000)) {
      peer->send(std::string(1, c));
      f.pass();
    }
    ASSERT_TRUE(f.run_until([&] { return f.dte().from_daemon.size() >= data.size(); }));
    EXPECT_EQ(f.dte_read(), data);
    EXPECT_LE(peer->take().size(), sent.size() / 2);  // each request answered at most once
    // DTE bytes escaped; a CR that ends a full chunk waits for the next byte, one that ends
    // the DTE's bytes gets its NUL once S11 has passed.
    f.configure([](modem_settings& s) { s.sreg_split = 100; });
    std::string a1022(1022, 'a');
    f.dte_write(a1022 + "\xff\r\n\r");
    f.run_for(300 * MSEC);
    EXPECT_EQ(peer->take(), a1022 + (telnet ? "\xff\xff\r\n\r\0"s : "\xff\r\n\r"));
    f.run_for(2 * SEC);
    f.dte_write("+++");
    ASSERT_TRUE(f.run_until([&] { return f.ms().online == 0; }));
    // The call's record names its kind.
    f.type_line("ATH");
    f.pass();
    auto texts = log.texts();
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                            [&](const std::string& t) {
                              return t.starts_with("call=") &&
                                     t.find(" kind=" + r.kind + " ") != std::string::npos;
                            }),
              1);
  }
}

}  // namespace
