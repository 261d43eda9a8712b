#include "core/telnet_layer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/call_link.h"

namespace {

bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

const link_layer& below(const call_link& link, int level) { return *link.layers[level - 1]; }

// Sends bytes [sent, len) of `bytes` to the layer below. 0 when all went, -1 with errno.
int send_below(call_link& link, int level, const char* bytes, int len, int& sent) {
  while (sent < len) {
    ssize_t n =
        below(link, level).write(link, level - 1, bytes + sent, static_cast<size_t>(len - sent));
    if (n <= 0) {
      if (n == 0) errno = EAGAIN;
      return -1;
    }
    sent += static_cast<int>(n);
  }
  return 0;
}

// Sends the replies, then the encoded data. 0 when nothing is left, -1 with errno (EAGAIN:
// later). A connection that failed takes nothing more: what was held for it is dropped, and the
// failure is reported from then on.
int drain(call_link& link, int level) {
  telnet_stream& s = *link.telnet;
  if (s.error != 0) {
    errno = s.error;
    return -1;
  }
  int sent = 0;
  int r = send_below(link, level, s.codec.reply.data(), s.codec.reply_len, sent);
  telnet_replies_sent(s.codec, static_cast<size_t>(sent));
  if (r == 0) r = send_below(link, level, s.out.data(), s.out_len, s.out_sent);
  if (r == 0) {
    s.out_len = 0;
    s.out_sent = 0;
    return 0;
  }
  if (!would_block(errno)) {
    s.error = errno;
    telnet_replies_sent(s.codec, static_cast<size_t>(s.codec.reply_len));
    s.out_len = 0;
    s.out_sent = 0;
  }
  return -1;
}

// Decodes what is held, else what the layer below has, into `buf`; the replies this makes go out
// as far as the socket takes them. Input that is all protocol reads as "nothing now" (EAGAIN).
ssize_t telnet_layer_read(call_link& link, int level, void* buf, size_t len) {
  telnet_stream& s = *link.telnet;
  (void)drain(link, level);  // a failed send shows at the read below or at the next write
  auto* out = static_cast<char*>(buf);
  telnet_moved m;
  if (s.held_len > 0) {
    m = telnet_decode(s.codec, s.held.data(), std::min(static_cast<size_t>(s.held_len), len), out);
    s.held_len -= static_cast<int>(m.used);
    memmove(s.held.data(), s.held.data() + m.used, static_cast<size_t>(s.held_len));
  } else if (!telnet_replies_full(s.codec)) {
    ssize_t n = below(link, level)
                    .read(link, level - 1, buf, std::min(len, static_cast<size_t>(TELNET_CHUNK)));
    if (n <= 0) return n;
    // Decoding never lengthens, so it is done in place; what it did not take is kept.
    m = telnet_decode(s.codec, out, static_cast<size_t>(n), out);
    s.held_len = static_cast<int>(static_cast<size_t>(n) - m.used);
    memcpy(s.held.data(), out + m.used, static_cast<size_t>(s.held_len));
  }
  (void)drain(link, level);
  if (m.written == 0) {
    errno = EAGAIN;
    return -1;
  }
  return static_cast<ssize_t>(m.written);
}

// Takes up to a chunk once everything encoded before has gone: replies go ahead of data.
ssize_t telnet_layer_write(call_link& link, int level, const void* buf, size_t len) {
  telnet_stream& s = *link.telnet;
  if (drain(link, level) != 0) return -1;
  telnet_moved m =
      telnet_encode(s.codec, static_cast<const char*>(buf),
                    std::min(len, static_cast<size_t>(TELNET_CHUNK)), s.out.data(), s.out.size());
  s.out_len = static_cast<int>(m.written);
  s.out_sent = 0;
  (void)drain(link, level);  // taken: a failure shows at the next write
  return static_cast<ssize_t>(m.used);
}

// The socket is read only while the replies have room and nothing is held; it is watched for
// room whenever replies or encoded bytes wait.
int telnet_layer_wants(const call_link& link, int level, int want) {
  const telnet_stream& s = *link.telnet;
  bool readable = (want & LINK_READ) != 0 && !telnet_replies_full(s.codec);
  bool waiting = s.error == 0 && (s.codec.reply_len > 0 || s.out_sent < s.out_len);
  int down = (readable && s.held_len == 0 ? LINK_READ : 0) |
             ((want & LINK_WRITE) != 0 || waiting ? LINK_WRITE : 0);
  int mask = below(link, level).wants(link, level - 1, down);
  if (readable && s.held_len > 0) mask |= LINK_INPUT;
  return mask;
}

int telnet_layer_flush(call_link& link, int level) { return drain(link, level); }

void telnet_layer_close(call_link& link, int level) { below(link, level).close(link, level - 1); }

// A CR that ended the last chunk gets its NUL now that no LF follows it.
void telnet_layer_idle(call_link& link, int level) {
  telnet_stream& s = *link.telnet;
  size_t room = s.out.size() - static_cast<size_t>(s.out_len);
  size_t n = telnet_flush_pending(s.codec, s.out.data() + s.out_len, room);
  if (n == 0) return;
  s.out_len += static_cast<int>(n);
  (void)drain(link, level);
}

constexpr link_layer telnet_layer = {
    .read = telnet_layer_read,
    .write = telnet_layer_write,
    .wants = telnet_layer_wants,
    .flush = telnet_layer_flush,
    .close = telnet_layer_close,
    .idle = telnet_layer_idle,
};

}  // namespace

bool link_start_telnet(call_link& link, telnet_role role, const char* terminal) {
  if (link.depth == 0 || link.depth >= LINK_LAYERS_MAX) return false;
  link.telnet = std::make_unique<telnet_stream>();
  telnet_start(link.telnet->codec, role, terminal);
  link.layers[link.depth++] = &telnet_layer;
  (void)drain(link, link.depth - 1);
  return true;
}
