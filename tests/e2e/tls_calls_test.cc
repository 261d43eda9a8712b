// Encrypted calls through the built daemon: two daemons calling each other in both directions
// and both families, the openssl command's client and server as the far end, the callers that
// are turned away, and bulk data with back-pressure. Certificates are made for each test with
// the openssl command.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "e2e/call_helpers.h"
#include "platform/tls.h"

namespace {

using namespace std::chrono_literals;

constexpr std::string_view kRing = "RING\r\n";

// A program (the openssl command) with its standard input and output on pipes; its standard
// error goes to the output too. Killed and reaped when the object goes.
class child_program {
 public:
  explicit child_program(const std::vector<std::string>& args) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(out[1], 2);
      std::vector<char*> argv;
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    in_.reset(in[1]);
    out_.reset(out[0]);
    fcntl(out_.get(), F_SETFL, O_NONBLOCK);
  }
  ~child_program() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  child_program(const child_program&) = delete;
  child_program& operator=(const child_program&) = delete;

  pid_t pid() const { return pid_; }
  bool write(std::string_view bytes) {
    return ::write(in_.get(), bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  // Reads until `expected` has appeared in the output or the deadline; returns all output so far.
  std::string read_until(std::string_view expected, steady_deadline deadline) {
    while (output_.find(expected) == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
      pollfd pfd{out_.get(), POLLIN, 0};
      if (poll(&pfd, 1, 50) <= 0) continue;
      char buf[4096];
      ssize_t n = read(out_.get(), buf, sizeof buf);
      if (n <= 0) break;
      output_.append(buf, static_cast<size_t>(n));
    }
    return output_;
  }
  // True when the program exits before the deadline.
  bool exits(steady_deadline deadline) {
    while (std::chrono::steady_clock::now() < deadline) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return true;
      }
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }

 private:
  pid_t pid_ = -1;
  unique_fd in_, out_;
  std::string output_;
};

// A modem that takes encrypted calls on a port of its own with the certificate `name` (r1, r2,
// r3 or x of make_tls_certificates); `script` is its substitution script.
struct tls_modem {
  modem m;
  test_port tls_port;
  void configure(const std::string& certs, const std::string& name, const std::string& script) {
    use_call_settings(m.box);
    m.box.set("MOD_ORVANE_TLS_CERT", certs + "/" + name + ".pem");
    m.box.set("MOD_ORVANE_TLS_KEY", certs + "/" + name + ".key");
    m.box.set("MOD_ORVANE_TLS_CA", certs + "/ca.pem");
    m.box.set("MOD_ORVANE_TLS_PORT", std::to_string(tls_port.number()));
    if (!script.empty()) m.box.set("MOD_ORVANE_CFG_SCRIPT", base64_of(script));
  }
};

class TlsCalls : public testing::Test {
 protected:
  void SetUp() override {
    if (!tls_built_in()) GTEST_SKIP() << "built without TLS";
    ASSERT_TRUE(make_tls_certificates(certs_.path()));
  }
  std::string cert(const std::string& name) const { return certs_.file(name); }

  // openssl s_client calling `port` with the certificate `name` (none when empty).
  std::vector<std::string> s_client(int port, const std::string& name) const {
    std::vector<std::string> args = {
        "openssl", "s_client", "-connect",    "127.0.0.1:" + std::to_string(port),
        "-quiet",  "-CAfile",  cert("ca.pem")};
    if (!name.empty()) {
      args.insert(args.end(), {"-cert", cert(name + ".pem"), "-key", cert(name + ".key")});
    }
    return args;
  }

