#include "platform/lock_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/countdown.h"
#include "platform/pid_file.h"
#include "platform/system_io.h"
#include "platform/unique_fd.h"

namespace {

constexpr unsigned RETRY_INTERVAL_MS = 100;

// One attempt to create the lock holding our pid: 1 created, 0 another lock exists (or the
// write failed), -1 it cannot be created (errno set). An empty file left by a failed write is
// read as pid 0 by the next stale test and removed.
int create_lock(const char* name) {
  unique_fd fd(open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!fd.valid()) return errno == EEXIST ? 0 : -1;
  char text[16];
  int n = snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
  return write(fd.get(), text, static_cast<size_t>(n)) >= 0 ? 1 : 0;
}

}  // namespace

std::string lock_file_name(const char* device_path, const char* lock_dir) {
  const char* slash = strrchr(device_path, '/');
  const char* device = slash != nullptr ? slash + 1 : device_path;
  return std::string(lock_dir) + "/LCK.." + device;
}

int lock_device(const char* device_path, const char* lock_dir, int timeout_sec) {
  std::string name = lock_file_name(device_path, lock_dir);
  int deadline = monotonic_seconds() + timeout_sec;
  for (;;) {
    struct stat st {};
    if (stat(name.c_str(), &st) == 0) {
      // An unreadable lock gets no stale test: the creation below then fails until the deadline.
      int pid = 0;
      if (read_pid_file(name.c_str(), pid) && process_alive(pid) == 0) unlink(name.c_str());
    }
    int created = create_lock(name.c_str());
    if (created != 0) return created;
    sleep_milliseconds(RETRY_INTERVAL_MS);
    if (monotonic_seconds() > deadline) return 0;
  }
}

void unlock_device(const char* device_path, const char* lock_dir) {
  unlink(lock_file_name(device_path, lock_dir).c_str());
}
