#include "platform/tls.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/log.h"
#include "platform/system_calls.h"

#if ORVANED_HAVE_TLS
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#endif

#if ORVANED_HAVE_TLS

// The socket's descriptor, and the library's output that the socket has not taken yet: a write
// never waits, so neither does a handshake or a read that has something to answer.
struct tls_session_data {
  SSL* ssl = nullptr;
  int fd = -1;
  std::string out;
  size_t out_sent = 0;
  int recv_errno = 0;       // of the last failed recv
  int send_errno = 0;       // of a failed send: the connection cannot take output any more
  bool peer_eof = false;    // the socket has shown the end of the stream
  bool broken = false;      // a protocol failure: reads see the end of the stream
  bool handshaken = false;  // the handshake has completed
  // Input may sit undecrypted in the library: set by a read that returned bytes, cleared by
  // one that needed more from the socket.
  bool input_maybe = false;
  ~tls_session_data() { SSL_free(ssl); }
};

struct tls_context_data {
  SSL_CTX* ctx = nullptr;
  ~tls_context_data() { SSL_CTX_free(ctx); }
};

namespace {

// One TLS record's worth of plaintext per write.
constexpr size_t TLS_RECORD_MAX = 16384;

int bio_create(BIO* b) {
  BIO_set_init(b, 1);
  return 1;
}

int bio_read(BIO* b, char* buf, int len) {
  auto* d = static_cast<tls_session_data*>(BIO_get_data(b));
  BIO_clear_retry_flags(b);
  ssize_t n = sys().recv(d->fd, buf, static_cast<size_t>(len));
  if (n < 0) {
    d->recv_errno = errno;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) BIO_set_retry_read(b);
    return -1;
  }
  if (n == 0) d->peer_eof = true;
  return static_cast<int>(n);
}

// Sends what it can at once and keeps the rest for tls_flush.
int bio_write(BIO* b, const char* buf, int len) {
  auto* d = static_cast<tls_session_data*>(BIO_get_data(b));
  BIO_clear_retry_flags(b);
  size_t size = static_cast<size_t>(len);
  if (d->out_sent == d->out.size() && d->send_errno == 0) {
    d->out.clear();
    d->out_sent = 0;
    ssize_t n = sys().send(d->fd, buf, size);
    if (n < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) d->send_errno = errno;
      n = 0;
    }
    buf += n;
    size -= static_cast<size_t>(n);
  }
  if (d->send_errno == 0) d->out.append(buf, size);
  return len;
}

long bio_ctrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

BIO_METHOD* socket_method() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "orvaned socket");
    if (m == nullptr) return m;
    BIO_meth_set_create(m, bio_create);
    BIO_meth_set_read(m, bio_read);
    BIO_meth_set_write(m, bio_write);
    BIO_meth_set_ctrl(m, bio_ctrl);
    return m;
  }();
  return method;
}

// An encrypted key would make the library ask on the terminal: a key needs none.
int no_passphrase(char*, int, int, void*) { return 0; }

bool readable_file(const char* path, std::string& problem) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    problem = std::string("cannot be read: ") + strerror(errno);
    return false;
  }
  close(fd);
  return true;
}

// The library's reason for the last failure on this thread, or `fallback`.
std::string library_reason(const char* fallback) {
  unsigned long e = ERR_peek_last_error();
  const char* text = e != 0 ? ERR_reason_error_string(e) : nullptr;
  return text != nullptr ? text : fallback;
}

bool issuer_unknown(long v) {
  switch (v) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
      return true;
    default:
      return false;
  }
}

std::string failure_reason(const tls_session_data& d, int error) {
  long v = SSL_get_verify_result(d.ssl);
  if (v != X509_V_OK) {
    if (issuer_unknown(v)) return "unknown CA";
    if (v == X509_V_ERR_HOSTNAME_MISMATCH) return "name does not match";
    return X509_verify_cert_error_string(v);
  }
  unsigned long e = ERR_peek_last_error();
  if (ERR_GET_LIB(e) == ERR_LIB_SSL &&
      ERR_GET_REASON(e) == SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE) {
    return "no certificate";
  }
  if (error == SSL_ERROR_ZERO_RETURN || (e == 0 && d.peer_eof)) return "peer hung up";
  if (error == SSL_ERROR_SYSCALL && e == 0) {
    return d.recv_errno != 0 ? strerror(d.recv_errno) : "peer hung up";
  }
  return library_reason("handshake failed");
}

