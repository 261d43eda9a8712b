#include "platform/pid_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

namespace {

// The target of the symbolic link /proc/<who>/exe, or "" with errno set.
std::string exe_link(const char* who) {
  char link[64];
  snprintf(link, sizeof link, "/proc/%s/exe", who);
  char target[4096];
  ssize_t n = readlink(link, target, sizeof target);
  if (n < 0 || static_cast<size_t>(n) >= sizeof target) {
    if (n >= 0) errno = ENAMETOOLONG;
    return "";
  }
  return std::string(target, static_cast<size_t>(n));
}

bool same_file(const char* a, const char* b) {
  struct stat sa {};
  struct stat sb {};
  return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// True when `path` still leads to the file open as `fd`: a holder that ends removes the file
// after a newcomer may have opened it, and such a newcomer must open the path again.
bool path_is_open_file(const char* path, int fd) {
  struct stat by_path {};
  struct stat by_fd {};
  return stat(path, &by_path) == 0 && fstat(fd, &by_fd) == 0 && by_path.st_dev == by_fd.st_dev &&
         by_path.st_ino == by_fd.st_ino;
}

// The pid at the start of the open file, 0 when it holds none.
int pid_in_file(int fd) {
  char text[32] = {};
  ssize_t n = pread(fd, text, sizeof text - 1, 0);
  int pid = 0;
  if (n <= 0 || sscanf(text, "%d", &pid) != 1) return 0;
  return pid;
}

bool is_other_instance(int named, int pid) {
  return named > 0 && named != pid && process_alive(named) != 0 && runs_this_executable(named);
}

// A few tries are enough: each retry follows an instance that ended while this one opened.
constexpr int CLAIM_TRIES = 5;

}  // namespace

pid_claim claim_pid_file(const char* path, int pid, unique_fd& held, int& holder) {
  holder = 0;
  for (int attempt = 0; attempt < CLAIM_TRIES; ++attempt) {
    unique_fd fd(open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666));
    if (!fd.valid()) return PID_FAILED;
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK) return PID_FAILED;
      holder = pid_in_file(fd.get());
      return PID_HELD;
    }
    if (!path_is_open_file(path, fd.get())) continue;
    int named = pid_in_file(fd.get());
    if (is_other_instance(named, pid)) {
      holder = named;
      return PID_HELD;
    }
    char text[16];
    int n = snprintf(text, sizeof text, "%i\n", pid);
    if (ftruncate(fd.get(), 0) != 0) return PID_FAILED;
    ssize_t written = pwrite(fd.get(), text, static_cast<size_t>(n), 0);
    if (written != n) {
      if (written >= 0) errno = EIO;
      return PID_FAILED;
    }
    held = std::move(fd);
    return PID_CLAIMED;
  }
  errno = EAGAIN;
  return PID_FAILED;
}

void release_pid_file(const char* path, const unique_fd& held, int pid) {
  if (held.valid() && pid_in_file(held.get()) == pid && path_is_open_file(path, held.get())) {
    unlink(path);
  }
}

int current_pid() { return static_cast<int>(getpid()); }

bool read_pid_file(const char* path, int& pid) {
  FILE* f = fopen(path, "re");
  if (f == nullptr) return false;
  if (fscanf(f, "%d", &pid) != 1) pid = 0;
  fclose(f);
  return true;
}

int signal_process(int pid, int signo) { return kill(pid, signo) == 0 ? 0 : errno; }

int process_alive(int pid) {
  if (pid <= 0) return 0;
  if (kill(pid, 0) == 0) return 1;
  // EPERM: the process exists but belongs to someone else.
  return errno == ESRCH ? 0 : 1;
}

bool runs_this_executable(int pid) {
  std::string own = exe_link("self");
  if (own.empty()) return true;
  char who[16];
  snprintf(who, sizeof who, "%d", pid);
  std::string other = exe_link(who);
  if (other.empty()) return errno != ENOENT;
  char other_link[64];
  snprintf(other_link, sizeof other_link, "/proc/%d/exe", pid);
  if (same_file("/proc/self/exe", other_link)) return true;
  constexpr std::string_view deleted = " (deleted)";
  if (other.ends_with(deleted)) other.resize(other.size() - deleted.size());
  return other == own;
}
