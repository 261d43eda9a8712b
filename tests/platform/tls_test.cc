// TLS sessions between two ends of a socket pair, with certificates the openssl command makes:
// the handshake's outcome and reasons, the peer's name, the loading of the files, and decrypted
// bytes that are served without the socket.
#include "platform/tls.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>

#include "platform/unique_fd.h"
#include "test_support.h"

namespace {

class TlsTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!tls_built_in()) GTEST_SKIP() << "built without TLS";
    ASSERT_TRUE(make_tls_certificates(dir_.path()));
  }

  tls_context load(const std::string& name, const std::string& ca = "ca") {
    tls_context ctx;
    std::string problem;
    EXPECT_EQ(tls_context_load(ctx, file(name + ".pem").c_str(), file(name + ".key").c_str(),
                               file(ca + ".pem").c_str(), problem),
              TLS_FILE_NONE)
        << problem;
    return ctx;
  }
  std::string file(const std::string& name) const { return dir_.file(name); }

  // A connected pair of non-blocking sockets.
  void make_pair() {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    a_.reset(fds[0]);
    b_.reset(fds[1]);
  }

  // Steps both ends in turn until neither waits any more.
  void handshake(tls_session& server, tls_session& client, tls_step& server_step,
                 tls_step& client_step, std::string& server_reason, std::string& client_reason) {
    server_step = client_step = TLS_STEP_WANT;
    for (int i = 0; i < 20 && (server_step == TLS_STEP_WANT || client_step == TLS_STEP_WANT); ++i) {
      if (client_step == TLS_STEP_WANT) client_step = tls_handshake(client, client_reason);
      if (server_step == TLS_STEP_WANT) server_step = tls_handshake(server, server_reason);
    }
  }

  temp_dir dir_;
  unique_fd a_, b_;
};

TEST_F(TlsTest, HandshakeOutcomesAndPeerNames) {
  struct {
    const char* server;
    const char* client;
    const char* host;  // the name the client asks of the server
    tls_step server_step, client_step;
    const char* server_says;  // the reason, or the peer name when done
    const char* client_says;
  } cases[] = {
      {"r1", "r2", nullptr, TLS_STEP_DONE, TLS_STEP_DONE, "router2.example.net",
       "router1.example.net"},
      {"r1", "r3", "router1.example.net", TLS_STEP_DONE, TLS_STEP_DONE, "router3",
       "router1.example.net"},
      // The client's part ends before the server has judged its certificate: it learns of the
      // refusal at its first read.
      {"r1", "x", nullptr, TLS_STEP_FAILED, TLS_STEP_DONE, "unknown CA", "router1.example.net"},
      {"x", "r1", nullptr, TLS_STEP_FAILED, TLS_STEP_FAILED, nullptr, "unknown CA"},
      {"r1", "r2", "router2.example.net", TLS_STEP_FAILED, TLS_STEP_FAILED, nullptr,
       "name does not match"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.server) + " <- " + c.client);
    make_pair();
    tls_context server_ctx = load(c.server), client_ctx = load(c.client);
    tls_session server, client;
    ASSERT_TRUE(tls_session_start(server, server_ctx, a_.get(), true, nullptr));
    ASSERT_TRUE(tls_session_start(client, client_ctx, b_.get(), false, c.host));
    tls_step server_step, client_step;
    std::string server_reason, client_reason;
    handshake(server, client, server_step, client_step, server_reason, client_reason);
    EXPECT_EQ(server_step, c.server_step) << server_reason;
    EXPECT_EQ(client_step, c.client_step) << client_reason;
    if (c.server_says != nullptr) {
      EXPECT_EQ(server_step == TLS_STEP_DONE ? tls_peer_name(server) : server_reason,
                c.server_says);
    }
    if (c.client_says != nullptr) {
      EXPECT_EQ(client_step == TLS_STEP_DONE ? tls_peer_name(client) : client_reason,
                c.client_says);
    }
    if (server_step == TLS_STEP_FAILED && client_step == TLS_STEP_DONE) {
      char byte;
      EXPECT_EQ(tls_read(client, &byte, 1), -1);
      EXPECT_EQ(errno, EPROTO);
      EXPECT_EQ(tls_read(client, &byte, 1), 0);
    }
    if (server_step == TLS_STEP_DONE) {
      EXPECT_EQ(tls_parameters(server).rfind("TLSv1.3 TLS_", 0), 0u) << tls_parameters(server);
    }
  }
}

