#include "platform/tls.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "platform/log.h"
#include "platform/system_calls.h"
#include "platform/unique_fd.h"

bool tls_record_start(const unsigned char* bytes, size_t n, bool hello) {
  // The record's content type (handshake; from a server an alert too), the protocol's major
  // version 3 and a minor one up to 4; a ClientHello's record then gives its length and the
  // handshake type 1.
  for (size_t i = 0; i < n && i < 6; ++i) {
    unsigned char b = bytes[i];
    bool fits = true;
    switch (i) {
      case 0:
        fits = b == 0x16 || (!hello && b == 0x15);
        break;
      case 1:
        fits = b == 0x03;
        break;
      case 2:
        fits = b <= 0x04;
        break;
      case 5:
        fits = !hello || b == 0x01;
        break;
      default:
        break;
    }
    if (!fits) return false;
  }
  return true;
}

#if ORVANED_HAVE_TLS

#include "platform/tls_library.h"

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
  uint64_t received = 0;    // bytes read from the socket
  std::array<unsigned char, 3> first{};  // the first of them
  // Input may sit undecrypted in the library: set by a read that returned bytes, cleared by
  // one that needed more from the socket.
  bool input_maybe = false;
  ~tls_session_data() {
    if (ssl != nullptr) tls_lib().SSL_free(ssl);
  }
};

struct tls_context_data {
  SSL_CTX* ctx = nullptr;
  ~tls_context_data() {
    if (ctx != nullptr) tls_lib().SSL_CTX_free(ctx);
  }
};

namespace {

// One TLS record's worth of plaintext per write.
constexpr size_t TLS_RECORD_MAX = 16384;

// The largest certificate, key or CA file read: a chain of a few certificates takes some KiB.
constexpr off_t TLS_FILE_MAX = 1 << 20;

// Output the socket has not taken yet: at TLS_OUTPUT_MAX the session reads nothing more.
bool output_full(const tls_session_data& d) {
  return d.send_errno == 0 && d.out.size() - d.out_sent >= TLS_OUTPUT_MAX;
}

int bio_create(BIO* b) {
  tls_lib().BIO_set_init(b, 1);
  return 1;
}

// BIO_set_retry_read and BIO_clear_retry_flags, through the functions they stand for.
void bio_retry_read(BIO* b) { tls_lib().BIO_set_flags(b, BIO_FLAGS_READ | BIO_FLAGS_SHOULD_RETRY); }

void bio_clear_retry(BIO* b) {
  tls_lib().BIO_clear_flags(b, BIO_FLAGS_RWS | BIO_FLAGS_SHOULD_RETRY);
}

int bio_read(BIO* b, char* buf, int len) {
  auto* d = static_cast<tls_session_data*>(tls_lib().BIO_get_data(b));
  bio_clear_retry(b);
  // A peer that makes the session answer (key updates) faster than it takes the answers is not
  // read until they have gone out: what the session holds stays bounded.
  if (output_full(*d)) {
    bio_retry_read(b);
    return -1;
  }
  ssize_t n = sys().recv(d->fd, buf, static_cast<size_t>(len));
  if (n < 0) {
    d->recv_errno = errno;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) bio_retry_read(b);
    return -1;
  }
  for (ssize_t i = 0; i < n && d->received + static_cast<uint64_t>(i) < d->first.size(); ++i) {
    d->first[d->received + static_cast<uint64_t>(i)] = static_cast<unsigned char>(buf[i]);
  }
  d->received += static_cast<uint64_t>(n);
  if (n == 0) d->peer_eof = true;
  return static_cast<int>(n);
}

// Sends what it can at once and keeps the rest for tls_flush.
int bio_write(BIO* b, const char* buf, int len) {
  auto* d = static_cast<tls_session_data*>(tls_lib().BIO_get_data(b));
  bio_clear_retry(b);
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
    const tls_library& lib = tls_lib();
    BIO_METHOD* m =
        lib.BIO_meth_new(lib.BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "orvaned socket");
    if (m == nullptr) return m;
    lib.BIO_meth_set_create(m, bio_create);
    lib.BIO_meth_set_read(m, bio_read);
    lib.BIO_meth_set_write(m, bio_write);
    lib.BIO_meth_set_ctrl(m, bio_ctrl);
    return m;
  }();
  return method;
}

