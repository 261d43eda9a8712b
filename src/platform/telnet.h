// Telnet as a protocol engine of the call link, beside the TLS session: bytes from the peer go
// in and come out as data for the DTE plus replies for the peer; data from the DTE goes in and
// comes out escaped for the peer. The codec does no I/O and allocates nothing: it is a
// fixed-size record, so a peer that floods negotiation can slow a call but never grow it, and
// the work of a call is linear in its input.
//
// Options are negotiated by RFC 1143's method: each side of each option is NO, YES, WANTNO or
// WANTYES with a queue bit; each request of the peer is answered once, an answer to one of
// ours is not answered back, and a refusal already in force is never answered, so no option
// can loop. Accepted: BINARY both ways, SGA both ways, the peer's ECHO on a call we made (so
// the DTE does not see its own characters twice), our ECHO on a call we answered, our TTYPE
// (answered with the terminal type). Every other request is refused.
//
// How a link layer uses it (above TLS on an encrypted call, above the socket otherwise):
// - telnet_start when the call connects; its opening requests wait in `reply`.
// - Before sending data to the peer, send `reply[0, reply_len)` and call telnet_replies_sent
//   with what went out: replies go ahead of data encoded after them.
// - Receiving: while telnet_replies_full() is false, read up to N bytes from below and
//   telnet_decode them into the caller's buffer (N bytes of room are enough). Bytes not taken
//   (used < N, only when the replies filled up) are kept by the layer and decoded first once
//   the replies have drained; meanwhile the layer waits to write, not to read.
// - Sending: telnet_encode the DTE's bytes (2N + 1 bytes of room always take N bytes); when the
//   forwarding delay runs out with no new byte, telnet_flush_pending completes a CR that ended
//   the last chunk.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The options the codec takes part in.
constexpr int TELNET_BINARY = 0;
constexpr int TELNET_ECHO = 1;
constexpr int TELNET_SGA = 3;
constexpr int TELNET_TTYPE = 24;

// The terminal type answered when none (or one with no usable character) is given.
constexpr char TELNET_TERMINAL_DEFAULT[] = "ANSI";
constexpr int TELNET_TERMINAL_MAX = 40;  // the longest terminal type name
// Bytes kept of a subnegotiation (the only one answered, TTYPE SEND, has 2); a longer one is
// read to its end and ignored.
constexpr int TELNET_SB_MAX = 8;
constexpr int TELNET_REPLY_SIZE = 512;
// The longest single reply (IAC SB TTYPE IS <type> IAC SE): the room the replies must have
// before the decoder reads another byte.
constexpr int TELNET_REPLY_RESERVE = 6 + TELNET_TERMINAL_MAX;

enum telnet_role : int {
  TELNET_CLIENT = 0,  // the calling end of a TELNET: dial
  TELNET_SERVER = 1,  // the answering end on the telnet port
};

// Which side of an option: ours (we WILL or WONT) or the peer's (we ask it to DO or DONT).
enum telnet_side : int { TELNET_OURS = 0, TELNET_PEERS = 1 };

// One side of one option: a state in the low two bits, TELNET_Q_OPPOSITE the queue bit.
constexpr uint8_t TELNET_Q_NO = 0;
constexpr uint8_t TELNET_Q_YES = 1;
constexpr uint8_t TELNET_Q_WANTNO = 2;
constexpr uint8_t TELNET_Q_WANTYES = 3;
constexpr uint8_t TELNET_Q_OPPOSITE = 4;

// Where the decoder is in the peer's stream.
enum telnet_rx : uint8_t {
  TELNET_RX_DATA = 0,
  TELNET_RX_CR = 1,      // after a CR in NVT mode: a NUL next is dropped
  TELNET_RX_IAC = 2,     // after IAC
  TELNET_RX_OPTION = 3,  // after IAC WILL, WONT, DO or DONT (in `verb`)
  TELNET_RX_SB = 4,      // inside IAC SB ... IAC SE
  TELNET_RX_SB_IAC = 5,  // after an IAC inside it
};

struct telnet_codec {
  telnet_role role = TELNET_CLIENT;
  std::array<char, TELNET_TERMINAL_MAX + 1> terminal{'A', 'N', 'S', 'I'};  // NUL-terminated
  // The state of each option's two sides.
  std::array<uint8_t, 256> ours{};
  std::array<uint8_t, 256> peers{};
  // Decoder.
  telnet_rx rx = TELNET_RX_DATA;
  uint8_t verb = 0;
  std::array<uint8_t, TELNET_SB_MAX> sb{};
  int sb_len = 0;
  bool sb_overflow = false;  // the subnegotiation had more than TELNET_SB_MAX bytes
  // Encoder: a CR went out in NVT mode, so a NUL is owed unless an LF comes next.
  bool nul_owed = false;
  // Replies (and opening requests) for the peer, sent before data.
  std::array<char, TELNET_REPLY_SIZE> reply{};
  int reply_len = 0;
};

// What a decode or an encode did: bytes of the input taken, bytes written to the output.
struct telnet_moved {
  size_t used = 0;
  size_t written = 0;
};

// Resets `t` for a new call in `role`, answering TTYPE with `terminal` (its first
// TELNET_TERMINAL_MAX printable characters; nullptr or none: TELNET_TERMINAL_DEFAULT), and puts
// the opening requests in the replies: DO and WILL BINARY and DO SGA for a client; WILL ECHO,
// WILL SGA, DO and WILL BINARY for a server.
void telnet_start(telnet_codec& t, telnet_role role, const char* terminal);

// Decodes `len` bytes from the peer into `out`, which has room for `len` bytes (decoding never
// lengthens; `out` may be `in`): commands and negotiation removed, IAC IAC as one 0xFF, CR NUL
// as CR while the peer does not send binary. Replies are appended to `reply`. Stops early only
// when telnet_replies_full(); the state carries whatever was split between calls.
telnet_moved telnet_decode(telnet_codec& t, const char* in, size_t len, char* out);

// True when the replies have less room than the longest reply: send them before decoding more.
bool telnet_replies_full(const telnet_codec& t);

// Drops the first `n` bytes of the replies (those that went out).
void telnet_replies_sent(telnet_codec& t, size_t n);

// Encodes `len` bytes of data for the peer into `out` (room for `cap` bytes): 0xFF doubled and,
// while our side does not send binary, a CR that no LF follows completed by a NUL. The CR goes
// out at once; its NUL is written before the next byte when that is not an LF (or by
// telnet_flush_pending), so a CR LF split between two chunks stays CR LF. Stops early only
// when `out` is full.
telnet_moved telnet_encode(telnet_codec& t, const char* in, size_t len, char* out, size_t cap);

// Writes the NUL owed after a CR that ended the last encoded chunk (when `cap` > 0). Returns
// the bytes written: 0 or 1.
size_t telnet_flush_pending(telnet_codec& t, char* out, size_t cap);

// Asks to turn `side` of `option` on or off (RFC 1143, queued behind a negotiation in
// progress). Returns false when there is nothing to ask (already so, or already asked), the
// option may not be on, or the replies have no room.
bool telnet_ask(telnet_codec& t, int option, telnet_side side, bool on);
