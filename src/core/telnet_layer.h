// The telnet codec (platform/telnet.h) as the top layer of a call's link on a telnet call: bytes
// from below are decoded for the DTE, the codec's replies going back ahead of anything else;
// the DTE's bytes are encoded behind them. The layer holds at most a chunk of input that the
// codec could not take yet and the encoding of one chunk of output, so a peer that floods
// negotiation or stops reading slows the call but never grows it.
#pragma once

#include <array>

#include "platform/telnet.h"

struct call_link;

// Bytes read from below, or taken from above, at a time.
constexpr int TELNET_CHUNK = 1024;

struct telnet_stream {
  telnet_codec codec;
  // Read from below but not decoded yet: the replies filled up first.
  std::array<char, TELNET_CHUNK> held{};
  int held_len = 0;
  // Encoded for the peer and not sent yet (a chunk takes at most twice its size and a NUL).
  std::array<char, 2 * TELNET_CHUNK + 1> out{};
  int out_len = 0;
  int out_sent = 0;
  int error = 0;  // errno of a send that failed: nothing more is sent
};

// Puts the telnet layer on top of the connected `link` in `role`, answering TTYPE with
// `terminal` (empty: ANSI), and sends its opening requests as far as the socket takes them.
// False when the link has no room for another layer.
bool link_start_telnet(call_link& link, telnet_role role, const char* terminal);
