// Output for the DTE (echo, result codes, information texts, RING, CONNECT): written at once
// while the line takes it, queued in order while it does not (the DTE holds XOFF or CTS, or
// reads slowly), and flushed when the port is writable. Peer bytes in data mode wait behind it.
#pragma once

#include <array>
#include <cstddef>

constexpr int DTE_OUTPUT_SIZE = 4096;

struct modem_state;

// The queue; lives in the modem record.
struct dte_output {
  std::array<char, DTE_OUTPUT_SIZE> buf{};
  int len = 0;      // bytes queued in buf
  int written = 0;  // of those, bytes already written to the port
  // Output was dropped since the queue last ran empty (logged once for such a stretch).
  bool overflowed = false;
};

// Writes `len` bytes to the serial port, after whatever is queued. What the port does not take
// now (EAGAIN, a short write) is queued; beyond DTE_OUTPUT_SIZE queued bytes the newest are
// dropped, with one level-4 line until the queue has run empty. Any other write failure drops
// the bytes, as the port has failed.
void dte_write(modem_state& ms, const char* bytes, size_t len);
// The text without its NUL / one byte.
void dte_text(modem_state& ms, const char* text);
void dte_byte(modem_state& ms, unsigned char byte);

// True while bytes wait for the port.
bool dte_output_held(const modem_state& ms);

// Writes queued bytes (called when the port is writable). A failed write other than EAGAIN
// drops the queue.
void dte_flush(modem_state& ms);