// An encrypted key would make the library ask on the terminal: a key needs none.
int no_passphrase(char*, int, int, void*) { return 0; }

// Reads the file at `path` whole into `content`. It is opened without blocking, and only when
// it is a regular file of at most TLS_FILE_MAX bytes, so that neither a FIFO nor a device can
// hold start-up or the loop; the library then parses it from memory and never opens the path
// itself. False with `problem` otherwise.
bool read_tls_file(const char* path, std::string& content, std::string& problem) {
  auto unreadable = [&problem] {
    problem = std::string("cannot be read: ") + strerror(errno);
    return false;
  };
  struct stat st {};
  if (stat(path, &st) != 0) return unreadable();
  unique_fd fd;
  if (S_ISREG(st.st_mode)) {
    fd.reset(open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid()) return unreadable();
  }
  // Checked again on what was opened: the path may have been replaced since.
  if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    problem = "is not a regular file";
    return false;
  }
  if (st.st_size > TLS_FILE_MAX) {
    problem = "is larger than 1 MiB";
    return false;
  }
  content.clear();
  content.reserve(static_cast<size_t>(st.st_size) + 1);
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return unreadable();
    if (n == 0) return true;
    if (content.size() + static_cast<size_t>(n) > static_cast<size_t>(TLS_FILE_MAX)) {
      problem = "is larger than 1 MiB";
      return false;
    }
    content.append(buf, static_cast<size_t>(n));
  }
}

// Clears what a file held (a private key) before its memory is given back.
void wipe(std::string& content) {
  explicit_bzero(content.data(), content.size());
  content.clear();
}

// The library's reason for the last failure on this thread, or `fallback`.
std::string library_reason(const char* fallback) {
  const tls_library& lib = tls_lib();
  unsigned long e = lib.ERR_peek_last_error();
  const char* text = e != 0 ? lib.ERR_reason_error_string(e) : nullptr;
  return text != nullptr ? text : fallback;
}

// True when the last failure is the end of the PEM text (no further block), which ends a list
// of certificates; it is then cleared.
bool pem_ended() {
  const tls_library& lib = tls_lib();
  unsigned long e = lib.ERR_peek_last_error();
  if (ERR_GET_LIB(e) != ERR_LIB_PEM || ERR_GET_REASON(e) != PEM_R_NO_START_LINE) return false;
  lib.ERR_clear_error();
  return true;
}

// This modem's certificate, then the chain up to the CA, from the PEM text `pem`.
bool use_certificate_chain(SSL_CTX* ctx, const std::string& pem) {
  const tls_library& lib = tls_lib();
  BIO* bio = lib.BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  if (bio == nullptr) return false;
  X509* leaf = lib.PEM_read_bio_X509_AUX(bio, nullptr, nullptr, nullptr);
  bool ok = leaf != nullptr && lib.SSL_CTX_use_certificate(ctx, leaf) == 1;
  lib.X509_free(leaf);
  while (ok) {
    X509* next = lib.PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    if (next == nullptr) {
      ok = pem_ended();
      break;
    }
    // SSL_CTX_add0_chain_cert: the context takes the certificate.
    if (lib.SSL_CTX_ctrl(ctx, SSL_CTRL_CHAIN_CERT, 0, next) != 1) {
      lib.X509_free(next);
      ok = false;
    }
  }
  lib.BIO_free(bio);
  return ok;
}

