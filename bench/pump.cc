// Data pumps for bench/run: drives a bridge between a pty master (the DTE side) and a TCP
// socket (the peer side), both inherited as descriptors, and prints one JSON object.
//
//   pump bulk SRC DST BYTES [RATE_BYTES_PER_S READ_CHUNK]
//       writes BYTES of a fixed pseudo-random stream into SRC, reads DST until as many came out,
//       then compares count and FNV-1a hash; with RATE, DST is read no faster than that.
//   pump rtt DTE TCP SIZE COUNT
//       writes SIZE bytes to DTE, echoes whatever reaches TCP back into it, waits until the SIZE
//       bytes are back at DTE; COUNT round trips after a short warm-up.
//   pump pace SRC DST RATE_BYTES_PER_S SECONDS
//       writes into SRC at RATE for SECONDS, every millisecond the bytes then due (the way a
//       serial port hands over what its line brought), reads DST until all of them came out and
//       compares them as bulk does.
//   pump split DTE TCP PIECES PIECE_GAP_MS COUNT
//       writes PIECES bytes one at a time PIECE_GAP_MS apart, then times the wait from the last
//       byte until all of them have reached TCP; COUNT bursts.
//
// Timing uses CLOCK_MONOTONIC; every wait has a deadline, so a bridge that loses or holds bytes
// makes a report, not a hang.
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// A prime block length, so that a stream shifted by a whole number of blocks does not compare
// equal by accident.
constexpr size_t PATTERN_SIZE = 1048573;
constexpr size_t IO_CHUNK = 65536;
constexpr int STALL_MS = 5000;
constexpr int RTT_DEADLINE_MS = 3000;
constexpr int WARMUP_ROUNDS = 20;

double now_sec() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::vector<unsigned char> make_pattern() {
  std::vector<unsigned char> block(PATTERN_SIZE);
  uint64_t x = 0x9e3779b97f4a7c15ULL;
  for (unsigned char& b : block) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    b = static_cast<unsigned char>(x >> 24);
  }
  return block;
}

uint64_t fnv1a(uint64_t h, const unsigned char* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    h ^= p[i];
    h *= 0x100000001b3ULL;
  }
  return h;
}

constexpr uint64_t FNV_START = 0xcbf29ce484222325ULL;

uint64_t stream_hash(const std::vector<unsigned char>& block, size_t total) {
  uint64_t h = FNV_START;
  for (size_t done = 0; done < total;) {
    size_t n = std::min(PATTERN_SIZE, total - done);
    h = fnv1a(h, block.data(), n);
    done += n;
  }
  return h;
}

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