// A record read in small pieces: the rest is served while the socket has nothing new, and the
// peer's close arrives as the end of the stream after the last byte.
TEST_F(TlsTest, HeldBytesAreServedWithoutTheSocket) {
  make_pair();
  tls_context server_ctx = load("r1"), client_ctx = load("r2");
  tls_session server, client;
  ASSERT_TRUE(tls_session_start(server, server_ctx, a_.get(), true, nullptr));
  ASSERT_TRUE(tls_session_start(client, client_ctx, b_.get(), false, nullptr));
  tls_step server_step, client_step;
  std::string reason;
  handshake(server, client, server_step, client_step, reason, reason);
  ASSERT_EQ(client_step, TLS_STEP_DONE);
  std::string sent(5000, 'q');
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>('a' + i % 26);
  ASSERT_EQ(tls_write(client, sent.data(), sent.size()), 5000);
  tls_end(client);
  std::string got;
  char buf[100];
  for (int i = 0; i < 200; ++i) {
    ssize_t n = tls_read(server, buf, sizeof buf);
    if (n <= 0) {
      EXPECT_EQ(n, 0);
      break;
    }
    got.append(buf, static_cast<size_t>(n));
    if (got.size() == 100) {
      // Nothing new on the socket (all of it read ahead), yet more to read.
      EXPECT_NE(tls_wants(server) & TLS_HAS_INPUT, 0);
    }
  }
  EXPECT_EQ(got, sent);
}

TEST_F(TlsTest, FilesThatCannotBeUsedNameTheirKey) {
  write_file(file("junk.pem"), "not a certificate\n");
  struct {
    const char* cert;
    const char* key;
    const char* ca;
    tls_file bad;
    const char* problem_begins;
  } cases[] = {
      {"missing.pem", "r1.key", "ca.pem", TLS_FILE_CERT, "cannot be read: No such file"},
      {"junk.pem", "r1.key", "ca.pem", TLS_FILE_CERT, "holds no PEM certificate"},
      {"r1.pem", "r2.key", "ca.pem", TLS_FILE_KEY, "does not match the certificate"},
      {"r1.pem", "r1.pem", "ca.pem", TLS_FILE_KEY, "holds no PEM private key"},
      {"r1.pem", "r1.key", "junk.pem", TLS_FILE_CA, "holds no PEM certificate"},
      {"r1.pem", "r1.key", "ca.pem", TLS_FILE_NONE, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.cert) + " " + c.key + " " + c.ca);
    tls_context ctx;
    std::string problem;
    EXPECT_EQ(tls_context_load(ctx, file(c.cert).c_str(), file(c.key).c_str(), file(c.ca).c_str(),
                               problem),
              c.bad);
    EXPECT_EQ(problem.rfind(c.problem_begins, 0), 0u) << problem;
    EXPECT_EQ(tls_context_loaded(ctx), c.bad == TLS_FILE_NONE);
  }
}

TEST(TlsPeers, ListOfNames) {
  struct {
    const char* names;
    const char* list;
    bool allowed;
  } cases[] = {
      {"router1.example.net", "", true},
      {"router1.example.net", " , ", true},
      {"router1.example.net", "router2.example.net,ROUTER1.example.NET", true},
      {"a.example b.example", "x.example b.example", true},
      {"router1.example.net", "router1.example", false},
      {"", "router1.example.net", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tls_peer_names_allowed(c.names, c.list), c.allowed) << c.names << " / " << c.list;
  }
}

}  // namespace
