// A directory read with getdents64, straight into a buffer of its own.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>

// One open, then one system call per buffer of entries, and a close: a
// directory stream would add an fstat and two fcntl calls to every open.
// The in-use scan opens a directory per process of the machine, so this is
// most of its cost.
class dir_reader {
 public:
  // Opens path (relative to the directory `at`, or AT_FDCWD) as a directory;
  // fd() is -1, with errno set, when it cannot be.
  dir_reader(int at, const char* path)
      : fd_(openat(at, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
  // Reads the directory already open as fd (or none, when fd is -1), and
  // closes it.
  explicit dir_reader(int fd) : fd_(fd) {}
  ~dir_reader() {
    if (fd_ >= 0) close(fd_);
  }
  dir_reader(const dir_reader&) = delete;
  dir_reader& operator=(const dir_reader&) = delete;
  int fd() const { return fd_; }

  // The next entry, or null at the end (or on a read error).
  const dirent64* next() {
    if (at_ == filled_) {
      ssize_t n = getdents64(fd_, buffer_, sizeof buffer_);
      if (n <= 0) return nullptr;
      filled_ = static_cast<size_t>(n);
      at_ = 0;
    }
    const auto* entry = reinterpret_cast<const dirent64*>(buffer_ + at_);
    at_ += entry->d_reclen;
    return entry;
  }

 private:
  int fd_;
  alignas(dirent64) char buffer_[16384];
  size_t filled_ = 0, at_ = 0;
};
