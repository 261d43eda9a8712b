#include "platform/telnet.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
enum : int { NOP = 241, AYT = 246, SB = 250, WILL, WONT, DO, DONT, IAC, SE = 240 };

std::string iac(std::initializer_list<int> rest) {
  std::string s(1, '\xff');
  for (int b : rest) s.push_back(static_cast<char>(b));
  return s;
}
const std::string SEND_TTYPE = iac({SB, TELNET_TTYPE, 1}) + iac({SE});

// Decodes one piece into data and replies (taken at once, as the layer sends them).
void feed(telnet_codec& t, const std::string& piece, std::string& data, std::string& replies) {
  std::vector<char> out(piece.size());
  telnet_moved m = telnet_decode(t, piece.data(), piece.size(), out.data());
  EXPECT_EQ(m.used, piece.size());
  data.append(out.data(), m.written);
  replies.append(t.reply.data(), t.reply_len);
  telnet_replies_sent(t, t.reply_len);
}

TEST(Telnet, OpeningRequestsOfEachRole) {
  telnet_codec t;
  telnet_start(t, TELNET_CLIENT, nullptr);
  EXPECT_EQ(std::string(t.reply.data(), t.reply_len), iac({DO, 0}) + iac({WILL, 0}) + iac({DO, 3}));
  telnet_start(t, TELNET_SERVER, "VT100");
  EXPECT_EQ(std::string(t.reply.data(), t.reply_len),
            iac({WILL, 1}) + iac({WILL, 3}) + iac({DO, 0}) + iac({WILL, 0}));
}

// Each stream gives the same data and replies however it is split: in two at every point, and
// one byte at a time.
TEST(Telnet, DecodesTheSameAtEverySplit) {
  struct decode_case {
    telnet_role role;
    std::string in, data, replies;
  };
  const decode_case cases[] = {
      // IAC IAC, CR NUL, CR LF; commands and an unknown subnegotiation removed.
      {TELNET_CLIENT,
       "a" + iac({IAC}) + "b\r\0c\r\nd"s + iac({NOP}) + iac({AYT}) + "e" +
           iac({SB, 99, 1, IAC, IAC}) + iac({SE}) + "f",
       "a\xff"
       "b\rc\r\ndef",
       ""},
      // Our own requests answered (no reply), the peer's ECHO and our TTYPE accepted; with the
      // peer sending binary, CR NUL is data.
      {TELNET_CLIENT,
       iac({WILL, 0}) + iac({DO, 0}) + iac({WILL, 3}) + iac({WILL, 1}) + iac({DO, 24}) +
           SEND_TTYPE + "\r\0"s,
       "\r\0"s, iac({DO, 1}) + iac({WILL, 24}) + iac({SB, 24, 0}) + "ANSI" + iac({SE})},
      // Refused once per request; refusals in force (also of our own requests) never answered;
      // TTYPE SEND unanswered while TTYPE is off; a subnegotiation cut short by a command.
      {TELNET_CLIENT,
       iac({WILL, 99}) + iac({WONT, 99}) + iac({WONT, 99}) + iac({DO, 37}) + iac({DONT, 37}) +
           iac({DO, 1}) + iac({DONT, 0}) + iac({DONT, 0}) + iac({WONT, 5}) + SEND_TTYPE +
           iac({WILL, 99}) + iac({SB, 24, 1}) + iac({WILL, 98}) + "x",
       "x", iac({DONT, 99}) + iac({WONT, 37}) + iac({WONT, 1}) + iac({DONT, 99}) + iac({DONT, 98})},
      // The answering end echoes, the caller may not.
      {TELNET_SERVER, iac({DO, 1}) + iac({WILL, 1}) + iac({DO, 24}) + SEND_TTYPE, "",
       iac({DONT, 1}) + iac({WILL, 24}) + iac({SB, 24, 0}) + "VT100" + iac({SE})},
  };
  for (const decode_case& c : cases) {
    for (size_t split = 0; split <= c.in.size() + 1; ++split) {
      telnet_codec t;
      telnet_start(t, c.role, c.role == TELNET_SERVER ? "VT100" : nullptr);
      telnet_replies_sent(t, TELNET_REPLY_SIZE);
      std::string data, replies;
      if (split > c.in.size()) {
        for (char b : c.in) feed(t, std::string(1, b), data, replies);
      } else {
        feed(t, c.in.substr(0, split), data, replies);
        feed(t, c.in.substr(split), data, replies);
      }
      EXPECT_EQ(data, c.data) << split;
      EXPECT_EQ(replies, c.replies) << split;
    }
  }
}

// 0xFF doubled; in NVT mode a CR that no LF follows gets its NUL, also across chunks and when
// the chunk ends; in binary mode CR is sent alone.
TEST(Telnet, EncodesEscapesAndCarriageReturns) {
  struct encode_case {
    bool binary;
    std::vector<std::string> chunks;
    std::string out;
  };
  const encode_case cases[] = {
      {false,
       {"a\xff"
        "b\r\nc\rd",
        "\r", "\ny\r", "\r", ""},
       "a\xff\xff"
       "b\r\nc\r\0d\r\ny\r\0\r\0"s},
      {true, {"\r", "x\r\0\xff"s, ""}, "\rx\r\0\xff\xff"s},
  };
  for (const encode_case& c : cases) {
    telnet_codec t;
    telnet_start(t, TELNET_CLIENT, nullptr);
    std::string data, replies, out;
    if (c.binary) feed(t, iac({DO, 0}), data, replies);
    for (const std::string& chunk : c.chunks) {
      std::vector<char> buf(2 * chunk.size() + 1);
      telnet_moved m = telnet_encode(t, chunk.data(), chunk.size(), buf.data(), buf.size());
      EXPECT_EQ(m.used, chunk.size());
      out.append(buf.data(), m.written);
      if (chunk.empty()) out.append(buf.data(), telnet_flush_pending(t, buf.data(), 1));
    }
    EXPECT_EQ(out, c.out);
  }
}

// Thousands of requests, refusals and subnegotiations, one byte at a time: each request is
// refused once, the replies never outgrow their buffer (the decoder waits for them to drain)
// and the data after the flood comes through.
TEST(Telnet, NegotiationFloodStaysBounded) {
  const std::string round = iac({DO, 99}) + iac({DONT, 99}) + iac({WILL, 98}) + iac({WONT, 98}) +
                            SEND_TTYPE + iac({WONT, 98}) + iac({DONT, 99});
  std::string stream, data, replies;
  for (int i = 0; i < 5000; ++i) stream += round;
  stream += "end";
  telnet_codec t;
  telnet_start(t, TELNET_CLIENT, nullptr);
  telnet_replies_sent(t, TELNET_REPLY_SIZE);
  int drained = 0;
  for (size_t i = 0; i < stream.size();) {
    char out = 0;
    telnet_moved m = telnet_decode(t, &stream[i], 1, &out);
    data.append(&out, m.written);
    i += m.used;
    if (m.used == 0) {
      ASSERT_TRUE(telnet_replies_full(t));
      replies.append(t.reply.data(), t.reply_len);
      telnet_replies_sent(t, t.reply_len);
      ++drained;
    }
  }
  replies.append(t.reply.data(), t.reply_len);
  std::string expected;
  for (int i = 0; i < 5000; ++i) expected += iac({WONT, 99}) + iac({DONT, 98});
  EXPECT_EQ(data, "end");
  EXPECT_EQ(replies, expected);
  EXPECT_GT(drained, 50);
}

}  // namespace
