// Bulk data through the built daemon in data mode: megabytes of random bytes each way against a
// slow reader, so that every buffer on the way fills, compared byte for byte at the far end.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "e2e/call_helpers.h"
#include "platform/tls.h"

namespace {

using namespace std::chrono_literals;

constexpr size_t kMiB = 1024 * 1024;
constexpr double kTransferSeconds = 60;
// A slow DTE reads this much a millisecond: not a multiple of the daemon's 1024-byte chunks, so
// that the port often has room for only part of a chunk.
constexpr size_t kDteReadChunk = 3000;
// A transfer that moves no byte for this long has lost data or is stuck.
constexpr auto kStallLimit = std::chrono::seconds(10);

// One side of a transfer on one descriptor (a pty master or a socket): writes `out` as fast as
// the descriptor takes it and reads until `in_expected` bytes have come, at most `read_chunk` per
// read, pausing `pause_after_read` after each read to play a slow reader.
struct pump_job {
  int fd = -1;
  bool is_socket = false;
  std::string_view out = {};
  size_t in_expected = 0;
  size_t read_chunk = 65536;
  std::chrono::microseconds pause_after_read{0};
  size_t write_chunk = 1 << 20;
  std::chrono::microseconds pause_after_write{0};
  // When not 0: after reading for `read_for`, stop reading for `stall_for`.
  std::chrono::milliseconds read_for{0};
  std::chrono::milliseconds stall_for{0};
};

struct pump_report {
  std::string in;
  size_t written = 0;
  double out_seconds = 0;  // from the start until the last byte was written
  double in_seconds = 0;   // from the start until the last expected byte was read
  std::string error;
};

pump_report pump(const pump_job& job, steady_deadline deadline) {
  pump_report r;
  r.in.reserve(job.in_expected);
  std::string buf(job.read_chunk, '\0');
  auto start = std::chrono::steady_clock::now();
  auto last_progress = start;
  auto reading_since = start;
  while (r.written < job.out.size() || r.in.size() < job.in_expected) {
    if (std::chrono::steady_clock::now() - last_progress > kStallLimit) {
      r.error = "no progress for 10 s";
      break;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      r.error = "deadline passed";
      break;
    }
    pollfd pfd{job.fd, 0, 0};
    if (r.written < job.out.size()) pfd.events |= POLLOUT;
    if (r.in.size() < job.in_expected) pfd.events |= POLLIN;
    int n = poll(&pfd, 1, static_cast<int>(std::min<long>(left.count(), 100)));
    if (n < 0 && errno != EINTR) {
      r.error = std::string("poll: ") + strerror(errno);
      break;
    }
    if (n <= 0) continue;
    if ((pfd.revents & POLLOUT) != 0) {
      const char* from = job.out.data() + r.written;
      size_t len = std::min(job.out.size() - r.written, job.write_chunk);
      ssize_t w = job.is_socket ? send(job.fd, from, len, MSG_NOSIGNAL | MSG_DONTWAIT)
                                : write(job.fd, from, len);
      if (w > 0) {
        last_progress = std::chrono::steady_clock::now();
        r.written += static_cast<size_t>(w);
        if (r.written == job.out.size()) r.out_seconds = seconds_since(start);
        if (job.pause_after_write.count() > 0) std::this_thread::sleep_for(job.pause_after_write);
      } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
        r.error = std::string("write: ") + strerror(errno);
        break;
      }
    }
    if ((pfd.revents & (POLLIN | POLLHUP | POLLERR)) != 0 && r.in.size() < job.in_expected) {
      ssize_t got = job.is_socket ? recv(job.fd, buf.data(), buf.size(), MSG_DONTWAIT)
                                  : read(job.fd, buf.data(), buf.size());
      if (got > 0) {
        last_progress = std::chrono::steady_clock::now();
        r.in.append(buf.data(), static_cast<size_t>(got));
        if (r.in.size() >= job.in_expected) r.in_seconds = seconds_since(start);
        if (job.pause_after_read.count() > 0) std::this_thread::sleep_for(job.pause_after_read);
        if (job.read_for.count() > 0 &&
            std::chrono::steady_clock::now() - reading_since >= job.read_for) {
          std::this_thread::sleep_for(job.stall_for);
          reading_since = std::chrono::steady_clock::now();
          last_progress = reading_since;
        }
      } else if (got == 0) {
        r.error = "end of stream";
        break;
      } else if (errno != EAGAIN && errno != EINTR) {
        r.error = std::string("read: ") + strerror(errno);
        break;
      }
    }
  }
  return r;
}

double mib_per_second(size_t bytes, double seconds) {
  return seconds > 0 ? static_cast<double>(bytes) / kMiB / seconds : 0;
}

