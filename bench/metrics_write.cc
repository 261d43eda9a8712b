// The cost of the metrics file and of a call's record in the loop's pass: writes DIR/orvaned.prom
// COUNT times with the daemon's own metrics_write (the content of a daemon that has ended calls
// of every result), or with "records" ends COUNT calls whose records are logged (level 6) and
// appended to DIR/calls.csv. Prints the wall-clock time of the median, 99th percentile and worst
// write, the CPU time of one, in microseconds, and the bytes this process had written to storage
// (/proc/self/io) per write, as one JSON object. Built by hand against a build's libraries:
//
//   g++ -std=c++20 -O2 -Isrc -DORVANED_HAVE_TLS=1 bench/metrics_write.cc -Lbuild \
//       -lorvane_core -lorvane_at -lorvane_modem -lorvane_config -lorvane_platform -lcares \
//       -lssl -lcrypto -o build/bench-metrics
//   build/bench-metrics DIR COUNT [records]
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "core/call_control.h"
#include "core/loop_state.h"
#include "core/metrics.h"
#include "modem/modem_state.h"
#include "platform/log.h"

namespace {

int64_t usec(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return int64_t{t.tv_sec} * 1000000 + t.tv_nsec / 1000;
}

// write_bytes of /proc/self/io: what this process has sent to storage.
long long storage_bytes() {
  long long bytes = 0;
  FILE* io = fopen("/proc/self/io", "r");
  char line[128];
  while (io != nullptr && fgets(line, sizeof line, io) != nullptr) {
    if (strncmp(line, "write_bytes:", 12) == 0) bytes = atoll(line + 12);
  }
  if (io != nullptr) fclose(io);
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    fprintf(stderr, "usage: %s DIR COUNT [records]\n", argv[0]);
    return 2;
  }
  auto ms = std::make_unique<modem_state>();
  auto ls = std::make_unique<loop_state>();
  ms->settings.metrics = argv[1];
  int count = atoi(argv[2]);
  bool records = argc == 4 && strcmp(argv[3], "records") == 0;
  if (records) {
    ms->settings.metrics.clear();
    ms->settings.call_log = std::string(argv[1]) + "/calls.csv";
    ms->settings.sysloglev = 6;
    ms->dialled = "127000000001";
    log_open("bench-metrics");
    log_set_threshold(&ms->settings.sysloglev);
  }
  records_start(*ls, read_clocks());
  for (auto& by_result : ls->metrics.calls) by_result.fill(1440);
  std::vector<int64_t> walls;
  long long stored = storage_bytes();
  int64_t cpu_start = usec(CLOCK_PROCESS_CPUTIME_ID);
  for (int i = 0; i < count; ++i) {
    clock_reading now = read_clocks();
    int64_t start = usec(CLOCK_MONOTONIC);
    if (records) {
      record_dial(*ms, *ls, now);
      record_end(*ms, *ls, HANGUP_CONNECT_FAILED, 0, "Connection refused");
    } else {
      metrics_write(*ms, *ls, now);
    }
    walls.push_back(usec(CLOCK_MONOTONIC) - start);
  }
  int64_t cpu = usec(CLOCK_PROCESS_CPUTIME_ID) - cpu_start;
  stored = storage_bytes() - stored;
  std::sort(walls.begin(), walls.end());
  printf(
      "{\"writes\": %d, \"median_us\": %lld, \"p99_us\": %lld, \"worst_us\": %lld, "
      "\"cpu_us_per_write\": %.1f, \"storage_bytes_per_write\": %.0f}\n",
      count, static_cast<long long>(walls[walls.size() / 2]),
      static_cast<long long>(walls[walls.size() * 99 / 100]), static_cast<long long>(walls.back()),
      static_cast<double>(cpu) / count, static_cast<double>(stored) / count);
  return 0;
}
