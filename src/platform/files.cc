#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/log.h"
#include "platform/pid_file.h"

namespace {

constexpr std::string_view TMP_MARK = ".orvane-";
constexpr size_t TMP_RANDOM = 6;  // the "XXXXXX" of mkostemp
constexpr int MAX_LINKS = 40;     // as the kernel's own limit on a path's links

// Keeps errno across a cleanup step.
struct errno_keeper {
  int saved = errno;
  ~errno_keeper() { errno = saved; }
};

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

std::string directory_of(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// `path` with symbolic links of its last component followed, as far as they lead (a link to a
// file that does not exist yet gives that file's path).
std::string follow_links(const char* path) {
  std::string current = path;
  for (int i = 0; i < MAX_LINKS; ++i) {
    struct stat st {};
    if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    char target[4096];
    ssize_t n = readlink(current.c_str(), target, sizeof target);
    if (n < 0 || static_cast<size_t>(n) >= sizeof target) return current;
    std::string link(target, static_cast<size_t>(n));
    current = link[0] == '/' ? link : directory_of(current) + "/" + link;
  }
  return current;
}

// True when `dir` may hold a link (or a link's target) that is followed: owned by root or this
// process's user, and not writable by group or others unless sticky. In a sticky directory
// the link itself (`link_uid`, -1 for a target) must be owned by root, this user or the
// directory's owner. Otherwise `problem` says why.
bool directory_trusted(const std::string& dir, long link_uid, std::string& problem) {
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0) {
    problem = "directory " + dir + " cannot be examined: " + strerror(errno);
    return false;
  }
  uid_t self = geteuid();
  if (st.st_uid != 0 && st.st_uid != self) {
    problem = "directory " + dir + " is owned by uid " + std::to_string(st.st_uid);
    return false;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0) return true;
  if ((st.st_mode & S_ISVTX) == 0) {
    problem = "directory " + dir + " is writable by group or others";
    return false;
  }
  auto owner = static_cast<uid_t>(link_uid);
  if (link_uid < 0 || owner == 0 || owner == self || owner == st.st_uid) return true;
  problem = "it is owned by uid " + std::to_string(link_uid) + " in the sticky directory " + dir;
  return false;
}

// True for "<name>.orvane-<pid>-XXXXXX" with the pid of a process that no longer runs (or of
// this one: it replaces one file at a time, so any such file of its own is a left-over).
bool stale_temporary(std::string_view entry, std::string_view name) {
  if (!entry.starts_with(name)) return false;
  entry.remove_prefix(name.size());
  if (!entry.starts_with(TMP_MARK)) return false;
  entry.remove_prefix(TMP_MARK.size());
  int pid = 0;
  size_t digits = 0;
  while (digits < entry.size() && entry[digits] >= '0' && entry[digits] <= '9' && digits < 9) {
    pid = pid * 10 + (entry[digits] - '0');
    ++digits;
  }
  if (digits == 0 || entry.size() != digits + 1 + TMP_RANDOM || entry[digits] != '-') return false;
  return pid == static_cast<int>(getpid()) || process_alive(pid) == 0;
}

// Removes the stale temporary files of `name` in `dir`. Errors are ignored: a left-over that
// cannot be removed does not stop the replacement.
void remove_stale_temporaries(const std::string& dir, const std::string& name) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (const dirent* e = readdir(d)) {
    if (stale_temporary(e->d_name, name)) unlinkat(dirfd(d), e->d_name, 0);
  }
  closedir(d);
}

// Gives the new file the mode, owner and group of the file it replaces, or `new_mode` less the
// umask. The owner goes first: chown clears set-id bits that chmod then restores.
bool take_attributes(int fd, const std::string& target, mode_t new_mode) {
  struct stat old {};
  if (stat(target.c_str(), &old) != 0) {
    mode_t mask = umask(0);
    umask(mask);
    return fchmod(fd, new_mode & ~mask) == 0;
  }
  struct stat now {};
  if (fstat(fd, &now) != 0) return false;
  if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) &&
      fchown(fd, old.st_uid, old.st_gid) != 0) {
    return false;
  }
  return fchmod(fd, old.st_mode & 07777) == 0;
}

// fsync of a directory; a file system that cannot sync directories (EINVAL) counts as synced.
bool sync_directory(const std::string& dir) {
  unique_fd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return false;
  return fsync(fd.get()) == 0 || errno == EINVAL;
}

}  // namespace

bool link_path_trusted(const char* path, std::string& why) {
  std::string current = path;
  std::string problem;
  for (int i = 0; i < MAX_LINKS; ++i) {
    struct stat st {};
    if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      // The end of the chain: a plain path needs nothing, a target needs a safe directory.
      if (i == 0 || directory_trusted(directory_of(current), -1, problem)) return true;
      why = std::string("not following link ") + path + ": " + problem;
      return false;
    }
    if (!directory_trusted(directory_of(current), static_cast<long>(st.st_uid), problem)) {
      why = std::string("not following link ") + path + ": " + problem;
      return false;
    }
    char target[4096];
    ssize_t n = readlink(current.c_str(), target, sizeof target);
    if (n < 0 || static_cast<size_t>(n) >= sizeof target) return true;  // as follow_links
    std::string link(target, static_cast<size_t>(n));
    current = link[0] == '/' ? link : directory_of(current) + "/" + link;
  }
  return true;  // follow_links stops here too; the open of so deep a chain fails
}