bool transient(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

int ms_until(double deadline) {
  double left = deadline - now_sec();
  if (left <= 0) return 0;
  return static_cast<int>(left * 1000.0) + 1;
}

// Prints the JSON result of a transfer: counts, hashes, first mismatch. `got` has room past
// `total`, so that extra bytes from a faulty bridge are counted, not overflowed.
void report_transfer(const std::vector<unsigned char>& block, std::vector<unsigned char>& got,
                     int dst, size_t sent, size_t received, size_t total, double seconds,
                     const char* error) {
  uint64_t sent_hash = stream_hash(block, total);
  // Bytes beyond the expected count would show a faulty bridge: look briefly for any.
  if (received == total) {
    pollfd extra = {dst, POLLIN, 0};
    if (poll(&extra, 1, 50) > 0 && (extra.revents & POLLIN) != 0) {
      ssize_t r = read(dst, got.data() + received, got.size() - received);
      if (r > 0) received += static_cast<size_t>(r);
    }
  }
  uint64_t got_hash = fnv1a(FNV_START, got.data(), std::min(received, got.size()));
  long long mismatch = -1;
  for (size_t i = 0; i < std::min(received, total); ++i) {
    if (got[i] != block[i % PATTERN_SIZE]) {
      mismatch = static_cast<long long>(i);
      break;
    }
  }
  bool exact = received == total && got_hash == sent_hash && mismatch < 0;
  std::printf(
      "{\"sent\": %zu, \"received\": %zu, \"hash_sent\": \"%016llx\", \"hash_received\": "
      "\"%016llx\", \"first_mismatch\": %lld, \"exact\": %s, \"seconds\": %.6f, \"error\": "
      "\"%s\"}\n",
      sent, received, static_cast<unsigned long long>(sent_hash),
      static_cast<unsigned long long>(got_hash), mismatch, exact ? "true" : "false", seconds,
      error);
}

int run_bulk(int src, int dst, size_t total, double rate, size_t read_chunk) {
  std::vector<unsigned char> block = make_pattern();
  std::vector<unsigned char> got(total + IO_CHUNK);
  size_t sent = 0;
  size_t received = 0;
  bool eof = false;
  const char* error = "";
  double start = now_sec();
  double last_progress = start;
  double finish = start;
  while (received < total && !eof) {
    double now = now_sec();
    if (now - last_progress > STALL_MS / 1000.0) {
      error = "stalled";
      break;
    }
    bool may_read = true;
    int timeout = STALL_MS;
    if (rate > 0) {
      double due = start + static_cast<double>(received) / rate;
      if (due > now) {
        may_read = false;
        timeout = std::max(1, static_cast<int>((due - now) * 1000.0));
      }
    }
    pollfd fds[2] = {{src, sent < total ? short(POLLOUT) : short(0), 0},
                     {dst, may_read ? short(POLLIN) : short(0), 0}};
    int n = poll(fds, 2, timeout);
    if (n < 0 && errno != EINTR) {
      error = "poll failed";
      break;
    }
    if (n <= 0) continue;
    if ((fds[0].revents & (POLLOUT | POLLERR | POLLHUP)) != 0 && sent < total) {
      size_t off = sent % PATTERN_SIZE;
      size_t len = std::min({IO_CHUNK, PATTERN_SIZE - off, total - sent});
      ssize_t w = write(src, block.data() + off, len);
      if (w > 0) {
        sent += static_cast<size_t>(w);
      } else if (w < 0 && !transient(errno)) {
        error = "write failed";
        break;
      }
    }
    if ((fds[1].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
      size_t len = std::min(read_chunk, got.size() - received);
      ssize_t r = read(dst, got.data() + received, len);
      if (r > 0) {
        received += static_cast<size_t>(r);
        last_progress = finish = now_sec();
        if (received >= got.size()) break;
      } else if (r == 0 || (r < 0 && !transient(errno))) {
        eof = true;
        error = "end of stream";
      }
    }
  }
  report_transfer(block, got, dst, sent, received, total, finish - start, error);
  return 0;
}

// A serial line at RATE: every TICK the bytes that came in since are written at once.
constexpr double PACE_TICK_S = 0.001;

int run_pace(int src, int dst, double rate, double seconds) {
  std::vector<unsigned char> block = make_pattern();
  auto total = static_cast<size_t>(rate * seconds);
  std::vector<unsigned char> got(total + IO_CHUNK);
  size_t sent = 0;
  size_t received = 0;
  const char* error = "";
  double start = now_sec();
  double last_progress = start;
  double next_tick = start;
  while (received < total) {
    double now = now_sec();
    if (now - last_progress > STALL_MS / 1000.0) {
      error = "stalled";
      break;
    }
    if (sent < total && now >= next_tick) {
      size_t due = std::min(total, static_cast<size_t>((now - start) * rate));
      while (sent < due) {
        size_t off = sent % PATTERN_SIZE;
        size_t len = std::min(PATTERN_SIZE - off, due - sent);
        ssize_t w = write(src, block.data() + off, len);
        if (w <= 0) break;  // a full buffer: the rest waits for the next tick
        sent += static_cast<size_t>(w);
      }
      next_tick += PACE_TICK_S;
      if (next_tick < now) next_tick = now + PACE_TICK_S;
    }
    double wait = sent < total ? next_tick - now_sec() : STALL_MS / 1000.0;
    wait = std::max(0.0, wait);
    auto whole = static_cast<time_t>(wait);
    timespec ts{whole, static_cast<long>((wait - static_cast<double>(whole)) * 1e9)};
    pollfd fd = {dst, POLLIN, 0};
    int n = ppoll(&fd, 1, &ts, nullptr);
    if (n <= 0 || (fd.revents & (POLLIN | POLLERR | POLLHUP)) == 0) continue;
    ssize_t r = read(dst, got.data() + received, got.size() - received);
    if (r > 0) {
      received += static_cast<size_t>(r);
      last_progress = now_sec();
    } else if (r == 0 || !transient(errno)) {
      error = "end of stream";
      break;
    }
  }
  report_transfer(block, got, dst, sent, received, total, now_sec() - start, error);
  return 0;
}

// Reads exactly `want` bytes from fd into buf, echoing whatever arrives on `echo_fd` back into
// it meanwhile. Returns false at the deadline.
bool await_echoed(int dte, int tcp, unsigned char* buf, size_t want, double deadline) {
  unsigned char echo[4096];
  size_t have = 0;
  while (have < want) {
    int timeout = ms_until(deadline);
    if (timeout == 0) return false;
    pollfd fds[2] = {{dte, POLLIN, 0}, {tcp, POLLIN, 0}};
    if (poll(fds, 2, timeout) <= 0) continue;
    if ((fds[1].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
      ssize_t r = read(tcp, echo, sizeof echo);
      if (r == 0) return false;
      for (ssize_t done = 0; r > 0 && done < r;) {
        ssize_t w = write(tcp, echo + done, static_cast<size_t>(r - done));
        if (w > 0) {
          done += w;
        } else if (w < 0 && !transient(errno)) {
          return false;
        }
      }
    }
    if ((fds[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
      ssize_t r = read(dte, buf + have, want - have);
      if (r > 0) {
        have += static_cast<size_t>(r);
      } else if (r == 0 || !transient(errno)) {
        return false;
      }
    }
  }
  return true;
}

void print_stats(const char* name, std::vector<double>& us) {
  std::sort(us.begin(), us.end());
  auto at = [&](double q) {
    if (us.empty()) return -1.0;
    size_t i = static_cast<size_t>(q * static_cast<double>(us.size() - 1) + 0.5);
    return us[std::min(i, us.size() - 1)];
  };
  double sum = 0;
  for (double v : us) sum += v;
  std::printf(
      "\"%s\": {\"n\": %zu, \"median\": %.1f, \"p99\": %.1f, \"min\": %.1f, \"max\": %.1f, ", name,
      us.size(), at(0.5), at(0.99), at(0.0), at(1.0));
  std::printf("\"mean\": %.1f}", us.empty() ? -1.0 : sum / static_cast<double>(us.size()));
}

int run_rtt(int dte, int tcp, size_t size, int count) {
  std::vector<unsigned char> block = make_pattern();
  std::vector<unsigned char> back(size);
  std::vector<double> us;
  int failed = 0;
  int corrupt = 0;
  for (int i = -WARMUP_ROUNDS; i < count; ++i) {
    const unsigned char* out =
        block.data() + (static_cast<size_t>(i + WARMUP_ROUNDS) * 7919) % (PATTERN_SIZE - size);
    double t0 = now_sec();
    ssize_t w = write(dte, out, size);
    if (w != static_cast<ssize_t>(size)) {
      failed++;
      break;
    }
    if (!await_echoed(dte, tcp, back.data(), size, t0 + RTT_DEADLINE_MS / 1000.0)) {
      failed++;
      break;
    }
    double t1 = now_sec();
    if (std::memcmp(out, back.data(), size) != 0) corrupt++;
    if (i >= 0) us.push_back((t1 - t0) * 1e6);
  }
  std::printf("{\"size\": %zu, \"failed\": %d, \"corrupt\": %d, \"samples_us\": [", size, failed,
              corrupt);
  for (size_t i = 0; i < us.size(); ++i) std::printf("%s%.1f", i == 0 ? "" : ", ", us[i]);
  std::printf("], ");
  print_stats("us", us);
  std::printf("}\n");
  return 0;
}

int run_split(int dte, int tcp, int pieces, int gap_ms, int count) {
  std::vector<double> delay_us;
  std::vector<int> segments;
  int failed = 0;
  unsigned char buf[4096];
  for (int i = 0; i < count; ++i) {
    double last = 0;
    for (int p = 0; p < pieces; ++p) {
      if (p > 0) {
        timespec gap{gap_ms / 1000, (gap_ms % 1000) * 1000000L};
        nanosleep(&gap, nullptr);
      }
      unsigned char byte = static_cast<unsigned char>('a' + p % 26);
      if (write(dte, &byte, 1) != 1) failed++;
      last = now_sec();
    }
    int have = 0;
    int reads = 0;
    double arrived = 0;
    double deadline = last + 5.0;
    while (have < pieces) {
      int timeout = ms_until(deadline);
      if (timeout == 0) break;
      pollfd fd = {tcp, POLLIN, 0};
      if (poll(&fd, 1, timeout) <= 0) continue;
      ssize_t r = read(tcp, buf, sizeof buf);
      if (r <= 0) {
        if (r < 0 && transient(errno)) continue;
        break;
      }
      have += static_cast<int>(r);
      reads++;
      arrived = now_sec();
    }
    if (have != pieces) {
      failed++;
      break;
    }
    delay_us.push_back((arrived - last) * 1e6);
    segments.push_back(reads);
    timespec pause{0, 30 * 1000000L};
    nanosleep(&pause, nullptr);
  }
  std::printf("{\"failed\": %d, \"delays_us\": [", failed);
  for (size_t i = 0; i < delay_us.size(); ++i) {
    std::printf("%s%.1f", i == 0 ? "" : ", ", delay_us[i]);
  }
  std::printf("], \"reads\": [");
  for (size_t i = 0; i < segments.size(); ++i) std::printf("%s%d", i == 0 ? "" : ", ", segments[i]);
  std::printf("]}\n");
  return 0;
}

int usage() {
  std::fprintf(stderr,
               "usage: pump bulk SRC DST BYTES [RATE READ_CHUNK] | rtt DTE TCP SIZE COUNT | "
               "pace SRC DST RATE SECONDS | split DTE TCP PIECES GAP_MS COUNT\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return usage();
  int a = std::atoi(argv[2]);
  int b = std::atoi(argv[3]);
  set_nonblocking(a);
  set_nonblocking(b);
  if (std::strcmp(argv[1], "bulk") == 0 && (argc == 5 || argc == 7)) {
    double rate = argc == 7 ? std::atof(argv[5]) : 0.0;
    size_t chunk = argc == 7 ? std::strtoull(argv[6], nullptr, 10) : IO_CHUNK;
    return run_bulk(a, b, std::strtoull(argv[4], nullptr, 10), rate, chunk);
  }
  if (std::strcmp(argv[1], "rtt") == 0 && argc == 6) {
    return run_rtt(a, b, std::strtoull(argv[4], nullptr, 10), std::atoi(argv[5]));
  }
  if (std::strcmp(argv[1], "pace") == 0 && argc == 6) {
    return run_pace(a, b, std::atof(argv[4]), std::atof(argv[5]));
  }
  if (std::strcmp(argv[1], "split") == 0 && argc == 7) {
    return run_split(a, b, std::atoi(argv[4]), std::atoi(argv[5]), std::atoi(argv[6]));
  }
  return usage();
}
