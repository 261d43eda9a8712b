#include "platform/telnet.h"

#include <algorithm>
#include <cstring>
#include <span>

namespace {

constexpr uint8_t CR = '\r';
constexpr uint8_t LF = '\n';
constexpr uint8_t SE = 240;
constexpr uint8_t SB = 250;
constexpr uint8_t WILL = 251;
constexpr uint8_t WONT = 252;
constexpr uint8_t DO = 253;
constexpr uint8_t DONT = 254;
constexpr uint8_t IAC = 255;
constexpr uint8_t TTYPE_IS = 0;
constexpr uint8_t TTYPE_SEND = 1;

// Which roles may have each side of an option on; every option not listed stays off.
constexpr int CLIENT = 1 << TELNET_CLIENT;
constexpr int SERVER = 1 << TELNET_SERVER;
struct option_rule {
  int option;
  int ours;   // roles in which we may send it
  int peers;  // roles in which the peer may
};
constexpr option_rule OPTION_RULES[] = {
    {TELNET_BINARY, CLIENT | SERVER, CLIENT | SERVER},
    {TELNET_ECHO, SERVER, CLIENT},  // the answering end echoes, never both
    {TELNET_SGA, CLIENT | SERVER, CLIENT | SERVER},
    {TELNET_TTYPE, CLIENT | SERVER, 0},
};

// The opening requests of each role.
struct opening_ask {
  int option;
  telnet_side side;
};
constexpr opening_ask CLIENT_OPENING[] = {
    {TELNET_BINARY, TELNET_PEERS}, {TELNET_BINARY, TELNET_OURS}, {TELNET_SGA, TELNET_PEERS}};
constexpr opening_ask SERVER_OPENING[] = {{TELNET_ECHO, TELNET_OURS},
                                          {TELNET_SGA, TELNET_OURS},
                                          {TELNET_BINARY, TELNET_PEERS},
                                          {TELNET_BINARY, TELNET_OURS}};

bool may_be_on(const telnet_codec& t, int option, telnet_side side) {
  for (const option_rule& rule : OPTION_RULES) {
    if (rule.option == option) {
      return ((side == TELNET_OURS ? rule.ours : rule.peers) & (1 << t.role)) != 0;
    }
  }
  return false;
}

// `option` is 0 to 255.
uint8_t& state_of(telnet_codec& t, int option, telnet_side side) {
  return (side == TELNET_OURS ? t.ours : t.peers)[option];
}

bool is_on(const telnet_codec& t, int option, telnet_side side) {
  return (side == TELNET_OURS ? t.ours : t.peers)[option] == TELNET_Q_YES;
}

void add_reply(telnet_codec& t, const uint8_t* bytes, size_t n) {
  memcpy(t.reply.data() + t.reply_len, bytes, n);
  t.reply_len += static_cast<int>(n);
}

// IAC WILL/WONT (our side) or DO/DONT (the peer's side) for `option`.
void send_verb(telnet_codec& t, int option, telnet_side side, bool on) {
  uint8_t verb = side == TELNET_OURS ? (on ? WILL : WONT) : (on ? DO : DONT);
  const uint8_t bytes[] = {IAC, verb, static_cast<uint8_t>(option)};
  add_reply(t, bytes, sizeof bytes);
}

// RFC 1143: the peer says `side` of `option` is to be on (WILL, DO) or off (WONT, DONT).
void negotiate(telnet_codec& t, int option, telnet_side side, bool on) {
  uint8_t& q = state_of(t, option, side);
  bool queued = (q & TELNET_Q_OPPOSITE) != 0;
  switch (q & 3) {
    case TELNET_Q_NO:
      // A request: agree or refuse it. A refusal of what is already off is not answered.
      if (!on) break;
      if (may_be_on(t, option, side)) q = TELNET_Q_YES;
      send_verb(t, option, side, q == TELNET_Q_YES);
      break;
    case TELNET_Q_YES:
      if (on) break;
      q = TELNET_Q_NO;
      send_verb(t, option, side, false);
      break;
    case TELNET_Q_WANTNO:
      // Off answers our refusal (a queued request to turn it on again goes out now); on
      // breaks the rules and is taken as it comes, without a word.
      if (!on && queued) {
        q = TELNET_Q_WANTYES;
        send_verb(t, option, side, true);
      } else {
        q = on && queued ? TELNET_Q_YES : TELNET_Q_NO;
      }
      break;
    case TELNET_Q_WANTYES:
      // The answer to our request; a queued change of mind goes out now.
      if (on && queued) {
        q = TELNET_Q_WANTNO;
        send_verb(t, option, side, false);
      } else {
        q = on ? TELNET_Q_YES : TELNET_Q_NO;
      }
      break;
  }
}

// IAC SB ... IAC SE has ended: TTYPE SEND is answered while our TTYPE is on.
void subnegotiation(telnet_codec& t) {
  if (t.sb_overflow || t.sb_len != 2 || t.sb[0] != TELNET_TTYPE || t.sb[1] != TTYPE_SEND ||
      !is_on(t, TELNET_TTYPE, TELNET_OURS)) {
    return;
  }
  const uint8_t head[] = {IAC, SB, TELNET_TTYPE, TTYPE_IS};
  const uint8_t tail[] = {IAC, SE};
  add_reply(t, head, sizeof head);
  add_reply(t, reinterpret_cast<const uint8_t*>(t.terminal.data()), strlen(t.terminal.data()));
  add_reply(t, tail, sizeof tail);
}

void keep_sb(telnet_codec& t, uint8_t c) {
  if (t.sb_len < TELNET_SB_MAX) {
    t.sb[t.sb_len++] = c;
  } else {
    t.sb_overflow = true;
  }
}

}  // namespace

