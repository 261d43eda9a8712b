// Replacing a small file safely: the new content is written to a temporary file beside the file
// it replaces, synced, renamed over it, and the directory is synced. A symbolic link is followed
// when link_path_trusted says so: its target is what is replaced (in the target's directory), so
// the link stays a link.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

// A file being written under a temporary name beside the file it will replace. The temporary
// name is "<name>.orvane-<pid>-XXXXXX"; one of that form left by a process that no longer runs
// (a crash between write and rename) is removed when the next replacement in the directory
// opens. The destructor removes the temporary file unless it was committed.
struct replacement_file {
  unique_fd fd;          // the temporary file, open for writing
  std::string tmp_path;  // its name, empty once renamed or removed
  std::string target;    // the file replaced: the given path with symbolic links followed
  // False: the file and its directory are not synced (a file rewritten every few seconds, whose
  // loss in a power cut costs nothing, should not wait for the disk).
  bool durable = true;

  replacement_file() = default;
  replacement_file(const replacement_file&) = delete;
  replacement_file& operator=(const replacement_file&) = delete;
  ~replacement_file();
};

// True when every symbolic link that `path` leads through (its last component, then each link
// that one names) lies where nobody but root or this process's effective user can have placed
// it: the directory holding each link, and the one holding the final target, is owned by root
// or that user and writable neither by its group nor by others. A sticky directory (such as
// /tmp) counts as safe for a link owned by root, that user or the directory's owner, as the
// kernel's protected links have it. A path that is no link is trusted wherever it lies.
// Otherwise false, with `why` naming the link and the directory.
bool link_path_trusted(const char* path, std::string& why);

// Creates the temporary file for `path`. It takes the permission bits, owner and group of the
// file it replaces, or `new_mode` less the umask when there is none yet. Returns false with
// errno set on failure (nothing is then left behind). A link that link_path_trusted refuses is
// not followed: false with errno EPERM, and the reason logged at level 3.
bool replacement_open(replacement_file& f, const char* path, mode_t new_mode);

// Writes `content` to the temporary file and flushes it to disk. Returns false with errno set
// when a write or the sync fails; the caller then drops the replacement (its destructor
// removes the temporary file) and the file it would replace stays as it was.
bool replacement_write(replacement_file& f, std::string_view content);

// Syncs and closes the temporary file, renames it over the target and syncs the directory.
// Returns false with errno set on failure; the temporary file is then removed and, when the
// rename did not happen, the target is as it was.
bool replacement_commit(replacement_file& f);

// Replaces the file at `path` with `content` through a replacement_file (not synced unless
// `durable`). Returns false with errno set on failure, the file at `path` then being left as it
// was.
bool replace_file(const char* path, std::string_view content, mode_t new_mode = 0644,
                  bool durable = true);

// Appends `record` to the log file at `path` with one write, the file opened with O_APPEND so
// that a record is never split or mixed with another writer's. A file that does not exist yet
// (or is empty) is started with `header`, in the same write; a new file is created with mode
// 0640. When the record would take the file beyond `rotate_at` bytes (0: never), the file is
// first renamed to `path`.1, replacing the previous one, and a new one started. Symbolic links
// are followed as for replacement_open, the rotation happening beside the link's target; a link
// that link_path_trusted refuses is not. Returns false with `problem` saying what failed.
bool append_record(const char* path, std::string_view header, std::string_view record,
                   uint64_t rotate_at, std::string& problem);

// Opens `path` for reading when it is a regular file (or a link to one). Anything else (a
// FIFO, a directory, a device) is never opened in a way that could block or act on a device:
// *not_regular is then set. Returns the stream, or nullptr (errno set) when the path is missing,
// cannot be opened or is not a regular file.
FILE* open_regular_file(const char* path, bool* not_regular);

// What read_small_file found.
enum small_file_read : int {
  SMALL_FILE_READ = 0,      // the content is in `content`
  SMALL_FILE_MISSING = 1,   // there is no such file (ENOENT, ENOTDIR)
  SMALL_FILE_UNUSABLE = 2,  // it exists but cannot be used: `problem` says why
};

// Reads the whole file at `path` when it is a regular file of at most `max_size` bytes. It is
// opened as open_regular_file opens it, so a FIFO or a device never blocks the caller, and a file
// that grows while it is read is cut at `max_size` + 1 bytes and refused. `problem` is worded to
// follow the path: "is not a regular file", "is larger than 65536 bytes", "cannot be read: ...".
// `error` gets the errno of a failed open or read (0 otherwise): EMFILE there means that no
// descriptor was free.
small_file_read read_small_file(const char* path, size_t max_size, std::string& content,
                                std::string& problem, int& error);

// The permission bits (07777) of the file `path` leads to, links followed. False (errno set)
// when it cannot be reached.
bool file_permissions(const char* path, mode_t& mode);

// 1 when `path` (links followed) is a character device, 0 when it is a file of another kind, -1
// with errno set when it cannot be reached.
int character_device(const char* path);
