// The TLS layer against the library itself as the far end, on a socketpair.
#include "platform/tls.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "platform/unique_fd.h"
#include "test_support.h"

#if ORVANED_HAVE_TLS
#include <openssl/ssl.h>

#include "platform/tls_library.h"

namespace {

TEST(TlsLibrary, OneThatCannotBeOpenedIsNamed) {
  tls_library lib;
  std::string problem;
  EXPECT_FALSE(tls_library_open(lib, "libssl-none.so.3", problem));
  EXPECT_EQ(problem.rfind("libssl-none.so.3: cannot open shared object file", 0), 0u) << problem;
}

// A peer that requests key update after key update and reads none of the answers: once the
// session holds TLS_OUTPUT_MAX bytes it reads nothing more (the requests wait in the socket),
// and it reads again when the peer has taken the answers.
TEST(TlsSession, PeerThatDoesNotReadItsKeyUpdatesIsHeldToTheBound) {
  temp_dir certs;
  ASSERT_TRUE(make_tls_certificates(certs.path()));
  auto file = [&certs](const char* name) { return certs.file(name); };
  tls_context ctx;
  std::string problem;
  ASSERT_EQ(tls_context_load(ctx, file("r1.pem").c_str(), file("r1.key").c_str(),
                             file("ca.pem").c_str(), problem),
            TLS_FILE_NONE);
  int fds[2], small = 4096;  // the kernel then holds a few records each way
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
  unique_fd mine(fds[0]), theirs(fds[1]);
  for (int fd : fds) setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  tls_session session;
  ASSERT_TRUE(tls_session_start(session, ctx, mine.get(), true, nullptr));
  SSL_CTX* peer_ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_use_certificate_file(peer_ctx, file("r2.pem").c_str(), SSL_FILETYPE_PEM);
  SSL_CTX_use_PrivateKey_file(peer_ctx, file("r2.key").c_str(), SSL_FILETYPE_PEM);
  SSL* peer = SSL_new(peer_ctx);
  SSL_set_fd(peer, theirs.get());
  SSL_set_connect_state(peer);
  for (int i = 0; i < 50 && !tls_handshake_done(session); ++i) {
    SSL_do_handshake(peer);
    ASSERT_NE(tls_handshake(session, problem), TLS_STEP_FAILED) << problem;
  }
  bool pending = false;  // a request waits in the peer for room in the socket
  char buf[512];
  for (int round = 0, sent = -1; round < 2000 && sent != 0; ++round) {
    for (sent = 0; sent < 500; ++sent) {
      if (!pending && SSL_key_update(peer, SSL_KEY_UPDATE_REQUESTED) != 1) break;
      if ((pending = SSL_do_handshake(peer) != 1)) break;
    }
    while (tls_read(session, buf, sizeof buf) > 0) {
    }
  }
  EXPECT_EQ(tls_wants(session), TLS_WANTS_WRITE | TLS_OUTPUT_FULL);
  ssize_t answered = 0, n;
  for (bool more = true; more;) {
    more = tls_flush(session) != 0;
    while ((n = recv(theirs.get(), buf, sizeof buf, 0)) > 0) answered += n;
  }
  EXPECT_LE(answered, static_cast<ssize_t>(TLS_OUTPUT_MAX + 32768));
  EXPECT_EQ(tls_wants(session) & (TLS_WANTS_READ | TLS_OUTPUT_FULL), TLS_WANTS_READ);
  SSL_free(peer);
  SSL_CTX_free(peer_ctx);
}

}  // namespace

#endif  // ORVANED_HAVE_TLS
