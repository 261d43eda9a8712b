#include "platform/telnet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
const std::string WILL = "\xff\xfb", WONT = "\xff\xfc", DO = "\xff\xfd", DONT = "\xff\xfe";
const std::string BIN = "\0"s, ECH = "\1", SGA = "\3", TT = "\x18";  // options; 'b', 'c': 98, 99
const std::string SEND_TT = "\xff\xfa\x18\x01\xff\xf0", IS_TT = "\xff\xfa\x18\0"s, SE = "\xff\xf0";

// Decodes `piece` as the layer would: the replies are sent after each decode, and whenever the
// decoder stops for them.
void feed(telnet_codec& t, const std::string& piece, std::string& data, std::string& replies) {
  std::vector<char> out(piece.size() + 1);
  for (size_t used = 0;;) {
    telnet_moved m = telnet_decode(t, piece.data() + used, piece.size() - used, out.data());
    data.append(out.data(), m.written);
    used += m.used;
    for (int sent : {std::min(t.reply_len, 2), t.reply_len - std::min(t.reply_len, 2)}) {
      replies.append(t.reply.data(), sent);  // a short send, then the rest
      telnet_replies_sent(t, sent);
    }
    if (used == piece.size()) return;
  }
}

// Each stream gives the same data and replies (the opening requests first) however it is split:
// byte by byte up to every point, the rest in one piece.
TEST(Telnet, DecodesTheSameAtEverySplit) {
  const std::string opening = DO + BIN + WILL + BIN + DO + SGA;
  struct decode_case {
    telnet_role role;
    std::string in, data, replies;
  };
  const decode_case cases[] = {
      // IAC IAC, CR NUL, CR LF; NOP, AYT and a subnegotiation (with IAC IAC) removed. Refused
      // once per request; not answered: refusals in force or of our own requests, TTYPE SEND
      // while TTYPE is off; a subnegotiation cut short by a request.
      {TELNET_CLIENT,
       "a\xff\xff|\r\0c\r\nd\xff\xf1\xff\xf6|\xff\xfa\x63\xff\xff"s + SE + WILL + "c" + WONT + "c" +
           WONT + "c" + DO + "c" + DONT + "c" + DO + ECH + DONT + BIN + DONT + BIN + WONT + "e" +
           SEND_TT + WILL + "c" + "\xff\xfa\x18\x01" + WILL + "b" + "x",
       "a\xff|\rc\r\nd|x",
       opening + DONT + "c" + WONT + "c" + WONT + ECH + DONT + "c" + DONT + "b"},
      // Our requests answered (no reply), the peer's ECHO and our TTYPE accepted; with the peer
      // sending binary, CR NUL is data.
      {TELNET_CLIENT, WILL + BIN + DO + BIN + WILL + SGA + WILL + ECH + DO + TT + SEND_TT + "\r\0"s,
       "\r\0"s, opening + DO + ECH + WILL + TT + IS_TT + "ANSI" + SE},
      // The answering end offers its ECHO and SGA and asks for BINARY; the caller's ECHO refused.
      {TELNET_SERVER, DO + ECH + WILL + ECH + DO + TT + SEND_TT, "",
       WILL + ECH + WILL + SGA + DO + BIN + WILL + BIN + DONT + ECH + WILL + TT + IS_TT + "VT100" +
           SE},
  };
  for (const decode_case& c : cases) {
    for (size_t split = 0; split <= c.in.size(); ++split) {
      telnet_codec t;
      telnet_start(t, c.role, c.role == TELNET_SERVER ? "VT100" : nullptr);
      std::string data, replies;
      for (size_t i = 0; i < split; ++i) feed(t, c.in.substr(i, 1), data, replies);
      feed(t, c.in.substr(split), data, replies);
      EXPECT_EQ(data, c.data) << split;
      EXPECT_EQ(replies, c.replies) << split;
    }
  }
}

// 0xFF doubled; in NVT mode a CR that no LF follows gets a NUL, also across chunks and when
// flushed; in binary mode (after the peer's DO BINARY) a CR goes alone.
TEST(Telnet, EncodesEscapesAndCarriageReturns) {
  telnet_codec t;
  std::string wire, data, replies;
  auto encode = [&](const char* chunk) {
    char out[16];
    wire.append(out, telnet_encode(t, chunk, strlen(chunk), out, sizeof out).written);
    if (*chunk == '\0') wire.append(out, telnet_flush_pending(t, out, 1));
  };
  for (const char* chunk : {"a\xff|\r\nc\rd", "\r", "\ny\r", "\r", ""}) encode(chunk);
  feed(t, DO + BIN, data, replies);
  for (const char* chunk : {"\rx\xff", ""}) encode(chunk);
  EXPECT_EQ(wire, "a\xff\xff|\r\nc\r\0d\r\ny\r\0\r\0\rx\xff\xff"s);
}

// Thousands of requests, refusals and subnegotiations, in one piece (the decoder stops while the
// replies are full) and a byte at a time: each request refused once, the data after them intact.
TEST(Telnet, NegotiationFloodStaysBounded) {
  std::string flood, expected;
  for (int i = 0; i < 5000; ++i) flood += DO + "c" + DONT + "c" + WILL + "b" + WONT + "b" + SEND_TT;
  for (int i = 0; i < 5000; ++i) expected += WONT + "c" + DONT + "b";
  for (size_t step : {flood.size(), size_t{1}}) {
    telnet_codec t;  // a client that asked for nothing
    std::string data, replies;
    for (size_t i = 0; i < flood.size(); i += step) feed(t, flood.substr(i, step), data, replies);
    feed(t, "end", data, replies);
    EXPECT_EQ(data + replies, "end" + expected);
  }
}

}  // namespace
