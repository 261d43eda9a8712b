// Replacing a small file atomically: write a temporary file beside it, flush it to disk and
// rename it over the old one.
#pragma once

#include <sys/types.h>

#include <cstdio>

#include <string>
#include <string_view>

// Writes `content` to a temporary file in the directory of `path`, fsyncs it and renames it
// over `path`. The new file keeps the permission bits of the file it replaces; a new file gets
// `new_mode` less the umask. On any failure the temporary file is removed, `path` is left as it
// was, errno describes the failure and false is returned.
bool replace_file(const char* path, std::string_view content, mode_t new_mode = 0644);

// A file being written under a temporary name beside its final path; commit renames it into
// place, abort removes it.
struct replacement_file {
  int fd = -1;
  std::string tmp_path;
  std::string path;
};

// Creates the temporary file for `path` with the permission bits of the existing file, or
// `new_mode` less the umask for a new one. Returns false with errno set on failure.
bool replacement_open(replacement_file& f, const char* path, mode_t new_mode);

// Writes `content` to the temporary file and flushes it to disk. Returns false with errno set
// when a write or the sync fails (the caller then aborts).
bool replacement_write(replacement_file& f, std::string_view content);

// Closes the temporary file and renames it over the final path; on failure removes it and
// returns false with errno set.
bool replacement_commit(replacement_file& f);

// Closes and removes the temporary file; the final path stays as it was. errno is kept.
void replacement_abort(replacement_file& f);

// Opens `path` for reading when it is a regular file (or a link to one). Anything else (a
// FIFO, a directory, a device) is never opened in a way that could block or act on a device:
// *not_regular is then set. Returns the stream, or nullptr (errno set) when the path is missing,
// cannot be opened or is not a regular file.
FILE* open_regular_file(const char* path, bool* not_regular);
