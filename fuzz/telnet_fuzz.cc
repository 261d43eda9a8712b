// Feeds arbitrary peer bytes to the telnet decoder in chunks, with requests of our own between
// them, checking the codec's bounds after each call; then sends the input from one codec to
// another, in binary and in NVT mode, and checks that it comes through unchanged.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/telnet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  auto check = [](bool ok) {
    if (!ok) abort();
  };
  std::string in(reinterpret_cast<const char*>(data), size), out(64, '\0');
  telnet_codec t;
  telnet_start(t, static_cast<telnet_role>(data[0] & 1),
               "ABCDEFGHIJKLMNOPQRSTUVWXYZ-0123456789/AB");
  for (size_t i = 1; i < size;) {
    uint8_t op = data[i++];
    if (op >= 0xf0 && i < size) {  // a request of our own for the option in the next byte
      telnet_ask(t, data[i++], static_cast<telnet_side>(op & 1), (op & 2) != 0);
    } else {  // a chunk of up to 63 bytes; the replies (or 3 bytes of them) sent after it
      size_t n = std::min<size_t>(op % 64, size - i);
      telnet_moved m = telnet_decode(t, &in[i], n, out.data());
      check(m.written <= m.used && (m.used == n || telnet_replies_full(t)));
      i += m.used;
      if (m.used < n || (op & 64) != 0) telnet_replies_sent(t, (op & 128) != 0 ? 3 : 512);
    }
    check(t.reply_len <= TELNET_REPLY_SIZE && t.sb_len <= TELNET_SB_MAX &&
          t.rx <= TELNET_RX_SB_IAC);
  }
  for (int o = 0; o < 256; ++o) {  // a queue bit only beside WANTNO (2) or WANTYES (3)
    for (uint8_t q : {t.ours[o], t.peers[o]}) check(q < 4 || q == 6 || q == 7);
  }
  telnet_codec a, b, c, d;  // a to b in binary mode, c to d in NVT mode
  a.ours[TELNET_BINARY] = b.peers[TELNET_BINARY] = TELNET_Q_YES;
  for (auto [from, to] : {std::pair(&a, &b), std::pair(&c, &d)}) {
    std::string wire(2 * size + 1, '\0');
    size_t cut = data[0] % size;  // the CR NUL decision carried from one chunk to the next
    telnet_moved m1 = telnet_encode(*from, in.data(), cut, wire.data(), wire.size());
    telnet_moved m2 =
        telnet_encode(*from, &in[cut], size - cut, &wire[m1.written], wire.size() - m1.written);
    size_t n = m1.written + m2.written;
    n += telnet_flush_pending(*from, &wire[n], wire.size() - n);
    telnet_moved back = telnet_decode(*to, wire.data(), n, wire.data());
    check(m1.used + m2.used == size && back.used == n && wire.substr(0, back.written) == in);
  }
  return 0;
}