// The private key of the PEM text `pem`, which must belong to the certificate. Returns "" or
// what is wrong with it.
std::string use_private_key(SSL_CTX* ctx, const std::string& pem) {
  const tls_library& lib = tls_lib();
  BIO* bio = lib.BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  EVP_PKEY* key =
      bio != nullptr ? lib.PEM_read_bio_PrivateKey(bio, nullptr, no_passphrase, nullptr) : nullptr;
  lib.BIO_free(bio);
  if (key == nullptr) return "holds no PEM private key without a passphrase";
  bool used = lib.SSL_CTX_use_PrivateKey(ctx, key) == 1;
  lib.EVP_PKEY_free(key);
  unsigned long e = lib.ERR_peek_last_error();
  bool mismatch = ERR_GET_LIB(e) == ERR_LIB_X509 && ERR_GET_REASON(e) == X509_R_KEY_VALUES_MISMATCH;
  if (!used && !mismatch) return "holds no PEM private key without a passphrase";
  if (!used || lib.SSL_CTX_check_private_key(ctx) != 1) return "does not match the certificate";
  return "";
}

// The CA certificates of the PEM text `pem` (one or more) as those a peer must chain to.
bool use_ca_certificates(SSL_CTX* ctx, const std::string& pem) {
  const tls_library& lib = tls_lib();
  X509_STORE* store = lib.SSL_CTX_get_cert_store(ctx);
  BIO* bio = lib.BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  bool ok = bio != nullptr;
  int count = 0;
  while (ok) {
    X509* ca = lib.PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    if (ca == nullptr) {
      ok = count > 0 && pem_ended();
      break;
    }
    ok = lib.X509_STORE_add_cert(store, ca) == 1;
    lib.X509_free(ca);
    ++count;
  }
  lib.BIO_free(bio);
  return ok;
}

// Set as the verification result of a peer that shows a CA certificate as its own.
constexpr int TLS_VERIFY_LEAF_IS_CA = X509_V_ERR_APPLICATION_VERIFICATION;

// A peer's own certificate must be an end certificate: one that may sign others (CA:TRUE) would
// let whoever holds its key issue certificates, and does not stand for one router.
int verify_peer(int ok, X509_STORE_CTX* store) {
  const tls_library& lib = tls_lib();
  if (ok != 1 || lib.X509_STORE_CTX_get_error_depth(store) != 0) return ok;
  X509* cert = lib.X509_STORE_CTX_get_current_cert(store);
  if (cert == nullptr || (lib.X509_get_extension_flags(cert) & EXFLAG_CA) == 0) return ok;
  lib.X509_STORE_CTX_set_error(store, TLS_VERIFY_LEAF_IS_CA);
  return 0;
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
  const tls_library& lib = tls_lib();
  long v = lib.SSL_get_verify_result(d.ssl);
  if (v != X509_V_OK) {
    if (issuer_unknown(v)) return "unknown CA";
    if (v == X509_V_ERR_HOSTNAME_MISMATCH) return "name does not match";
    if (v == TLS_VERIFY_LEAF_IS_CA) return "peer certificate is a CA";
    return lib.X509_verify_cert_error_string(v);
  }
  unsigned long e = lib.ERR_peek_last_error();
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

// The headers' version: the library is opened only when TLS files are set, and asking it would
// open it.
const char* tls_library_version() { return OPENSSL_VERSION_TEXT; }

tls_file tls_context_load(tls_context& out, const char* cert, const char* key, const char* ca,
                          std::string& problem) {
  const tls_library* loaded = tls_library_load(problem);
  if (loaded == nullptr) return TLS_FILE_LIBRARY;
  const tls_library& lib = *loaded;
  auto data = std::make_shared<tls_context_data>();
  data->ctx = lib.SSL_CTX_new(lib.TLS_method());
  if (data->ctx == nullptr) {
    problem = library_reason("the library cannot make a context");
    return TLS_FILE_CERT;
  }
  SSL_CTX* ctx = data->ctx;
  lib.ERR_clear_error();
  std::string pem;
  if (!read_tls_file(cert, pem, problem)) return TLS_FILE_CERT;
  if (!use_certificate_chain(ctx, pem)) {
    problem = "holds no PEM certificate (" + library_reason("unreadable") + ")";
    return TLS_FILE_CERT;
  }
  if (!read_tls_file(key, pem, problem)) return TLS_FILE_KEY;
  problem = use_private_key(ctx, pem);
  wipe(pem);
  if (!problem.empty()) return TLS_FILE_KEY;
  if (!read_tls_file(ca, pem, problem)) return TLS_FILE_CA;
  if (!use_ca_certificates(ctx, pem)) {
    problem = "holds no PEM certificate (" + library_reason("unreadable") + ")";
    return TLS_FILE_CA;
  }
  lib.ERR_clear_error();
  // SSL_CTX_set_min_proto_version, _max_proto_version, _session_cache_mode and _read_ahead.
  lib.SSL_CTX_ctrl(ctx, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_3_VERSION, nullptr);
  lib.SSL_CTX_ctrl(ctx, SSL_CTRL_SET_MAX_PROTO_VERSION, TLS1_3_VERSION, nullptr);
  lib.SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, verify_peer);
  // A peer whose connection ends without a close_notify has hung up, as on a plain call.
  lib.SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_TICKET);
  lib.SSL_CTX_set_num_tickets(ctx, 0);
  lib.SSL_CTX_ctrl(ctx, SSL_CTRL_SET_SESS_CACHE_MODE, SSL_SESS_CACHE_OFF, nullptr);
  lib.SSL_CTX_ctrl(ctx, SSL_CTRL_SET_READ_AHEAD, 1, nullptr);
  out.data = std::move(data);
  return TLS_FILE_NONE;
}