bool would_block(int error) {
  return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE;
}

// Replaces what a certificate could carry into a log line (control characters, quotes) by '?'.
std::string printable(const unsigned char* text, int len) {
  std::string out;
  for (int i = 0; i < len; ++i) {
    unsigned char c = text[i];
    out += c > ' ' && c < 127 && c != '"' ? static_cast<char>(c) : '?';
  }
  return out;
}

}  // namespace

tls_session::tls_session() = default;
tls_session::~tls_session() = default;
tls_session::tls_session(tls_session&&) noexcept = default;
tls_session& tls_session::operator=(tls_session&&) noexcept = default;

bool tls_built_in() { return true; }

tls_file tls_context_load(tls_context& out, const char* cert, const char* key, const char* ca,
                          std::string& problem) {
  auto data = std::make_shared<tls_context_data>();
  data->ctx = SSL_CTX_new(TLS_method());
  if (data->ctx == nullptr) {
    problem = library_reason("the library cannot make a context");
    return TLS_FILE_CERT;
  }
  SSL_CTX* ctx = data->ctx;
  SSL_CTX_set_default_passwd_cb(ctx, no_passphrase);
  ERR_clear_error();
  if (!readable_file(cert, problem)) return TLS_FILE_CERT;
  if (SSL_CTX_use_certificate_chain_file(ctx, cert) != 1) {
    problem = "holds no PEM certificate (" + library_reason("unreadable") + ")";
    return TLS_FILE_CERT;
  }
  if (!readable_file(key, problem)) return TLS_FILE_KEY;
  if (SSL_CTX_use_PrivateKey_file(ctx, key, SSL_FILETYPE_PEM) != 1) {
    unsigned long e = ERR_peek_last_error();
    bool mismatch =
        ERR_GET_LIB(e) == ERR_LIB_X509 && ERR_GET_REASON(e) == X509_R_KEY_VALUES_MISMATCH;
    problem = mismatch ? "does not match the certificate"
                       : "holds no PEM private key without a passphrase";
    return TLS_FILE_KEY;
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    problem = "does not match the certificate";
    return TLS_FILE_KEY;
  }
  if (!readable_file(ca, problem)) return TLS_FILE_CA;
  if (SSL_CTX_load_verify_file(ctx, ca) != 1) {
    problem = "holds no PEM certificate (" + library_reason("unreadable") + ")";
    return TLS_FILE_CA;
  }
  ERR_clear_error();
  SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
  SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  // A peer whose connection ends without a close_notify has hung up, as on a plain call.
  SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_TICKET);
  SSL_CTX_set_num_tickets(ctx, 0);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_read_ahead(ctx, 1);
  out.data = std::move(data);
  return TLS_FILE_NONE;
}

bool tls_context_loaded(const tls_context& ctx) { return ctx.data != nullptr; }

bool tls_session_start(tls_session& s, const tls_context& ctx, int fd, bool server,
                       const char* host) {
  s.data.reset();
  BIO_METHOD* method = socket_method();
  if (!tls_context_loaded(ctx) || method == nullptr) return false;
  auto d = std::make_unique<tls_session_data>();
  d->fd = fd;
  d->ssl = SSL_new(ctx.data->ctx);
  BIO* bio = d->ssl != nullptr ? BIO_new(method) : nullptr;
  if (bio == nullptr) {
    log_msg(3, "TLS session error: %s", library_reason("out of memory").c_str());
    ERR_clear_error();
    return false;
  }
  BIO_set_data(bio, d.get());
  SSL_set_bio(d->ssl, bio, bio);
  if (server) {
    SSL_set_accept_state(d->ssl);
  } else {
    SSL_set_connect_state(d->ssl);
    if (host != nullptr && host[0] != '\0') {
      SSL_set_tlsext_host_name(d->ssl, host);
      SSL_set1_host(d->ssl, host);
    }
  }
  s.data = std::move(d);
  return true;
}

