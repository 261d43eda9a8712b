// Encrypted connections: TLS 1.3 with a certificate on both ends, over a non-blocking socket
// whose I/O goes through the system-call table (so that the simulated world can play the peer).
// A context holds this modem's certificate chain, its key and the CA that peers must chain to; a
// session is one connection's state. The library's output is kept in the session until the
// socket takes it, so that neither a handshake nor a read ever waits for room to write: what a
// session needs from its socket is tls_wants(). At most TLS_OUTPUT_MAX bytes of it are held: a
// full session reads nothing until the socket takes some.
//
// The library (OpenSSL 3) is opened the first time a context is loaded, so a daemon that loads
// none never maps it (see tls_library.h). In a build without TLS (ORVANED_HAVE_TLS 0) every
// function is present; a context never loads and a session never starts.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// The file of a context that a load found at fault; TLS_FILE_LIBRARY: the library itself
// (libssl.so.3), which cannot be opened.
enum tls_file : int {
  TLS_FILE_NONE = -1,
  TLS_FILE_CERT = 0,
  TLS_FILE_KEY = 1,
  TLS_FILE_CA = 2,
  TLS_FILE_LIBRARY = 3,
};

struct tls_context_data;
struct tls_session_data;

// This modem's credentials; empty until loaded. Sessions keep what they were started with
// when a reload replaces it.
struct tls_context {
  std::shared_ptr<tls_context_data> data;
};

// One connection's TLS state; empty when there is none. Move-only; destroying it frees the state
// without a word to the peer (tls_end says goodbye first). The descriptor is not owned.
struct tls_session {
  std::unique_ptr<tls_session_data> data;
  tls_session();
  ~tls_session();
  tls_session(tls_session&&) noexcept;
  tls_session& operator=(tls_session&&) noexcept;
};

// True when this build has TLS.
bool tls_built_in();

// The TLS library this build is made for and its version ("OpenSSL 3.0.11 19 Sep 2023"), "none"
// in a build without TLS.
const char* tls_library_version();

// Loads the certificate chain at `cert`, the private key at `key` (which must match it) and the
// CA certificates at `ca`, all PEM, into a context for TLS 1.3 with mutual authentication; a
// peer whose own certificate is a CA's (CA:TRUE) is refused. The first load opens the library.
// Each file is opened without blocking and read whole into memory, and only when it is a
// regular file of at most 1 MiB. Returns TLS_FILE_NONE and fills `out`, or the file at fault
// with `problem` saying what is wrong with it ("cannot be read: No such file or directory",
// "is not a regular file", "is larger than 1 MiB", "holds no PEM certificate", ...), the path
// not included; for TLS_FILE_LIBRARY the loader's message, which names the library. `out` is
// then unchanged. Reads no key material into any message.
tls_file tls_context_load(tls_context& out, const char* cert, const char* key, const char* ca,
                          std::string& problem);

bool tls_context_loaded(const tls_context& ctx);

// Starts a session on `fd` (non-blocking) as the accepting end (`server`) or the calling end.
// A calling end given a `host` name requires the peer's certificate to carry it. Returns false
// when the library cannot make the session (logged at level 3).
bool tls_session_start(tls_session& s, const tls_context& ctx, int fd, bool server,
                       const char* host);

bool tls_session_active(const tls_session& s);

enum tls_step : int { TLS_STEP_DONE = 0, TLS_STEP_WANT = 1, TLS_STEP_FAILED = 2 };

// Takes the handshake as far as the socket allows. TLS_STEP_WANT: call again when tls_wants()
// says; TLS_STEP_FAILED: `reason` says why ("no certificate", "unknown CA", "peer certificate
// is a CA", "peer hung up", the library's reason for anything else); the session must be ended.
tls_step tls_handshake(tls_session& s, std::string& reason);

// True once the handshake has completed.
bool tls_handshake_done(const tls_session& s);

// What the session waits for on its socket: TLS_WANTS_READ and TLS_WANTS_WRITE (a mask), and
// TLS_HAS_INPUT when bytes that the library holds already can be read without the socket.
// TLS_OUTPUT_FULL: the session holds TLS_OUTPUT_MAX bytes of output or more (a peer that
// makes it answer, as to key updates, and does not read): it then asks only TLS_WANTS_WRITE
// and reads nothing until the socket takes some. A call that stays so for long has a peer
// that does not read.
constexpr int TLS_WANTS_READ = 1;
constexpr int TLS_WANTS_WRITE = 2;
constexpr int TLS_HAS_INPUT = 4;
constexpr int TLS_OUTPUT_FULL = 8;
constexpr size_t TLS_OUTPUT_MAX = 65536;
int tls_wants(const tls_session& s);

// As recv(): decrypted bytes, 0 at the end of the stream (the peer's close_notify, or its
// connection closed without one), -1 with errno (EAGAIN: nothing now, or the output is full
// and the socket was not touched; a protocol failure is logged at level 3 and returns -1 with
// EPROTO once, then 0).
ssize_t tls_read(tls_session& s, void* buf, size_t len);

// As send(): takes up to one record of bytes when the output of earlier writes has gone out,
// else -1 with EAGAIN; -1 with the socket's errno when it failed.
ssize_t tls_write(tls_session& s, const void* buf, size_t len);

// Sends held output. Returns 0 when none is left, -1 with errno (EAGAIN: the socket is full).
int tls_flush(tls_session& s);

// Sends close_notify when the socket takes it at once, then frees the session (the descriptor
// stays open). Safe on an empty session.
void tls_end(tls_session& s);

// The peer certificate's names: the DNS names of its subject alternative name separated by
// blanks, else its common name; empty when there is none.
std::string tls_peer_name(const tls_session& s);

// "TLSv1.3 TLS_AES_256_GCM_SHA384": the protocol version and cipher of a completed handshake.
std::string tls_parameters(const tls_session& s);

// Bytes the session has read from its socket so far: 0 until the peer's first bytes came.
uint64_t tls_bytes_received(const tls_session& s);

// Copies the first bytes the session read from its socket (at most 3 and `max`) to `out`;
// returns how many.
size_t tls_first_bytes(const tls_session& s, unsigned char* out, size_t max);

// True when the first `n` bytes of a connection, as far as they go, can begin a TLS record: a
// ClientHello (`hello`), else a server's handshake or alert record.
bool tls_record_start(const unsigned char* bytes, size_t n, bool hello);
