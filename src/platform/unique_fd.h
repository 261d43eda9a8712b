// Move-only owner of a file descriptor: closes it on destruction, -1 when empty.
#pragma once

#include <utility>

#include "platform/system_calls.h"

class unique_fd {
 public:
  unique_fd() = default;
  explicit unique_fd(int fd) : fd_(fd) {}
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~unique_fd() { reset(); }

  // The descriptor, or -1 when empty.
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes the held descriptor (if any) and takes `fd`. Returns the result of close(), 0 if none.
  int reset(int fd = -1) {
    int rc = 0;
    if (fd_ >= 0) rc = sys().close(fd_);
    fd_ = fd;
    return rc;
  }
  // Gives up ownership without closing; the object is then empty.
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
};
