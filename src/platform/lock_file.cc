#include "platform/lock_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/countdown.h"
#include "platform/process.h"

namespace {

constexpr unsigned RETRY_INTERVAL_MS = 100;

// Reads the pid at the start of an existing lock file into *pid (0 when it holds no number).
// Returns false when the file cannot be opened.
bool read_lock_pid(const char* name, int* pid) {
  FILE* f = fopen(name, "re");
  if (f == nullptr) return false;
  if (fscanf(f, "%d", pid) != 1) *pid = 0;
  fclose(f);
  return true;
}

// One attempt to create the lock holding our pid. An empty file left by a failed write is read
// as pid 0 by the next stale test and removed.
bool create_lock(const char* name) {
  int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  char text[16];
  int n = snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
  ssize_t written = write(fd, text, static_cast<size_t>(n));
  close(fd);
  return written >= 0;
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
      if (read_lock_pid(name.c_str(), &pid) && process_alive(pid) == 0) unlink(name.c_str());
    }
    if (create_lock(name.c_str())) return 1;
    sleep_milliseconds(RETRY_INTERVAL_MS);
    if (monotonic_seconds() > deadline) return 0;
  }
}

void unlock_device(const char* device_path, const char* lock_dir) {
  unlink(lock_file_name(device_path, lock_dir).c_str());
}

int process_alive(int pid) {
  if (pid <= 0) return 0;
  if (kill(pid, 0) == 0) return 1;
  // EPERM: the process exists but belongs to someone else.
  return errno == ESRCH ? 0 : 1;
}
