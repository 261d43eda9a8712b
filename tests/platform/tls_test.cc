// TLS contexts from files made by the openssl command. Sessions are tested through the daemon
// (tests/e2e/tls_calls_test.cc, tests/core/handshakes_test.cc).
#include "platform/tls.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace {

TEST(Tls, FilesThatCannotBeUsedAreNamed) {
  if (!tls_built_in()) GTEST_SKIP() << "built without TLS";
  temp_dir dir;
  ASSERT_TRUE(make_tls_certificates(dir.path()));
  write_file(dir.file("junk.pem"), "not a certificate\n");
  struct {
    const char *cert, *key, *ca;
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
    tls_context ctx;
    std::string problem;
    EXPECT_EQ(tls_context_load(ctx, dir.file(c.cert).c_str(), dir.file(c.key).c_str(),
                               dir.file(c.ca).c_str(), problem),
              c.bad)
        << c.cert << c.key << c.ca;
    EXPECT_EQ(problem.rfind(c.problem_begins, 0), 0u) << problem;
    EXPECT_EQ(tls_context_loaded(ctx), c.bad == TLS_FILE_NONE);
  }
}

}  // namespace
