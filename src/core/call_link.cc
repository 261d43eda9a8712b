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

}  // namespace

const link_kind plain_link = {
    .read = plain_read,
    .write = plain_write,
    .close = plain_close,
    .wants = plain_wants,
};
