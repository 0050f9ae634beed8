// A descriptor closed when it goes out of scope.
#pragma once

#include <unistd.h>

#include <utility>

class unique_fd {
 public:
  explicit unique_fd(int fd = -1) : fd_(fd) {}
  ~unique_fd() {
    if (fd_ >= 0) close(fd_);
  }
  unique_fd(unique_fd&& other) : fd_(other.release()) {}
  unique_fd& operator=(unique_fd&& other) {
    std::swap(fd_, other.fd_);
    return *this;
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};
