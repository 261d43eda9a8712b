#include "platform/pid_file.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>

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

}  // namespace

bool write_pid_file(const char* path, int pid) {
  FILE* f = fopen(path, "we");
  if (f == nullptr) return false;
  bool ok = fprintf(f, "%i\n", pid) > 0;
  int saved = errno;
  if (fclose(f) != 0) {
    ok = false;
    saved = errno;
  }
  errno = saved;
  return ok;
}

void remove_pid_file(const char* path) { unlink(path); }

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
