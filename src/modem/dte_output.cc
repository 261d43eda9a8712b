#include "modem/dte_output.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "modem/modem_state.h"
#include "platform/log.h"
#include "platform/system_io.h"

namespace {

bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

void empty_queue(dte_output& out) {
  out.len = 0;
  out.written = 0;
  out.overflowed = false;
}

void enqueue(dte_output& out, const char* bytes, size_t len) {
  if (out.written > 0) {
    memmove(out.buf.data(), out.buf.data() + out.written,
            static_cast<size_t>(out.len - out.written));
    out.len -= out.written;
    out.written = 0;
  }
  size_t room = static_cast<size_t>(DTE_OUTPUT_SIZE - out.len);
  size_t n = std::min(len, room);
  memcpy(out.buf.data() + out.len, bytes, n);
  out.len += static_cast<int>(n);
  if (n < len && !out.overflowed) {
    out.overflowed = true;
    log_msg(4, "serial output queue full (%d bytes): output for the DTE dropped", DTE_OUTPUT_SIZE);
  }
}

}  // namespace

void dte_write(modem_state& ms, const char* bytes, size_t len) {
  if (len == 0) return;
  dte_output& out = ms.dte_out;
  if (out.len == 0) {
    ssize_t n = fd_write(ms.serial_fd.get(), bytes, len);
    if (n < 0) {
      if (!would_block(errno)) return;
      n = 0;
    }
    bytes += n;
    len -= static_cast<size_t>(n);
    if (len == 0) return;
  }
  enqueue(out, bytes, len);
}

void dte_text(modem_state& ms, const char* text) { dte_write(ms, text, strlen(text)); }

void dte_byte(modem_state& ms, unsigned char byte) {
  char c = static_cast<char>(byte);
  dte_write(ms, &c, 1);
}

bool dte_output_held(const modem_state& ms) { return ms.dte_out.len > 0; }

void dte_flush(modem_state& ms) {
  dte_output& out = ms.dte_out;
  if (out.len == 0) return;
  ssize_t n = fd_write(ms.serial_fd.get(), out.buf.data() + out.written,
                       static_cast<size_t>(out.len - out.written));
  if (n < 0) {
    if (!would_block(errno)) empty_queue(out);
    return;
  }
  out.written += static_cast<int>(n);
  if (out.written == out.len) empty_queue(out);
}
