// Feeds arbitrary peer bytes to the telnet decoder in chunks, with requests of our own between
// them, checking after each call that the codec stays within its bounds and stops only for
// replies that wait; then encodes the input and decodes it on a second codec, in NVT and in
// binary mode, and checks that the same bytes come out.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/telnet.h"

namespace {

void check(bool ok) {
  if (!ok) abort();
}

void check_bounds(const telnet_codec& t) {
  check(t.reply_len >= 0 && t.reply_len <= TELNET_REPLY_SIZE && t.sb_len >= 0 &&
        t.sb_len <= TELNET_SB_MAX && t.rx <= TELNET_RX_SB_IAC);
  // A queue bit only beside WANTNO or WANTYES.
  for (int i = 0; i < 256; ++i) {
    for (uint8_t q : {t.ours[i], t.peers[i]}) check(q < 4 || q == (TELNET_Q_OPPOSITE | (q & 3)));
    for (uint8_t q : {t.ours[i], t.peers[i]}) check(q < 4 || (q & 2) != 0);
  }
}

// Decodes `in` on `t` and returns the data; requests nothing.
std::string decode(telnet_codec& t, const std::string& in) {
  std::string out(in.size(), '\0');
  telnet_moved m = telnet_decode(t, in.data(), in.size(), out.data());
  check(m.used == in.size() && m.written <= m.used);
  return out.substr(0, m.written);
}

// Encodes `data` on `a` in chunks of `chunk` bytes and decodes it on `b`.
void round_trip(telnet_codec& a, telnet_codec& b, const std::string& data, size_t chunk) {
  std::string wire;
  std::vector<char> buf(2 * chunk + 1);
  for (size_t i = 0; i < data.size(); i += chunk) {
    size_t n = std::min(chunk, data.size() - i);
    telnet_moved m = telnet_encode(a, data.data() + i, n, buf.data(), buf.size());
    check(m.used == n && m.written <= 2 * n + 1);
    wire.append(buf.data(), m.written);
  }
  wire.append(buf.data(), telnet_flush_pending(a, buf.data(), buf.size()));
  check(decode(b, wire) == data && b.reply_len == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string input(reinterpret_cast<const char*>(data), size);
  telnet_codec t;
  telnet_start(t, (data[0] & 1) != 0 ? TELNET_SERVER : TELNET_CLIENT, "ANSI");
  std::vector<char> out(64);
  for (size_t i = 1; i < size;) {
    uint8_t op = data[i++];
    if (op >= 0xf0) {  // a request of our own; the option is the next byte
      if (i < size)
        telnet_ask(t, data[i++], (op & 1) != 0 ? TELNET_PEERS : TELNET_OURS, (op & 2) != 0);
    } else {
      size_t n = std::min<size_t>(op % 64, size - i);
      telnet_moved m = telnet_decode(t, input.data() + i, n, out.data());
      check(m.used <= n && m.written <= m.used && (m.used == n || telnet_replies_full(t)));
      i += m.used;
      if (m.used < n || (op & 64) != 0) telnet_replies_sent(t, (op & 128) != 0 ? 3 : t.reply_len);
    }
    check_bounds(t);
  }

  // Two codecs settle their opening requests in two exchanges, then send binary both ways.
  size_t chunk = data[0] / 2 + 1;
  telnet_codec a, b;
  telnet_start(a, TELNET_CLIENT, nullptr);
  telnet_start(b, TELNET_SERVER, nullptr);
  for (int round = 0; round < 2; ++round) {
    for (auto [from, to] : {std::pair(&a, &b), std::pair(&b, &a)}) {
      std::string replies(from->reply.data(), from->reply_len);
      telnet_replies_sent(*from, replies.size());
      check(decode(*to, replies).empty());
    }
  }
  check(a.reply_len == 0 && b.reply_len == 0);
  check(a.ours[TELNET_BINARY] == TELNET_Q_YES && a.peers[TELNET_BINARY] == TELNET_Q_YES);
  check(b.ours[TELNET_BINARY] == TELNET_Q_YES && b.peers[TELNET_BINARY] == TELNET_Q_YES);
  round_trip(a, b, input, chunk);
  round_trip(b, a, input, chunk);
  // Two codecs that never heard from each other stay in NVT mode.
  telnet_start(a, TELNET_CLIENT, nullptr);
  telnet_start(b, TELNET_SERVER, nullptr);
  telnet_replies_sent(a, TELNET_REPLY_SIZE);
  telnet_replies_sent(b, TELNET_REPLY_SIZE);
  round_trip(a, b, input, chunk);
  return 0;
}
