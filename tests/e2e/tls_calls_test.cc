// Encrypted calls through the built daemon: two daemons calling each other both ways in both
// families, the openssl command's client and server as the far end, and the callers turned away.
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "e2e/call_helpers.h"
#include "platform/tls.h"

namespace {

using namespace std::chrono_literals;

// The openssl command with its input, output and errors on a socket; killed when it goes.
struct openssl_program {
  pid_t pid = -1;
  unique_fd io;
  std::string seen;
  explicit openssl_program(std::vector<std::string> args) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return;
    io.reset(fds[0]);
    args.insert(args.begin(), "openssl");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid = fork();
    if (pid == 0) {
      for (int fd : {0, 1, 2}) dup2(fds[1], fd);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    close(fds[1]);
  }
  ~openssl_program() {
    if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
  }
  // True once `text` has appeared in the output.
  bool shows(std::string_view text) {
    if (seen.find(text) == std::string::npos)
      seen += recv_until(io.get(), text, seconds_from_now(10));
    return seen.find(text) != std::string::npos;
  }
};

class TlsCalls : public testing::Test {
 protected:
  void SetUp() override {
    if (!tls_built_in()) GTEST_SKIP() << "built without TLS";
    ASSERT_TRUE(make_tls_certificates(certs_.path()));
  }
  // Takes encrypted calls on `tls_port` with the certificate `name` of make_tls_certificates.
  void configure(modem& m, const std::string& name, const test_port& tls_port,
                 const std::string& script) {
    use_call_settings(m.box);
    m.box.set("MOD_ORVANE_TLS_CERT", cert(name + ".pem"));
    m.box.set("MOD_ORVANE_TLS_KEY", cert(name + ".key"));
    m.box.set("MOD_ORVANE_TLS_CA", cert("ca.pem"));
    m.box.set("MOD_ORVANE_TLS_PORT", std::to_string(tls_port.number()));
    m.box.set("MOD_ORVANE_CFG_SCRIPT", base64_of(script));
  }
  // The openssl command `args` with the CA and the certificate `name` (none when empty).
  openssl_program* openssl(std::vector<std::string> args, const std::string& name) const {
    args.insert(args.end(), {"-CAfile", cert("ca.pem")});
    if (!name.empty())
      args.insert(args.end(), {"-cert", cert(name + ".pem"), "-key", cert(name + ".key")});
    return new openssl_program(args);
  }
  openssl_program* s_client(int port, const std::string& name) const {
    return openssl({"s_client", "-quiet", "-connect", "127.0.0.1:" + std::to_string(port)}, name);
  }
  std::string cert(const std::string& name) const { return certs_.file(name); }
  temp_dir certs_;
};

TEST_F(TlsCalls, TwoDaemonsCallEachOtherEncrypted) {
  modem a, b;
  test_port a_port, b_port;
  std::string to_a = std::to_string(a_port.number()), to_b = std::to_string(b_port.number());
  configure(a, "r1", a_port, "D4:TLS:127000000001:" + to_b + "\nD6:TLS:[::1]:" + to_b + "\n");
  configure(b, "r2", b_port, "D4:TLS:127000000001:" + to_a + "\nD6:TLS:[::1]:" + to_a + "\n");
  ASSERT_TRUE(start_modem(a));
  ASSERT_TRUE(start_modem(b));
  struct {
    modem &caller, &callee;
    std::string number, address, callee_name;
  } ways[] = {{a, b, "4", "127.0.0.1", "router2.example.net"},
              {a, b, "6", "::1", "router2.example.net"},
              {b, a, "6", "::1", "router1.example.net"},
              {b, a, "4", "127.0.0.1", "router1.example.net"}};
  for (const auto& w : ways) {
    SCOPED_TRACE(w.number + " to " + w.callee_name);
    ASSERT_TRUE(serial_exchange(w.caller.d, "ATD" + w.number + "\r", "ATD" + w.number + "\r\n"));
    ASSERT_TRUE(serial_gets(w.callee.d, "RING\r\n", 10));
    ASSERT_TRUE(serial_exchange(w.callee.d, "ATA\r", "ATA\r\n" + std::string(kConnect)));
    ASSERT_TRUE(serial_gets(w.caller.d, kConnect, 10));
    EXPECT_TRUE(w.caller.d.wait_log("TCP connection to " + w.address +
                                        " encrypted: TLSv1.3 TLS_AES_256_GCM_SHA384, peer "
                                        "certificate " +
                                        w.callee_name,
                                    seconds_from_now(5), 5));
    ASSERT_TRUE(w.callee.d.serial_write("from the callee"));
    EXPECT_TRUE(serial_gets(w.caller.d, "from the callee"));
    ASSERT_TRUE(w.caller.d.serial_write("+++"));
    EXPECT_TRUE(serial_gets(w.caller.d, "OK\r\n", 10));
    ASSERT_TRUE(serial_exchange(w.caller.d, "ATH\r", "ATH\r\nOK\r\n"));
    EXPECT_TRUE(serial_gets(w.callee.d, "+++" + std::string(kNoCarrier), 10));
  }
  stop_modem(a);
  stop_modem(b);
}

// Ports mixed up: an encrypted dial to the plain port is refused there without RING and ends at
// once with NO CARRIER, as does one to a callee that answers in plain bytes. An encrypted call is
// then replaced only by a caller that could have made it: not by a plain caller nor by another
// router's certificate from the same address, only by the same router.
TEST_F(TlsCalls, MixedUpPortsEndAtOnceAndOnlyTheSameRouterReplacesACall) {
  modem a, b;
  test_port a_port, b_port;
  unique_fd service = listen_loopback(0);
  configure(a, "r1", a_port,
            "D4:TLS:127000000001:" + std::to_string(b_port.number()) +
                "\nD5:TLS:127000000001:" + std::to_string(b.box.port()) +
                "\nD6:TLS:127000000001:" + std::to_string(local_port(service.get())) + "\n");
  configure(b, "r2", b_port, "");
  ASSERT_TRUE(start_modem(a));
  ASSERT_TRUE(start_modem(b));
  auto logged = [](modem& m, const std::string& line) {
    return m.d.wait_log("TCP connection " + line, seconds_from_now(10));
  };
  EXPECT_TRUE(serial_exchange(a.d, "ATD5\r", "ATD5\r\n" + std::string(kNoCarrier)));
  EXPECT_TRUE(logged(b, "from 127.0.0.1 refused: an encrypted caller on the plain port"));
  ASSERT_TRUE(a.d.serial_write("ATD6\r"));
  unique_fd answer = accept_within(service.get(), seconds_from_now(5));
  ASSERT_TRUE(send_all(answer.get(), "X"));
  EXPECT_TRUE(serial_gets(a.d, "ATD6\r\n" + std::string(kNoCarrier)));
  EXPECT_TRUE(logged(a, "to 127.0.0.1 failed: the callee does not speak TLS"));
  EXPECT_EQ(b.d.serial_read_for(std::chrono::milliseconds(100)), "");
  ASSERT_TRUE(serial_exchange(a.d, "ATD4\r", "ATD4\r\n"));
  ASSERT_TRUE(serial_gets(b.d, "RING\r\n", 10));
  ASSERT_TRUE(serial_exchange(b.d, "ATA\r", "ATA\r\n" + std::string(kConnect)));
  ASSERT_TRUE(serial_gets(a.d, kConnect, 10));
  unique_fd plain = connect_loopback(b.box.port());
  EXPECT_TRUE(logged(b, "from 127.0.0.1 refused: a plain caller cannot replace an encrypted call"));
  std::unique_ptr<openssl_program> other(s_client(b_port.number(), "r3"));
  EXPECT_TRUE(logged(b,
                     "from 127.0.0.1 refused: certificate router3 cannot replace the call "
                     "with router1.example.net"));
  ASSERT_TRUE(a.d.serial_write("still the call"));
  EXPECT_TRUE(serial_gets(b.d, "still the call"));
  std::unique_ptr<openssl_program> same(s_client(b_port.number(), "r1"));
  EXPECT_TRUE(serial_gets(b.d, std::string(kNoCarrier) + "RING\r\n", 10));
  stop_modem(a);
  stop_modem(b);
}

// An encrypted-only daemon (no plain port) answers the openssl client; while that call goes on,
// the refused callers neither ring nor disturb it; a caller that stalls its handshake keeps no
// one else out.
TEST_F(TlsCalls, OpensslClientCallsAndTheRefusedDoNotRing) {
  modem m;
  test_port port;
  configure(m, "r1", port, "");
  m.box.set("MOD_ORVANE_TLS_PEERS", "router2.example.net, router3");
  m.box.set("MOD_ORVANE_TLS_ONLY", "1");
  m.box.set("MOD_ORVANE_SREG_AUTO_ANSWER", "1");
  m.d.set_listen_port(port.number());
  ASSERT_TRUE(start_modem(m));
  EXPECT_FALSE(process_listens_on(m.d.pid(), m.box.port()));
  std::unique_ptr<openssl_program> client(s_client(port.number(), "r2"));
  ASSERT_TRUE(serial_gets(m.d, "RING\r\n" + std::string(kConnect), 10));
  EXPECT_TRUE(client->shows("X"));
  for (std::string refused : {":no certificate", "x:unknown CA", "rca:peer certificate is a CA",
                              "r1:name not allowed (router1.example.net)"}) {
    std::string name = refused.substr(0, refused.find(':'));
    std::unique_ptr<openssl_program> other(s_client(port.number(), name));
    EXPECT_TRUE(
        m.d.wait_log("TCP connection from 127.0.0.1 refused: " + refused.substr(name.size() + 1),
                     seconds_from_now(10), 5));
    ASSERT_TRUE(send_all(client->io.get(), "still there " + name));
    EXPECT_TRUE(serial_gets(m.d, "still there " + name));
  }
  ASSERT_TRUE(m.d.serial_write("typed at the DTE"));
  EXPECT_TRUE(client->shows("typed at the DTE"));
  client.reset();
  EXPECT_TRUE(serial_gets(m.d, kNoCarrier, 10));
  unique_fd stalled = connect_loopback(port.number());
  std::unique_ptr<openssl_program> late(s_client(port.number(), "r3"));
  EXPECT_TRUE(serial_gets(m.d, "RING\r\n" + std::string(kConnect), 10));
  stop_modem(m);
}

// The openssl server as callee answers and talks (its name listed with a trailing dot); callees
// that the daemon must not accept end the dial with NO CARRIER and the reason.
TEST_F(TlsCalls, OpensslServerAnswersAndTheRefusedFail) {
  modem m;
  test_port port, server_port;
  configure(m, "r1", port, "D1:TLS:127000000001:" + std::to_string(server_port.number()) + "\n");
  m.box.set("MOD_ORVANE_TLS_PEERS", "router2.example.net. router4.example.net");
  ASSERT_TRUE(start_modem(m));
  for (std::string callee :
       {"x:unknown CA", "r3:name not allowed (router3)", "rca:peer certificate is a CA", "r2:"}) {
    std::string name = callee.substr(0, callee.find(':')), reason = callee.substr(name.size() + 1);
    std::unique_ptr<openssl_program> server(openssl(
        {"s_server", "-brief", "-Verify", "1", "-accept", std::to_string(server_port.number())},
        name));
    for (int i = 0; i < 500 && !process_listens_on(server->pid, server_port.number()); ++i) {
      std::this_thread::sleep_for(20ms);
    }
    if (!reason.empty()) {
      EXPECT_TRUE(serial_exchange(m.d, "ATD1\r", "ATD1\r\n" + std::string(kNoCarrier), 10));
      EXPECT_TRUE(m.d.wait_log("TCP connection to 127.0.0.1 failed: TLS handshake: " + reason,
                               seconds_from_now(5), 6));
      continue;
    }
    ASSERT_TRUE(serial_exchange(m.d, "ATD1\r", "ATD1\r\n"));
    ASSERT_TRUE(server->shows("Protocol version: TLSv1.3"));
    ASSERT_TRUE(send_all(server->io.get(), "Xfrom the server"));
    EXPECT_TRUE(serial_gets(m.d, std::string(kConnect) + "from the server", 10));
    ASSERT_TRUE(m.d.serial_write("from the DTE"));
    EXPECT_TRUE(server->shows("from the DTE"));
  }
  stop_modem(m);
}

// A modem without TLS files maps no TLS library; the ATZ that sets them opens it. (Under
// qemu-user the emulator maps the target's libraries into its own process.)
TEST_F(TlsCalls, LibraryIsMappedOnlyOnceFilesAreSet) {
  modem m;
  use_call_settings(m.box);
  ASSERT_TRUE(start_modem(m));
  auto maps = [&m] { return read_file("/proc/" + std::to_string(m.d.pid()) + "/maps"); };
  EXPECT_EQ(maps().find("libssl"), std::string::npos);
  EXPECT_EQ(maps().find("libcrypto"), std::string::npos);
  configure(m, "r1", test_port(), "");
  ASSERT_TRUE(serial_exchange(m.d, "ATZ\r", "ATZ\r\nOK\r\n"));
  EXPECT_NE(maps().find("libssl.so.3"), std::string::npos);
  stop_modem(m);
}

}  // namespace