void report_throughput(const char* name, size_t bytes, double seconds) {
  char text[64];
  snprintf(text, sizeof text, "%.2f", mib_per_second(bytes, seconds));
  printf("[ throughput ] %s: %zu bytes in %.2f s = %s MiB/s\n", name, bytes, seconds, text);
  testing::Test::RecordProperty(name, text);
}

// The settings of a transfer: no escape character can ever match (S2 above 255), and serial
// bytes are sent as soon as they are read.
void use_transfer_settings(sandbox& box) {
  use_call_settings(box);
  box.set("MOD_ORVANE_SREG_ESC", "256");
}

TEST(DataLink, NoByteLostEitherWayWithATestPeer) {
  modem m;
  use_transfer_settings(m.box);
  ASSERT_TRUE(start_modem(m));
  // A small receive buffer at the peer, so that the daemon meets a full socket early and often.
  unique_fd listener = listen_loopback(0, 16 * 1024);
  ASSERT_TRUE(listener.valid());
  ASSERT_TRUE(set_dial_port(m.box, m.d, local_port(listener.get())));
  ASSERT_TRUE(serial_exchange(m.d, kDialLoopback, kDialLoopbackEcho));
  unique_fd peer = accept_within(listener.get(), seconds_from_now(10));
  ASSERT_TRUE(peer.valid());
  ASSERT_TRUE(send_all(peer.get(), "X"));
  ASSERT_TRUE(serial_gets(m.d, kConnect, 10));

  const size_t size = 8 * kMiB;
  {
    SCOPED_TRACE("DTE to a peer that reads 4 KiB a millisecond");
    const std::string data = random_bytes(size, 1);
    pump_report at_peer;
    std::thread reader([&] {
      at_peer = pump({.fd = peer.get(),
                      .is_socket = true,
                      .in_expected = size,
                      .read_chunk = 4096,
                      .pause_after_read = 1ms},
                     seconds_from_now(kTransferSeconds));
    });
    pump_report at_dte =
        pump({.fd = m.box.master_fd(), .out = data}, seconds_from_now(kTransferSeconds));
    reader.join();
    EXPECT_EQ(at_dte.error, "");
    EXPECT_EQ(at_peer.error, "");
    ASSERT_TRUE(at_peer.in == data) << first_difference(at_peer.in, data);
    report_throughput("dte_to_slow_peer_MiB_per_s", size, at_peer.in_seconds);
    EXPECT_EQ(recv_for(peer.get(), 200ms), "");
  }
  {
    SCOPED_TRACE("peer to a DTE that reads 3000 bytes a millisecond");
    const std::string data = random_bytes(size, 2);
    pump_report at_peer;
    std::thread writer([&] {
      at_peer = pump({.fd = peer.get(), .is_socket = true, .out = data},
                     seconds_from_now(kTransferSeconds));
    });
    pump_report at_dte = pump({.fd = m.box.master_fd(),
                               .in_expected = size,
                               .read_chunk = kDteReadChunk,
                               .pause_after_read = 1ms},
                              seconds_from_now(kTransferSeconds));
    writer.join();
    EXPECT_EQ(at_peer.error, "");
    EXPECT_EQ(at_dte.error, "");
    ASSERT_TRUE(at_dte.in == data) << first_difference(at_dte.in, data);
    report_throughput("peer_to_slow_dte_MiB_per_s", size, at_dte.in_seconds);
  }
  {
    // The socket runs nearly empty while the DTE reads and the port fills while it stalls, so
    // writes to the port meet a nearly full port right after odd-sized ones.
    SCOPED_TRACE("peer in odd-sized pieces to a DTE that stalls now and then");
    const std::string data = random_bytes(size / 2, 3);
    pump_report at_peer;
    std::thread writer([&] {
      at_peer = pump({.fd = peer.get(),
                      .is_socket = true,
                      .out = data,
                      .write_chunk = 777,
                      .pause_after_write = 100us},
                     seconds_from_now(kTransferSeconds));
    });
    pump_report at_dte = pump({.fd = m.box.master_fd(),
                               .in_expected = data.size(),
                               .read_chunk = kDteReadChunk,
                               .read_for = 10ms,
                               .stall_for = 30ms},
                              seconds_from_now(kTransferSeconds));
    writer.join();
    EXPECT_EQ(at_peer.error, "");
    EXPECT_EQ(at_dte.error, "");
    ASSERT_TRUE(at_dte.in == data) << first_difference(at_dte.in, data);
  }
  // Nothing more than the data reached the DTE: the hang-up is the next thing it sees.
  peer.reset();
  EXPECT_TRUE(serial_gets(m.d, kNoCarrier, 10));
  EXPECT_FALSE(m.d.has_log("send error: Resource temporarily unavailable")) << m.d.log_text();
  stop_modem(m);
}

