// Dials to host names through the built daemon: a name from the hosts file under the root, and
// one served by a name server that the test plays on 127.0.0.1, answering late or never.
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <thread>

#include "e2e/call_helpers.h"

namespace {

using namespace std::chrono_literals;

// Answers the daemon's next two queries (A and AAAA) on `sock`, once they are all there: an A
// query with 127.0.0.1, any other with no address. False when they do not come within 10 s.
bool receive_queries(int sock, std::string (&query)[2], sockaddr_in (&from)[2]) {
  for (int i = 0; i < 2; ++i) {
    pollfd pfd{sock, POLLIN, 0};
    socklen_t len = sizeof from[i];
    char buf[512];
    if (poll(&pfd, 1, 10000) != 1) return false;
    ssize_t n = recvfrom(sock, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from[i]), &len);
    query[i].assign(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
  }
  return true;
}

void answer(int sock, std::string reply, const sockaddr_in& to) {
  size_t end = 12;  // the question: labels up to the root, then type and class
  while (end < reply.size() && reply[end] != 0) end += 1 + static_cast<uint8_t>(reply[end]);
  reply.resize(end + 5);
  bool a_query = reply[end + 2] == 1;
  const char header[] = {'\x81', '\x80', 0, 1, 0, a_query ? '\1' : '\0', 0, 0, 0, 0};
  const char record[] = {'\xc0', 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 127, 0, 0, 1};
  reply.replace(2, sizeof header, header, sizeof header);
  if (a_query) reply.append(record, sizeof record);
  sendto(sock, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

// FAR.ROUTER from the hosts file under the root, on both families: nothing listens on ::1, so
// the IPv6 attempt is refused and the IPv4 one carries the call; a name it lacks fails at once
// (the root has no resolver configuration). From the name server: while it holds the queries
// the loop answers SIGUSR1; its late answer is dialled; with no answer S7 ends the dial.
TEST(Names, HostsFileAndANameServerAnsweringLateOrNever) {
  enum source { HOSTS, LATE, NEVER };
  for (source from : {HOSTS, LATE, NEVER}) {
    SCOPED_TRACE(from);
    modem m;
    test_port dns_port;
    test_port far;
    unique_fd dns(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in dns_addr{};
    dns_addr.sin_family = AF_INET;
    dns_addr.sin_port = htons(static_cast<uint16_t>(dns_port.number()));
    dns_addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(dns.get(), reinterpret_cast<sockaddr*>(&dns_addr), sizeof dns_addr), 0);
    use_call_settings(m.box);
    unique_fd listener = listen_loopback(far.number());
    ASSERT_TRUE(listener.valid());
    if (from == HOSTS) {
      write_file(m.box.path("/etc/hosts"), "::1 far.router\n127.0.0.1 far.router\n");
    } else {
      write_file(m.box.path("/etc/resolv.conf"),
                 "nameserver 127.0.0.1:" + std::to_string(dns_port.number()) + "\n");
    }
    m.box.set("MOD_ORVANE_CFG_SCRIPT",
              base64_of("D7:far.router:" + std::to_string(far.number()) + "\nD8:nowhere.router\n"));
    m.box.set("MOD_ORVANE_SREG_CONN_TOUT", from == NEVER ? "2" : "30");
    ASSERT_TRUE(start_modem(m));

    ASSERT_TRUE(serial_exchange(m.d, "ATD7\r", "ATD7\r\n"));
    std::string query[2];
    sockaddr_in asker[2];
    if (from != HOSTS) {
      ASSERT_TRUE(receive_queries(dns.get(), query, asker)) << m.d.log_text();
      std::string call_file = m.box.path("/var/orvane/status_c");
      ASSERT_TRUE(m.d.send_signal(SIGUSR1));
      steady_deadline deadline = seconds_from_now(10);
      while (read_file(call_file).empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
      }
      EXPECT_FALSE(read_file(call_file).empty()) << m.d.log_text();
    }
    if (from == NEVER) {
      EXPECT_TRUE(serial_gets(m.d, "NO ANSWER\r\n", 10));
      EXPECT_TRUE(
          m.d.wait_log("host name FAR.ROUTER not resolved: timeout", seconds_from_now(5), 4));
      stop_modem(m);
      continue;
    }
    if (from == LATE) {
      for (int i = 0; i < 2; ++i) answer(dns.get(), query[i], asker[i]);
    }
    unique_fd peer = accept_within(listener.get(), seconds_from_now(10));
    ASSERT_TRUE(peer.valid()) << m.d.log_text();
    EXPECT_TRUE(m.d.wait_log("TCP connection to FAR.ROUTER (127.0.0.1) established",
                             seconds_from_now(5), 5));
    ASSERT_TRUE(send_all(peer.get(), "X"));
    EXPECT_TRUE(serial_gets(m.d, kConnect, 10));
    peer.reset();
    EXPECT_TRUE(serial_gets(m.d, kNoCarrier, 10));
    if (from == HOSTS) {
      EXPECT_TRUE(m.d.has_log("connecting to ::1 failed: Connection refused", 7));
      ASSERT_TRUE(serial_exchange(m.d, "ATD8\r", "ATD8\r\nNO ANSWER\r\n"));
      EXPECT_TRUE(m.d.wait_log("host name NOWHERE.ROUTER not resolved: no name servers",
                               seconds_from_now(5), 4));
    }
    stop_modem(m);
  }
}

}  // namespace