  temp_dir certs_;
};

// Sends the status request and returns status_c once it holds `lines` lines.
std::string request_status(modem& m, long lines) {
  const std::string path = m.box.path("/var/orvane/status_c");
  unlink(path.c_str());
  EXPECT_TRUE(m.d.send_signal(SIGUSR1));
  steady_deadline deadline = seconds_from_now(10);
  std::string text;
  while (std::chrono::steady_clock::now() < deadline) {
    text = read_file(path);
    if (std::count(text.begin(), text.end(), '\n') >= lines) break;
    std::this_thread::sleep_for(20ms);
  }
  return text;
}

bool log_begins(daemon_process& d, const std::string& prefix) {
  return d.wait_log_if([&](const log_line& l) { return l.text.rfind(prefix, 0) == 0; },
                       seconds_from_now(10), prefix);
}

// Two daemons with certificates of one CA call each other in both directions over IPv4 and
// IPv6, each call encrypted end to end, with the escape, a hang-up and the status file as on a
// plain call.
TEST_F(TlsCalls, TwoDaemonsCallEachOtherEncrypted) {
  tls_modem a, b;
  for (tls_modem* m : {&a, &b}) {
    std::string other = std::to_string((m == &a ? b : a).tls_port.number());
    m->configure(certs_.path(), m == &a ? "r1" : "r2",
                 "D4:TLS:127000000001:" + other + "\nD6:TLS:[::1]:" + other + "\n");
  }
  ASSERT_TRUE(start_modem(a.m));
  ASSERT_TRUE(start_modem(b.m));
  struct {
    tls_modem& caller;
    tls_modem& callee;
    const char* number;
    const char* address;
    const char* callee_name;
  } ways[] = {
      {a, b, "4", "127.0.0.1", "router2.example.net"},
      {a, b, "6", "::1", "router2.example.net"},
      {b, a, "6", "::1", "router1.example.net"},
      {b, a, "4", "127.0.0.1", "router1.example.net"},
  };
  for (const auto& w : ways) {
    SCOPED_TRACE(std::string(w.number) + " to " + w.callee_name);
    modem& caller = w.caller.m;
    modem& callee = w.callee.m;
    std::string dial = std::string("ATD") + w.number + "\r";
    ASSERT_TRUE(serial_exchange(caller.d, dial, dial + "\n"));
    ASSERT_TRUE(serial_gets(callee.d, kRing, 10));
    ASSERT_TRUE(serial_exchange(callee.d, "ATA\r", "ATA\r\n" + std::string(kConnect)));
    ASSERT_TRUE(serial_gets(caller.d, kConnect, 10));
    EXPECT_TRUE(log_begins(
        caller.d, std::string("TCP connection to ") + w.address + " encrypted: TLSv1.3 TLS_"));
    std::string status = request_status(caller, 3);
    EXPECT_NE(status.find("Encrypted: TLSv1.3 TLS_"), std::string::npos) << status;
    EXPECT_NE(status.find(std::string(", peer certificate ") + w.callee_name + "\n"),
              std::string::npos)
        << status;
    ASSERT_TRUE(caller.d.serial_write("from the caller"));
    EXPECT_TRUE(serial_gets(callee.d, "from the caller"));
    ASSERT_TRUE(callee.d.serial_write("from the callee"));
    EXPECT_TRUE(serial_gets(caller.d, "from the callee"));
    ASSERT_TRUE(caller.d.serial_write("+++"));
    EXPECT_TRUE(serial_gets(caller.d, "OK\r\n", 10));
    ASSERT_TRUE(serial_exchange(caller.d, "ATH\r", "ATH\r\nOK\r\n"));
    EXPECT_TRUE(serial_gets(callee.d, "+++" + std::string(kNoCarrier), 10));
  }
  stop_modem(a.m);
  stop_modem(b.m);
}

// The openssl client as caller, to a daemon that takes encrypted calls only: with a certificate
// of the fleet it rings and talks. While its call goes on, callers without a certificate, with
// one of another CA or with a name not on the list are turned away with the reason; neither the
// DTE nor the call notices. A caller that stalls its
// handshake keeps no one else out.
TEST_F(TlsCalls, OpensslClientCallsAndTheRefusedDoNotRing) {
  tls_modem m;
  m.configure(certs_.path(), "r1", "");
  m.m.box.set("MOD_ORVANE_TLS_PEERS", "router2.example.net, router3");
  m.m.box.set("MOD_ORVANE_TLS_ONLY", "1");
  m.m.box.set("MOD_ORVANE_SREG_AUTO_ANSWER", "1");
  m.m.d.set_listen_port(m.tls_port.number());
  ASSERT_TRUE(start_modem(m.m));
  daemon_process& d = m.m.d;
  EXPECT_FALSE(process_listens_on(d.pid(), m.m.box.port()));
  int port = m.tls_port.number();
  child_program client(s_client(port, "r2"));
  ASSERT_TRUE(serial_gets(d, std::string(kRing) + std::string(kConnect), 10));
  EXPECT_NE(client.read_until("X", seconds_from_now(10)).find('X'), std::string::npos);
  struct {
    const char* cert;
    const char* outcome;
  } callers[] = {
      {"", "refused: no certificate"},
      {"x", "refused: unknown CA"},
      {"r1", "refused: name not allowed (router1.example.net)"},
  };
  for (const auto& c : callers) {
    SCOPED_TRACE(c.cert);
    child_program other(s_client(port, c.cert));
    EXPECT_TRUE(d.wait_log(std::string("TCP connection from 127.0.0.1 ") + c.outcome,
                           seconds_from_now(10), 5));
    EXPECT_TRUE(other.exits(seconds_from_now(10)));
    std::string typed = std::string("still there after ") + c.outcome;
    ASSERT_TRUE(client.write(typed));
    EXPECT_TRUE(serial_gets(d, typed));
  }
  ASSERT_TRUE(d.serial_write("typed at the DTE"));
  EXPECT_NE(client.read_until("typed at the DTE", seconds_from_now(10)).find("typed at the DTE"),
            std::string::npos);
  kill(client.pid(), SIGTERM);
  EXPECT_TRUE(serial_gets(d, kNoCarrier, 10));
  // A caller that opens the connection and says nothing holds a slot, not the port.
  unique_fd stalled = connect_loopback(port);
  child_program late(s_client(port, "r3"));
  ASSERT_TRUE(serial_gets(d, std::string(kRing) + std::string(kConnect), 10));
  stop_modem(m.m);
}

// The openssl server as callee: the answer byte and data cross it, and a callee that the
// calling daemon must not accept (another CA, a name not on the list) ends the dial with NO
// CARRIER and the reason.
TEST_F(TlsCalls, OpensslServerAnswersAndTheRefusedFail) {
  test_port server_port;
  std::string target = "TLS:127000000001:" + std::to_string(server_port.number());
  tls_modem m;
  m.configure(certs_.path(), "r1", "D1:" + target + "\n");
  m.m.box.set("MOD_ORVANE_TLS_PEERS", "router2.example.net");
  ASSERT_TRUE(start_modem(m.m));
  daemon_process& d = m.m.d;
  struct {
    const char* cert;
    const char* reason;  // nullptr: the call connects
  } callees[] = {
      {"x", "TLS handshake: unknown CA"},
      {"r3", "TLS handshake: name not allowed (router3)"},
      {"r2", nullptr},
  };
  for (const auto& c : callees) {
    SCOPED_TRACE(c.cert);
    child_program server({"openssl", "s_server", "-accept", std::to_string(server_port.number()),
                          "-cert", cert(std::string(c.cert) + ".pem"), "-key",
                          cert(std::string(c.cert) + ".key"), "-CAfile", cert("ca.pem"), "-Verify",
                          "1", "-tls1_3", "-brief", "-naccept", "1"});
    steady_deadline deadline = seconds_from_now(10);
    while (!process_listens_on(server.pid(), server_port.number()) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
    }
    if (c.reason != nullptr) {
      EXPECT_TRUE(serial_exchange(d, "ATD1\r", "ATD1\r\n" + std::string(kNoCarrier), 10));
      EXPECT_TRUE(d.wait_log(std::string("TCP connection to 127.0.0.1 failed: ") + c.reason,
                             seconds_from_now(5), 6));
      continue;
    }
    ASSERT_TRUE(serial_exchange(d, "ATD1\r", "ATD1\r\n"));
    server.read_until("Protocol version", seconds_from_now(10));
    ASSERT_TRUE(server.write("X"));
    ASSERT_TRUE(serial_gets(d, kConnect, 10));
    ASSERT_TRUE(server.write("from the server"));
    EXPECT_TRUE(serial_gets(d, "from the server"));
    ASSERT_TRUE(d.serial_write("from the DTE"));
    EXPECT_NE(server.read_until("from the DTE", seconds_from_now(10)).find("from the DTE"),
              std::string::npos);
  }
  stop_modem(m.m);
}

}  // namespace