replacement_file::~replacement_file() {
  if (tmp_path.empty()) return;
  errno_keeper keep;
  fd.reset();
  unlink(tmp_path.c_str());
}

bool replacement_open(replacement_file& f, const char* path, mode_t new_mode) {
  std::string why;
  if (!link_path_trusted(path, why)) {
    log_msg(3, "%s", why.c_str());
    errno = EPERM;
    return false;
  }
  f.target = follow_links(path);
  std::string dir = directory_of(f.target);
  std::string name = name_of(f.target);
  remove_stale_temporaries(dir, name);
  char pid[16];
  snprintf(pid, sizeof pid, "%d", static_cast<int>(getpid()));
  std::string tmp = f.target;
  tmp.append(TMP_MARK).append(pid).append("-XXXXXX");
  f.fd.reset(mkostemp(tmp.data(), O_CLOEXEC));
  if (!f.fd.valid()) return false;
  f.tmp_path = tmp;
  if (!take_attributes(f.fd.get(), f.target, new_mode)) {
    errno_keeper keep;
    f.fd.reset();
    unlink(f.tmp_path.c_str());
    f.tmp_path.clear();
    return false;
  }
  return true;
}

bool replacement_write(replacement_file& f, std::string_view content) {
  return write_all(f.fd.get(), content) && fsync(f.fd.get()) == 0;
}

bool replacement_commit(replacement_file& f) {
  if (f.durable && fsync(f.fd.get()) != 0) return false;
  if (f.fd.reset() != 0) return false;
  if (rename(f.tmp_path.c_str(), f.target.c_str()) != 0) return false;
  f.tmp_path.clear();
  return !f.durable || sync_directory(directory_of(f.target));
}

bool replace_file(const char* path, std::string_view content, mode_t new_mode, bool durable) {
  replacement_file f;
  f.durable = durable;
  return replacement_open(f, path, new_mode) && write_all(f.fd.get(), content) &&
         replacement_commit(f);
}

bool append_record(const char* path, std::string_view header, std::string_view record,
                   uint64_t rotate_at, std::string& problem) {
  if (!link_path_trusted(path, problem)) return false;
  std::string target = follow_links(path);
  struct stat st {};
  if (rotate_at != 0 && stat(target.c_str(), &st) == 0 && st.st_size > 0 &&
      static_cast<uint64_t>(st.st_size) + record.size() > rotate_at &&
      rename(target.c_str(), (target + ".1").c_str()) != 0) {
    problem = std::string("cannot be renamed to ") + path + ".1: " + strerror(errno);
    return false;
  }
  constexpr int flags =
      O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
  unique_fd fd(open(target.c_str(), flags | O_EXCL, 0640));
  bool created = fd.valid();
  if (!created && errno == EEXIST) fd.reset(open(target.c_str(), flags, 0640));
  if (!fd.valid() || fstat(fd.get(), &st) != 0 || (created && fchmod(fd.get(), 0640) != 0)) {
    problem = std::string("cannot be opened: ") + strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    problem = "is not a regular file";
    return false;
  }
  std::string bytes;
  if (st.st_size == 0) bytes = header;
  bytes.append(record);
  ssize_t n = write(fd.get(), bytes.data(), bytes.size());
  if (n != static_cast<ssize_t>(bytes.size())) {
    problem = n < 0 ? std::string("cannot be written: ") + strerror(errno) : "written in part";
    return false;
  }
  return true;
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

small_file_read read_small_file(const char* path, size_t max_size, std::string& content,
                                std::string& problem, int& error) {
  content.clear();
  error = 0;
  bool not_regular = false;
  FILE* file = open_regular_file(path, &not_regular);
  if (file == nullptr) {
    if (not_regular) {
      problem = "is not a regular file";
      return SMALL_FILE_UNUSABLE;
    }
    error = errno;
    if (error == ENOENT || error == ENOTDIR) return SMALL_FILE_MISSING;
    problem = std::string("cannot be read: ") + strerror(error);
    return SMALL_FILE_UNUSABLE;
  }
  char buf[4096];
  size_t n = 0;
  while (content.size() <= max_size && (n = fread(buf, 1, sizeof buf, file)) > 0) {
    content.append(buf, std::min(n, max_size + 1 - content.size()));
  }
  bool failed = ferror(file) != 0;
  error = failed ? errno : 0;
  fclose(file);
  if (failed) {
    problem = std::string("cannot be read: ") + strerror(error);
    return SMALL_FILE_UNUSABLE;
  }
  if (content.size() > max_size) {
    content.clear();
    problem = "is larger than " + std::to_string(max_size) + " bytes";
    return SMALL_FILE_UNUSABLE;
  }
  return SMALL_FILE_READ;
}

bool file_permissions(const char* path, mode_t& mode) {
  struct stat st {};
  if (stat(path, &st) != 0) return false;
  mode = st.st_mode & 07777;
  return true;
}

int character_device(const char* path) {
  struct stat st {};
  if (stat(path, &st) != 0) return -1;
  return S_ISCHR(st.st_mode) ? 1 : 0;
}
