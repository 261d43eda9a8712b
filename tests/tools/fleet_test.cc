// What a fleet's operator reads of a running daemon: its metrics file through a real
// prometheus-node-exporter, and orvaned --status with a daemon and without one.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "e2e/call_helpers.h"
#include "tools/run_program.h"

namespace {

using testing::HasSubstr;

constexpr const char* NODE_EXPORTER = "/usr/bin/prometheus-node-exporter";

// The page http://127.0.0.1:PORT/metrics; "" while nothing answers there.
std::string fetch_metrics(int port) {
  unique_fd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(sock.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return "";
  send_all(sock.get(), "GET /metrics HTTP/1.0\r\n\r\n");
  return recv_until(sock.get(), std::string_view("\0end", 4), seconds_from_now(10));
}

TEST(Fleet, MetricsThroughNodeExporterAndStatusOfTheDaemon) {
  if (access(NODE_EXPORTER, X_OK) != 0) GTEST_SKIP() << NODE_EXPORTER << " is not installed";
  modem m;
  use_call_settings(m.box);
  std::string dir = m.box.path("/var/metrics");
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  m.box.set("MOD_ORVANE_METRICS", dir);
  ASSERT_TRUE(start_modem(m));
  // The modem's own port answers busy: a call ends, and a caller is turned away.
  ASSERT_TRUE(serial_exchange(m.d, kDialLoopback, std::string(kDialLoopbackEcho) + "BUSY\r\n"));
  const std::string busy = "orvaned_calls_total{direction=\"out\",result=\"BUSY\"} 1";
  steady_deadline deadline = seconds_from_now(10);
  while (read_file(dir + "/orvaned.prom").find(busy) == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }

  std::vector<std::string> env = {"ORVANED_ROOT=" + m.box.root()};
  program_result status = run_program({ORVANED_BINARY, "--status"}, env);
  EXPECT_EQ(status.status, 0) << status.err;
  EXPECT_THAT(status.out, HasSubstr("{\"version\":\"0.1.0\",\"pid\":" + std::to_string(m.d.pid())));
  EXPECT_THAT(status.out, HasSubstr("\"call\":{\"state\":\"idle\",\"online\":false,"));

  test_port port;
  std::string listen = "--web.listen-address=127.0.0.1:" + std::to_string(port.number());
  std::string textfiles = "--collector.textfile.directory=" + dir;
  const char* argv[] = {NODE_EXPORTER,          listen.c_str(),    "--collector.disable-defaults",
                        "--collector.textfile", textfiles.c_str(), nullptr};
  pid_t exporter = -1;
  ASSERT_EQ(
      posix_spawn(&exporter, NODE_EXPORTER, nullptr, nullptr, const_cast<char**>(argv), environ),
      0);
  std::string page;
  deadline = seconds_from_now(20);
  while (page.find("node_textfile_scrape_error") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    page = fetch_metrics(port.number());
  }
  kill(exporter, SIGTERM);
  waitpid(exporter, nullptr, 0);
  EXPECT_THAT(page, HasSubstr("\n" + busy + "\n"));
  EXPECT_THAT(page, HasSubstr("\norvaned_refused_callers_total{reason=\"rejected\"} 1\n"));
  EXPECT_THAT(page, HasSubstr("\norvaned_call_state{state=\"idle\"} 1\n"));
  EXPECT_THAT(page, HasSubstr("\nnode_textfile_scrape_error 0\n"));

  stop_modem(m);
  program_result none = run_program({ORVANED_BINARY, "--status"}, env);
  EXPECT_EQ(none.status, 1);
  EXPECT_THAT(none.err, HasSubstr("orvaned: no daemon is running"));
}

}  // namespace