bool tls_context_loaded(const tls_context& ctx) { return ctx.data != nullptr; }

bool tls_session_start(tls_session& s, const tls_context& ctx, int fd, bool server,
                       const char* host) {
  s.data.reset();
  if (!tls_context_loaded(ctx)) return false;
  const tls_library& lib = tls_lib();
  BIO_METHOD* method = socket_method();
  if (method == nullptr) return false;
  auto d = std::make_unique<tls_session_data>();
  d->fd = fd;
  d->ssl = lib.SSL_new(ctx.data->ctx);
  BIO* bio = d->ssl != nullptr ? lib.BIO_new(method) : nullptr;
  if (bio == nullptr) {
    log_msg(3, "TLS session error: %s", library_reason("out of memory").c_str());
    lib.ERR_clear_error();
    return false;
  }
  lib.BIO_set_data(bio, d.get());
  lib.SSL_set_bio(d->ssl, bio, bio);
  if (server) {
    lib.SSL_set_accept_state(d->ssl);
  } else {
    lib.SSL_set_connect_state(d->ssl);
    if (host != nullptr && host[0] != '\0') {
      // SSL_set_tlsext_host_name.
      lib.SSL_ctrl(d->ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                   const_cast<char*>(host));
      lib.SSL_set1_host(d->ssl, host);
    }
  }
  s.data = std::move(d);
  return true;
}

bool tls_session_active(const tls_session& s) { return s.data != nullptr; }

