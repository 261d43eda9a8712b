// Replacing a small file atomically: write a temporary file beside it, flush it to disk and
// rename it over the old one.
#pragma once

#include <sys/types.h>

#include <string_view>

// Writes `content` to a temporary file in the directory of `path`, fsyncs it and renames it
// over `path`. The new file keeps the permission bits of the file it replaces; a new file gets
// `new_mode` less the umask. On any failure the temporary file is removed, `path` is left as it
// was, errno describes the failure and false is returned.
bool replace_file(const char* path, std::string_view content, mode_t new_mode = 0644);