bool tls_session_active(const tls_session& s) { return s.data != nullptr; }

tls_step tls_handshake(tls_session& s, std::string& reason) {
  tls_session_data& d = *s.data;
  ERR_clear_error();
  d.recv_errno = 0;
  int r = SSL_do_handshake(d.ssl);
  int error = r == 1 ? SSL_ERROR_NONE : SSL_get_error(d.ssl, r);
  if (r != 1 && !would_block(error)) {
    reason = failure_reason(d, error);
    ERR_clear_error();
    return TLS_STEP_FAILED;
  }
  if (tls_flush(s) != 0 && d.send_errno != 0) {
    reason = std::string("send error: ") + strerror(d.send_errno);
    return TLS_STEP_FAILED;
  }
  if (r != 1) return TLS_STEP_WANT;
  d.handshaken = true;
  d.input_maybe = true;  // the peer's first bytes may have come with its last flight
  return TLS_STEP_DONE;
}

bool tls_handshake_done(const tls_session& s) { return s.data != nullptr && s.data->handshaken; }

int tls_wants(const tls_session& s) {
  if (s.data == nullptr) return 0;
  const tls_session_data& d = *s.data;
  int wants = TLS_WANTS_READ;
  if (d.out_sent < d.out.size() && d.send_errno == 0) wants |= TLS_WANTS_WRITE;
  if (d.handshaken &&
      (d.broken || SSL_pending(d.ssl) > 0 || (d.input_maybe && SSL_has_pending(d.ssl) == 1))) {
    wants |= TLS_HAS_INPUT;
  }
  return wants;
}

ssize_t tls_read(tls_session& s, void* buf, size_t len) {
  tls_session_data& d = *s.data;
  if (d.broken) return 0;
  ERR_clear_error();
  d.recv_errno = 0;
  size_t got = 0;
  int r = SSL_read_ex(d.ssl, buf, len, &got);
  int error = r == 1 ? SSL_ERROR_NONE : SSL_get_error(d.ssl, r);
  // Reading may have produced output (an alert, a key update's answer); a failed send shows at
  // the next write.
  (void)tls_flush(s);
  if (r == 1) {
    d.input_maybe = true;
    return static_cast<ssize_t>(got);
  }
  switch (error) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      d.input_maybe = false;
      errno = EAGAIN;
      return -1;
    case SSL_ERROR_ZERO_RETURN:
      return 0;
    case SSL_ERROR_SYSCALL:
      if (d.recv_errno == 0 || d.peer_eof) return 0;
      d.broken = true;
      errno = d.recv_errno;
      return -1;
    default:
      log_msg(3, "TLS error: %s", library_reason("protocol failure").c_str());
      ERR_clear_error();
      d.broken = true;
      errno = EPROTO;
      return -1;
  }
}

ssize_t tls_write(tls_session& s, const void* buf, size_t len) {
  tls_session_data& d = *s.data;
  // Up to a record may wait behind the socket: a byte written just after the handshake (the
  // answer) need not wait for its last flight to leave.
  if (tls_flush(s) != 0 && (errno != EAGAIN || d.out.size() - d.out_sent >= TLS_RECORD_MAX)) {
    return -1;
  }
  if (d.broken) {
    errno = EPIPE;
    return -1;
  }
  ERR_clear_error();
  size_t done = 0;
  if (SSL_write_ex(d.ssl, buf, std::min(len, TLS_RECORD_MAX), &done) != 1) {
    log_msg(3, "TLS error: %s", library_reason("cannot encrypt").c_str());
    ERR_clear_error();
    d.broken = true;
    errno = EPROTO;
    return -1;
  }
  // What the socket did not take goes out when it is writable; a failed send shows at the next
  // write, as on a plain connection.
  return static_cast<ssize_t>(done);
}