tls_step tls_handshake(tls_session& s, std::string& reason) {
  const tls_library& lib = tls_lib();
  tls_session_data& d = *s.data;
  lib.ERR_clear_error();
  d.recv_errno = 0;
  int r = lib.SSL_do_handshake(d.ssl);
  int error = r == 1 ? SSL_ERROR_NONE : lib.SSL_get_error(d.ssl, r);
  if (r != 1 && !would_block(error)) {
    reason = failure_reason(d, error);
    lib.ERR_clear_error();
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
  // Full: nothing is read, and what the library holds already waits too, until the socket
  // takes output.
  if (output_full(d)) return TLS_WANTS_WRITE | TLS_OUTPUT_FULL;
  const tls_library& lib = tls_lib();
  int wants = TLS_WANTS_READ;
  if (d.out_sent < d.out.size() && d.send_errno == 0) wants |= TLS_WANTS_WRITE;
  if (d.handshaken && (d.broken || lib.SSL_pending(d.ssl) > 0 ||
                       (d.input_maybe && lib.SSL_has_pending(d.ssl) == 1))) {
    wants |= TLS_HAS_INPUT;
  }
  return wants;
}

ssize_t tls_read(tls_session& s, void* buf, size_t len) {
  tls_session_data& d = *s.data;
  if (d.broken) return 0;
  if (output_full(d)) {
    errno = EAGAIN;
    return -1;
  }
  const tls_library& lib = tls_lib();
  lib.ERR_clear_error();
  d.recv_errno = 0;
  size_t got = 0;
  int r = lib.SSL_read_ex(d.ssl, buf, len, &got);
  int error = r == 1 ? SSL_ERROR_NONE : lib.SSL_get_error(d.ssl, r);
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
      lib.ERR_clear_error();
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
  const tls_library& lib = tls_lib();
  lib.ERR_clear_error();
  size_t done = 0;
  if (lib.SSL_write_ex(d.ssl, buf, std::min(len, TLS_RECORD_MAX), &done) != 1) {
    log_msg(3, "TLS error: %s", library_reason("cannot encrypt").c_str());
    lib.ERR_clear_error();
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
    const tls_library& lib = tls_lib();
    lib.ERR_clear_error();
    lib.SSL_shutdown(d.ssl);
    (void)tls_flush(s);
    lib.ERR_clear_error();
  }
  s.data.reset();
}

std::string tls_peer_name(const tls_session& s) {
  if (s.data == nullptr) return "";
  const tls_library& lib = tls_lib();
  X509* cert = lib.SSL_get0_peer_certificate(s.data->ssl);
  if (cert == nullptr) return "";
  std::string names;
  auto* alt = static_cast<GENERAL_NAMES*>(
      lib.X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
  if (alt != nullptr) {
    // sk_GENERAL_NAME_num and sk_GENERAL_NAME_value.
    const OPENSSL_STACK* stack = ossl_check_const_GENERAL_NAME_sk_type(alt);
    for (int i = 0; i < lib.OPENSSL_sk_num(stack); ++i) {
      const auto* name = static_cast<const GENERAL_NAME*>(lib.OPENSSL_sk_value(stack, i));
      if (name->type != GEN_DNS) continue;
      if (!names.empty()) names += ' ';
      names += printable(lib.ASN1_STRING_get0_data(name->d.dNSName),
                         lib.ASN1_STRING_length(name->d.dNSName));
    }
    lib.GENERAL_NAMES_free(alt);
  }
  if (!names.empty()) return names;
  X509_NAME* subject = lib.X509_get_subject_name(cert);
  int at = lib.X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
  if (at < 0) return "";
  const ASN1_STRING* cn = lib.X509_NAME_ENTRY_get_data(lib.X509_NAME_get_entry(subject, at));
  return printable(lib.ASN1_STRING_get0_data(cn), lib.ASN1_STRING_length(cn));
}

std::string tls_parameters(const tls_session& s) {
  if (s.data == nullptr) return "";
  const tls_library& lib = tls_lib();
  // SSL_get_cipher_name.
  return std::string(lib.SSL_get_version(s.data->ssl)) + " " +
         lib.SSL_CIPHER_get_name(lib.SSL_get_current_cipher(s.data->ssl));
}

#else  // ORVANED_HAVE_TLS

struct tls_session_data {};
struct tls_context_data {};

tls_session::tls_session() = default;
tls_session::~tls_session() = default;
tls_session::tls_session(tls_session&&) noexcept = default;
tls_session& tls_session::operator=(tls_session&&) noexcept = default;

bool tls_built_in() { return false; }

const char* tls_library_version() { return "none"; }

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
  if (s.data != nullptr) return s.data->received;
#else
  (void)s;
#endif
  return 0;
}

size_t tls_first_bytes(const tls_session& s, unsigned char* out, size_t max) {
#if ORVANED_HAVE_TLS
  if (s.data == nullptr) return 0;
  size_t n = std::min({max, s.data->first.size(), static_cast<size_t>(s.data->received)});
  std::copy_n(s.data->first.begin(), n, out);
  return n;
#else
  (void)s;
  (void)out;
  (void)max;
  return 0;
#endif
}