void telnet_start(telnet_codec& t, telnet_role role, const char* terminal) {
  t = telnet_codec{};
  t.role = role;
  size_t n = 0;
  for (const char* p = terminal; p != nullptr && *p != '\0' && n < TELNET_TERMINAL_MAX; ++p) {
    if (*p > ' ' && *p < 0x7f) t.terminal[n++] = *p;
  }
  if (n == 0) memcpy(t.terminal.data(), TELNET_TERMINAL_DEFAULT, sizeof TELNET_TERMINAL_DEFAULT);
  std::span<const opening_ask> opening = CLIENT_OPENING;
  if (role == TELNET_SERVER) opening = SERVER_OPENING;
  for (const opening_ask& ask : opening) {
    telnet_ask(t, ask.option, ask.side, true);
  }
}

telnet_moved telnet_decode(telnet_codec& t, const char* in, size_t len, char* out) {
  telnet_moved m;
  for (; m.used < len; ++m.used) {
    if (telnet_replies_full(t)) break;  // the next byte might need room for a reply
    auto c = static_cast<uint8_t>(in[m.used]);
    switch (t.rx) {
      case TELNET_RX_CR:
        t.rx = TELNET_RX_DATA;
        if (c == 0) break;
        [[fallthrough]];
      case TELNET_RX_DATA:
        if (c == IAC) {
          t.rx = TELNET_RX_IAC;
          break;
        }
        out[m.written++] = static_cast<char>(c);
        if (c == CR && !is_on(t, TELNET_BINARY, TELNET_PEERS)) t.rx = TELNET_RX_CR;
        break;
      case TELNET_RX_OPTION:
        negotiate(t, c, t.verb == WILL || t.verb == WONT ? TELNET_PEERS : TELNET_OURS,
                  t.verb == WILL || t.verb == DO);
        t.rx = TELNET_RX_DATA;
        break;
      case TELNET_RX_SB:
        if (c == IAC) {
          t.rx = TELNET_RX_SB_IAC;
        } else {
          keep_sb(t, c);
        }
        break;
      case TELNET_RX_SB_IAC:
        if (c == SE) {
          subnegotiation(t);
          t.rx = TELNET_RX_DATA;
          break;
        }
        if (c == IAC) {
          keep_sb(t, IAC);
          t.rx = TELNET_RX_SB;
          break;
        }
        // Another command cuts the subnegotiation short: it is dropped, the command read.
        [[fallthrough]];
      case TELNET_RX_IAC:
        if (c == IAC) {
          out[m.written++] = static_cast<char>(IAC);
          t.rx = TELNET_RX_DATA;
        } else if (c >= WILL) {
          t.verb = c;
          t.rx = TELNET_RX_OPTION;
        } else if (c == SB) {
          t.sb_len = 0;
          t.sb_overflow = false;
          t.rx = TELNET_RX_SB;
        } else {
          t.rx = TELNET_RX_DATA;  // NOP, GA, AYT, BRK and the others carry nothing for the DTE
        }
        break;
    }
  }
  return m;
}

bool telnet_replies_full(const telnet_codec& t) {
  return TELNET_REPLY_SIZE - t.reply_len < TELNET_REPLY_RESERVE;
}

void telnet_replies_sent(telnet_codec& t, size_t n) {
  size_t left = static_cast<size_t>(t.reply_len) - std::min(n, static_cast<size_t>(t.reply_len));
  memmove(t.reply.data(), t.reply.data() + t.reply_len - left, left);
  t.reply_len = static_cast<int>(left);
}

telnet_moved telnet_encode(telnet_codec& t, const char* in, size_t len, char* out, size_t cap) {
  bool nvt = !is_on(t, TELNET_BINARY, TELNET_OURS);
  telnet_moved m;
  for (; m.used < len; ++m.used) {
    auto c = static_cast<uint8_t>(in[m.used]);
    bool nul = t.nul_owed && c != LF;
    if (m.written + (c == IAC ? 2 : 1) + (nul ? 1 : 0) > cap) break;
    if (nul) out[m.written++] = '\0';
    out[m.written++] = static_cast<char>(c);
    if (c == IAC) out[m.written++] = static_cast<char>(IAC);
    t.nul_owed = c == CR && nvt;
  }
  return m;
}

size_t telnet_flush_pending(telnet_codec& t, char* out, size_t cap) {
  if (!t.nul_owed || cap == 0) return 0;
  t.nul_owed = false;
  out[0] = '\0';
  return 1;
}

bool telnet_ask(telnet_codec& t, int option, telnet_side side, bool on) {
  if (option < 0 || option > 255 || (on && !may_be_on(t, option, side)) ||
      TELNET_REPLY_SIZE - t.reply_len < 3) {
    return false;
  }
  uint8_t& q = state_of(t, option, side);
  bool queued = (q & TELNET_Q_OPPOSITE) != 0;
  switch (q & 3) {
    case TELNET_Q_NO:
    case TELNET_Q_YES:
      if (on == (q == TELNET_Q_YES)) return false;
      q = on ? TELNET_Q_WANTYES : TELNET_Q_WANTNO;
      send_verb(t, option, side, on);
      return true;
    case TELNET_Q_WANTNO:
      // Turning it off is under way: a request to turn it on waits for the answer.
      if (on == queued) return false;
      q = on ? TELNET_Q_WANTNO | TELNET_Q_OPPOSITE : TELNET_Q_WANTNO;
      return true;
    default:  // TELNET_Q_WANTYES
      if (on != queued) return false;
      q = on ? TELNET_Q_WANTYES : TELNET_Q_WANTYES | TELNET_Q_OPPOSITE;
      return true;
  }
}
