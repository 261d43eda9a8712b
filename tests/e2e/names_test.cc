// Dials to host names through the built daemon: a name from the hosts file under the root, and
// names served by a name server that the test runs on 127.0.0.1 and that answers only when told.
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "e2e/call_helpers.h"

namespace {

using namespace std::chrono_literals;

// A name server on 127.0.0.1:`port` that keeps every query until released, then answers an A
// query with 127.0.0.1 and any other with no address.
class test_name_server {
 public:
  explicit test_name_server(int port) : sock_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(sock_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ADD_FAILURE() << "cannot bind the name server to port " << port;
      return;
    }
    thread_ = std::thread([this] { serve(); });
  }
  ~test_name_server() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  void release() { released_ = true; }
  int queries() const { return queries_; }
  int answered() const { return answered_; }

 private:
  static std::string answer(const std::string& query) {
    size_t pos = 12;
    while (pos < query.size() && query[pos] != 0) pos += 1 + static_cast<uint8_t>(query[pos]);
    pos += 5;  // the root label, the type and the class
    if (pos > query.size()) return "";
    bool a_query = query[pos - 4] == 0 && query[pos - 3] == 1;
    std::string reply = query.substr(0, pos);
    const char header[] = {'\x81', '\x80', 0, 1, 0, a_query ? '\1' : '\0', 0, 0, 0, 0};
    reply.replace(2, sizeof header, header, sizeof header);
    const char record[] = {'\xc0', 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 127, 0, 0, 1};
    if (a_query) reply.append(record, sizeof record);
    return reply;
  }

  void serve() {
    std::vector<std::pair<std::string, sockaddr_storage>> held;
    while (!stop_) {
      pollfd pfd{sock_.get(), POLLIN, 0};
      if (poll(&pfd, 1, 20) == 1) {
        char buf[512];
        sockaddr_storage from{};
        socklen_t len = sizeof from;
        ssize_t n =
            recvfrom(sock_.get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n > 12) {
          held.emplace_back(std::string(buf, static_cast<size_t>(n)), from);
          queries_++;
        }
      }
      if (!released_) continue;
      for (const auto& [query, from] : held) {
        std::string reply = answer(query);
        sendto(sock_.get(), reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&from),
               sizeof(sockaddr_in));
        answered_++;
      }
      held.clear();
    }
  }

  unique_fd sock_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> released_{false};
  std::atomic<int> queries_{0};
  std::atomic<int> answered_{0};
  std::thread thread_;
};

// Waits until `done` holds or the deadline passes; returns done().
bool wait_for(const std::function<bool()>& done, double seconds) {
  steady_deadline deadline = seconds_from_now(seconds);
  while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
  return done();
}

// The status files written on SIGUSR1; true once status_c is there again.
bool status_served(modem& m) {
  std::string call_file = m.box.path("/var/orvane/status_c");
  unlink(call_file.c_str());
  return m.d.send_signal(SIGUSR1) && wait_for([&] { return !read_file(call_file).empty(); }, 10);
}

// The answer byte, then CONNECT; the peer hangs up, NO CARRIER.
void answer_and_hang_up(modem& m, unique_fd& peer) {
  ASSERT_TRUE(send_all(peer.get(), "X"));
  EXPECT_TRUE(serial_gets(m.d, kConnect, 10));
  peer.reset();
  EXPECT_TRUE(serial_gets(m.d, kNoCarrier, 10));
}

// The hosts file under the root names the far side on both families; nothing listens on ::1, so
// the IPv6 attempt is refused and the IPv4 one carries the call. A name it does not know fails
// at once: the root has no resolver configuration, so there is no name server to ask.
TEST(Names, HostsFileUnderTheRoot) {
  modem m;
  test_port far;
  use_call_settings(m.box);
  unique_fd listener = listen_loopback(far.number());
  ASSERT_TRUE(listener.valid());
  write_file(m.box.path("/etc/hosts"), "::1 far.router\n127.0.0.1 far.router\n");
  std::string port = std::to_string(far.number());
  m.box.set("MOD_ORVANE_CFG_SCRIPT", base64_of("D7:far.router:" + port + "\nD8:nowhere.router\n"));
  ASSERT_TRUE(start_modem(m));

  ASSERT_TRUE(serial_exchange(m.d, "ATD7\r", "ATD7\r\n"));
  unique_fd peer = accept_within(listener.get(), seconds_from_now(10));
  ASSERT_TRUE(peer.valid()) << m.d.log_text();
  EXPECT_TRUE(
      m.d.wait_log("TCP connection to FAR.ROUTER (127.0.0.1) established", seconds_from_now(5), 5));
  EXPECT_TRUE(m.d.has_log("connecting to ::1 failed: Connection refused", 7)) << m.d.log_text();
  answer_and_hang_up(m, peer);

  ASSERT_TRUE(serial_exchange(m.d, "ATD8\r", "ATD8\r\nNO ANSWER\r\n"));
  EXPECT_TRUE(m.d.has_log("host name NOWHERE.ROUTER not resolved: no name servers", 4));
  stop_modem(m);
}

// While the name server keeps the query the loop answers SIGUSR1; released, its answer is
// dialled; never released, S7 ends the dial.
TEST(Names, NameServerAnsweringLateOrNever) {
  struct {
    const char* what;
    bool answers;
  } cases[] = {{"answered once the status is served", true}, {"never answered", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    modem m;
    test_port dns_port;
    test_port far;
    test_name_server dns(dns_port.number());
    use_call_settings(m.box);
    unique_fd listener = listen_loopback(far.number());
    ASSERT_TRUE(listener.valid());
    write_file(m.box.path("/etc/resolv.conf"),
               "nameserver 127.0.0.1:" + std::to_string(dns_port.number()) + "\n");
    m.box.set("MOD_ORVANE_CFG_SCRIPT",
              base64_of("D7:far.router:" + std::to_string(far.number()) + "\n"));
    m.box.set("MOD_ORVANE_SREG_CONN_TOUT", c.answers ? "30" : "2");
    ASSERT_TRUE(start_modem(m));

    ASSERT_TRUE(serial_exchange(m.d, "ATD7\r", "ATD7\r\n"));
    ASSERT_TRUE(wait_for([&] { return dns.queries() > 0; }, 10)) << m.d.log_text();
    EXPECT_TRUE(status_served(m)) << m.d.log_text();
    EXPECT_EQ(dns.answered(), 0);
    if (c.answers) {
      dns.release();
      unique_fd peer = accept_within(listener.get(), seconds_from_now(10));
      ASSERT_TRUE(peer.valid()) << m.d.log_text();
      EXPECT_TRUE(m.d.wait_log("TCP connection to FAR.ROUTER (127.0.0.1) established",
                               seconds_from_now(5), 5));
      answer_and_hang_up(m, peer);
    } else {
      EXPECT_TRUE(serial_gets(m.d, "NO ANSWER\r\n", 10));
      EXPECT_TRUE(m.d.has_log("TCP connection to FAR.ROUTER failed: timeout", 6));
    }
    stop_modem(m);
  }
}

}  // namespace
