#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

bool write_all(int fd, std::string_view content) {
  while (!content.empty()) {
    ssize_t n = write(fd, content.data(), content.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    content.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// The mode a replacement gets: that of the file it replaces, or `new_mode` less the umask.
mode_t replacement_mode(const char* path, mode_t new_mode) {
  struct stat old {};
  if (stat(path, &old) == 0) return old.st_mode & 07777;
  mode_t mask = umask(0);
  umask(mask);
  return new_mode & ~mask;
}

}  // namespace

bool replacement_open(replacement_file& f, const char* path, mode_t new_mode) {
  f.path = path;
  f.tmp_path = f.path + ".XXXXXX";
  f.fd = mkostemp(f.tmp_path.data(), O_CLOEXEC);
  if (f.fd < 0) return false;
  if (fchmod(f.fd, replacement_mode(path, new_mode)) != 0) {
    int saved = errno;
    close(f.fd);
    f.fd = -1;
    unlink(f.tmp_path.c_str());
    errno = saved;
    return false;
  }
  return true;
}

bool replacement_write(replacement_file& f, std::string_view content) {
  return write_all(f.fd, content) && fsync(f.fd) == 0;
}

void replacement_abort(replacement_file& f) {
  int saved = errno;
  close(f.fd);
  f.fd = -1;
  unlink(f.tmp_path.c_str());
  errno = saved;
}

bool replacement_commit(replacement_file& f) {
  bool ok = true;
  int saved = 0;
  if (close(f.fd) != 0) {
    ok = false;
    saved = errno;
  }
  f.fd = -1;
  if (ok && rename(f.tmp_path.c_str(), f.path.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    unlink(f.tmp_path.c_str());
    errno = saved;
  }
  return ok;
}

bool replace_file(const char* path, std::string_view content, mode_t new_mode) {
  std::string tmp = std::string(path) + ".XXXXXX";
  int fd = mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok =
      fchmod(fd, replacement_mode(path, new_mode)) == 0 && write_all(fd, content) && fsync(fd) == 0;
  int saved = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && rename(tmp.c_str(), path) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    unlink(tmp.c_str());
    errno = saved;
  }
  return ok;
}

FILE* open_regular_file(const char* path, bool* not_regular) {
  *not_regular = false;
  struct stat st {};
  if (stat(path, &st) != 0) return nullptr;
  if (!S_ISREG(st.st_mode)) {
    *not_regular = true;
    errno = EINVAL;
    return nullptr;
  }
  // Non-blocking, in case the path has been replaced since the stat.
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    *not_regular = true;
    errno = EINVAL;
    return nullptr;
  }
  FILE* file = fdopen(fd, "r");
  if (file == nullptr) {
    int saved = errno;
    close(fd);
    errno = saved;
  }
  return file;
}
