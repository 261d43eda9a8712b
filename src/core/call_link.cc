#include "core/call_link.h"

#include "platform/sockets.h"

namespace {

ssize_t plain_read(call_link& link, void* buf, size_t len) {
  return recv_bytes(link.sock.get(), buf, len);
}

ssize_t plain_write(call_link& link, const void* buf, size_t len) {
  return send_bytes(link.sock.get(), buf, len);
}

void plain_close(call_link& link) { close_socket(link.sock); }

// Peer bytes not yet written to the port hold the peer back; a held send waits for room.
int plain_wants(const call_link& link) {
  if (!link.sock.valid()) return 0;
  return (link.in_len == 0 ? LINK_WANTS_READ : 0) |
         (serial_send_pending(link) ? LINK_WANTS_WRITE : 0);
}

int plain_flush(call_link&) { return 0; }

ssize_t tls_link_read(call_link& link, void* buf, size_t len) {
  return tls_read(link.tls, buf, len);
}

ssize_t tls_link_write(call_link& link, const void* buf, size_t len) {
  return tls_write(link.tls, buf, len);
}

// Says goodbye (close_notify) if the socket takes it at once, then closes; the link is plain
// again for the next call.
void tls_link_close(call_link& link) {
  tls_end(link.tls);
  close_socket(link.sock);
  link.kind = &plain_link;
}

// Interest follows what the session needs: encrypted output it holds waits for room whatever
// the serial side does, and decrypted bytes it holds are read without waiting.
int tls_link_wants(const call_link& link) {
  if (!link.sock.valid()) return 0;
  int tls = tls_wants(link.tls);
  int wants = 0;
  if (link.in_len == 0) {
    wants |= LINK_WANTS_READ;
    if ((tls & TLS_HAS_INPUT) != 0) wants |= LINK_HAS_INPUT;
  }
  if (serial_send_pending(link) || (tls & TLS_WANTS_WRITE) != 0) wants |= LINK_WANTS_WRITE;
  return wants;
}

int tls_link_flush(call_link& link) { return tls_flush(link.tls); }

}  // namespace

const link_kind plain_link = {
    .read = plain_read,
    .write = plain_write,
    .close = plain_close,
    .wants = plain_wants,
    .flush = plain_flush,
};

const link_kind tls_link = {
    .read = tls_link_read,
    .write = tls_link_write,
    .close = tls_link_close,
    .wants = tls_link_wants,
    .flush = tls_link_flush,
};
