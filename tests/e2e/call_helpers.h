// Loopback TCP peers and call set-up steps shared by the call and data-link tests: a test stands
// in for the far daemon (listening for a dial, or calling the daemon's port) and checks the bytes
// on both the serial line and the socket.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "e2e/daemon_harness.h"
#include "platform/unique_fd.h"

// The result code of a call reaching data mode at 115200 baud, and the dial of 127.0.0.1.
inline constexpr std::string_view kConnect = "CONNECT 115200\r\n";
inline constexpr std::string_view kNoCarrier = "NO CARRIER\r\n";
inline constexpr std::string_view kDialLoopback = "ATD127000000001\r";
inline constexpr std::string_view kDialLoopbackEcho = "ATD127000000001\r\n";

// Settings every call test starts from: the DTR watch off (a pty has no modem lines) and
// forwarding without delay; the caller adds its own keys.
void use_call_settings(sandbox& box);

// A socket listening on 127.0.0.1:`port` (0 picks a free port) with SO_REUSEADDR; `rcvbuf` > 0
// sets SO_RCVBUF first, which accepted sockets inherit. Empty on failure (a test failure is
// recorded).
unique_fd listen_loopback(int port, int rcvbuf = 0);
// The local port of a bound socket, -1 on failure.
int local_port(int sock);
// One accepted connection (blocking), or empty when none arrives by the deadline.
unique_fd accept_within(int listener, steady_deadline deadline);
// A blocking connection to 127.0.0.1:`port`, bound first to `source` (e.g. "127.0.0.2") when
// given; to [::1]:`port` when `source` is an IPv6 address ("::1"). Empty on failure (a test
// failure is recorded).
unique_fd connect_loopback(int port, const char* source = nullptr);

// Sends every byte; false on an error.
bool send_all(int sock, std::string_view bytes);
// Receives until `expected` appears, the peer closes, an error or the deadline; returns
// everything received.
std::string recv_until(int sock, std::string_view expected, steady_deadline deadline);
// Everything that arrives within `duration` (stops early at end of stream).
std::string recv_for(int sock, std::chrono::milliseconds duration);
// True when the other end closes (end of stream or a reset) before the deadline; bytes that
// arrive before are discarded.
bool wait_peer_closed(int sock, steady_deadline deadline);
// Closes with a reset (SO_LINGER 0) instead of an orderly end of stream.
void close_with_reset(unique_fd& sock);

// Reads the DTE side until `expected` has arrived and checks that nothing else came with it.
testing::AssertionResult serial_gets(daemon_process& d, std::string_view expected,
                                     double seconds = 5);
// Types `typed` on the DTE side, then checks as serial_gets.
testing::AssertionResult serial_exchange(daemon_process& d, std::string_view typed,
                                         std::string_view expected, double seconds = 5);
// Points the daemon's dial port at `port`: rewrites the settings file and types ATZ.
testing::AssertionResult set_dial_port(sandbox& box, daemon_process& d, int port);

// One daemon under a sandbox of its own.
struct modem {
  sandbox box;
  daemon_process d{box};
};
// Starts the daemon and waits until it listens and handles signals.
testing::AssertionResult start_modem(modem& m);
// Stops a running daemon with SIGTERM and expects exit status 0.
void stop_modem(modem& m);
// Sets up a call between two running daemons: the caller's dial port is pointed at the callee's
// listening port and 127.0.0.1 is dialled; the callee answers by ATA when `answer_with_ata`, else
// by itself (S0 must then be 1). Both DTEs end with CONNECT and nothing else.
testing::AssertionResult connect_modems(modem& caller, modem& callee, bool answer_with_ata);

// Reproducible pseudo-random bytes.
std::string random_bytes(size_t count, uint32_t seed);
// Where two byte strings first differ, with their sizes, for failure messages.
std::string first_difference(const std::string& got, const std::string& want);