// A DTE that writes as fast as its port takes the bytes and reads slowly, so that the port
// towards it fills and its daemon has to hold peer data back.
pump_job slow_dte(modem& m, std::string_view out, size_t in_expected) {
  return {.fd = m.box.master_fd(),
          .out = out,
          .in_expected = in_expected,
          .read_chunk = kDteReadChunk,
          .pause_after_read = std::chrono::milliseconds(1)};
}

// A calls B, encrypted when `certs` names a directory of make_tls_certificates.
void transfer_between_daemons(const std::string& certs) {
  modem a;
  modem b;
  test_port tls_port;
  for (modem* m : {&a, &b}) {
    use_transfer_settings(m->box);
    if (certs.empty()) continue;
    for (const char* key : {"CERT", "KEY"}) {
      m->box.set(std::string("MOD_ORVANE_TLS_") + key,
                 certs + (m == &a ? "/r1." : "/r2.") + (key[0] == 'C' ? "pem" : "key"));
    }
    m->box.set("MOD_ORVANE_TLS_CA", certs + "/ca.pem");
  }
  if (!certs.empty()) {  // the number connect_modems dials is encrypted to B's TLS port
    b.box.set("MOD_ORVANE_TLS_PORT", std::to_string(tls_port.number()));
    a.box.set(
        "MOD_ORVANE_CFG_SCRIPT",
        base64_of("D127000000001:TLS:127000000001:" + std::to_string(tls_port.number()) + "\n"));
  }
  b.box.set("MOD_ORVANE_SREG_AUTO_ANSWER", "1");
  ASSERT_TRUE(start_modem(a));
  ASSERT_TRUE(start_modem(b));
  ASSERT_TRUE(connect_modems(a, b, false));
  auto encrypted = [](const log_line& l) {
    return l.text.find(" encrypted: TLSv1.3") != l.text.npos;
  };
  EXPECT_EQ(a.d.wait_log_if(encrypted, seconds_from_now(certs.empty() ? 0 : 5), "TLS"),
            !certs.empty());
  const char* kind = certs.empty() ? "" : "encrypted_";

  const size_t size = (certs.empty() ? 4 : 16) * kMiB;  // encrypted: many full records
  struct phase {
    const char* name;
    bool slow;
    uint32_t seed;
  };
  // First with DTEs that read as fast as they can (the daemons' own pace), then with slow ones.
  for (const phase& p : {phase{"fast_dtes", false, 3}, phase{"slow_dtes", true, 5}}) {
    SCOPED_TRACE(p.name);
    const std::string from_a = random_bytes(size, p.seed);
    const std::string from_b = random_bytes(size, p.seed + 1);
    auto job = [&](modem& m, const std::string& out) {
      return p.slow ? slow_dte(m, out, size)
                    : pump_job{.fd = m.box.master_fd(), .out = out, .in_expected = size};
    };
    pump_report at_b;
    std::thread b_side([&] { at_b = pump(job(b, from_b), seconds_from_now(kTransferSeconds)); });
    pump_report at_a = pump(job(a, from_a), seconds_from_now(kTransferSeconds));
    b_side.join();
    EXPECT_EQ(at_a.error, "");
    EXPECT_EQ(at_b.error, "");
    ASSERT_TRUE(at_b.in == from_a) << "A to B: " << first_difference(at_b.in, from_a);
    ASSERT_TRUE(at_a.in == from_b) << "B to A: " << first_difference(at_a.in, from_b);
    report_throughput((std::string(kind) + "a_to_b_" + p.name + "_MiB_per_s").c_str(), size,
                      at_b.in_seconds);
    report_throughput((std::string(kind) + "b_to_a_" + p.name + "_MiB_per_s").c_str(), size,
                      at_a.in_seconds);
  }

  // The call ends cleanly and nothing beyond the data reached either DTE.
  ASSERT_TRUE(a.d.send_signal(SIGTERM));
  EXPECT_TRUE(serial_gets(a.d, kNoCarrier, 10));
  EXPECT_EQ(a.d.wait_exit(seconds_from_now(15)), 0);
  EXPECT_TRUE(serial_gets(b.d, kNoCarrier, 10));
  stop_modem(b);
}

TEST(DataLink, NoByteLostBetweenTwoDaemonsBothWaysAtOnce) { transfer_between_daemons(""); }

TEST(DataLink, NoByteLostBetweenTwoEncryptedDaemonsBothWaysAtOnce) {
  if (!tls_built_in()) GTEST_SKIP() << "built without TLS";
  temp_dir certs;
  ASSERT_TRUE(make_tls_certificates(certs.path()));
  transfer_between_daemons(certs.path());
}

}  // namespace