int tls_flush(tls_session& s) {
  tls_session_data& d = *s.data;
  while (d.send_errno == 0 && d.out_sent < d.out.size()) {
    ssize_t n = sys().send(d.fd, d.out.data() + d.out_sent, d.out.size() - d.out_sent);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        errno = EAGAIN;
        return -1;
      }
      d.send_errno = errno;
      break;
    }
    d.out_sent += static_cast<size_t>(n);
  }
  if (d.send_errno != 0) {
    errno = d.send_errno;
    return -1;
  }
  d.out.clear();
  d.out_sent = 0;
  return 0;
}

void tls_end(tls_session& s) {
  if (s.data == nullptr) return;
  tls_session_data& d = *s.data;
  if (d.handshaken && !d.broken && d.send_errno == 0) {
    ERR_clear_error();
    SSL_shutdown(d.ssl);
    (void)tls_flush(s);
    ERR_clear_error();
  }
  s.data.reset();
}

std::string tls_peer_name(const tls_session& s) {
  if (s.data == nullptr) return "";
  X509* cert = SSL_get0_peer_certificate(s.data->ssl);
  if (cert == nullptr) return "";
  std::string names;
  auto* alt =
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
  if (alt != nullptr) {
    for (int i = 0; i < sk_GENERAL_NAME_num(alt); ++i) {
      const GENERAL_NAME* name = sk_GENERAL_NAME_value(alt, i);
      if (name->type != GEN_DNS) continue;
      if (!names.empty()) names += ' ';
      names +=
          printable(ASN1_STRING_get0_data(name->d.dNSName), ASN1_STRING_length(name->d.dNSName));
    }
    GENERAL_NAMES_free(alt);
  }
  if (!names.empty()) return names;
  X509_NAME* subject = X509_get_subject_name(cert);
  int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
  if (at < 0) return "";
  const ASN1_STRING* cn = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at));
  return printable(ASN1_STRING_get0_data(cn), ASN1_STRING_length(cn));
}

std::string tls_parameters(const tls_session& s) {
  if (s.data == nullptr) return "";
  return std::string(SSL_get_version(s.data->ssl)) + " " + SSL_get_cipher_name(s.data->ssl);
}

#else  // ORVANED_HAVE_TLS

struct tls_session_data {};
struct tls_context_data {};

tls_session::tls_session() = default;
tls_session::~tls_session() = default;
tls_session::tls_session(tls_session&&) noexcept = default;
tls_session& tls_session::operator=(tls_session&&) noexcept = default;

bool tls_built_in() { return false; }

tls_file tls_context_load(tls_context&, const char*, const char*, const char*,
                          std::string& problem) {
  problem = "this build has no TLS";
  return TLS_FILE_CERT;
}

bool tls_context_loaded(const tls_context& ctx) { return ctx.data != nullptr; }
bool tls_session_start(tls_session&, const tls_context&, int, bool, const char*) { return false; }
bool tls_session_active(const tls_session& s) { return s.data != nullptr; }

tls_step tls_handshake(tls_session&, std::string& reason) {
  reason = "this build has no TLS";
  return TLS_STEP_FAILED;
}

bool tls_handshake_done(const tls_session&) { return false; }
int tls_wants(const tls_session&) { return 0; }

ssize_t tls_read(tls_session&, void*, size_t) {
  errno = ENOTSUP;
  return -1;
}

ssize_t tls_write(tls_session&, const void*, size_t) {
  errno = ENOTSUP;
  return -1;
}

int tls_flush(tls_session&) { return 0; }
void tls_end(tls_session& s) { s.data.reset(); }
std::string tls_peer_name(const tls_session&) { return ""; }
std::string tls_parameters(const tls_session&) { return ""; }

#endif  // ORVANED_HAVE_TLS

uint64_t tls_bytes_received(const tls_session& s) {
#if ORVANED_HAVE_TLS
  if (s.data != nullptr) return BIO_number_read(SSL_get_rbio(s.data->ssl));
#else
  (void)s;
#endif
  return 0;
}
