#include "php_launcher/whole_file.hpp"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "php_launcher/regular_file.hpp"

namespace {

constexpr size_t INITIAL_CAPACITY = 1024;

struct free_block {
  void operator()(void* block) const { free(block); }
};
using heap_text = std::unique_ptr<char, free_block>;

// A descriptor closed on every way out.
class open_file {
 public:
  explicit open_file(int fd) : fd_(fd) {}
  ~open_file() {
    if (fd_ >= 0) close(fd_);
  }
  open_file(const open_file&) = delete;
  open_file& operator=(const open_file&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

// Doubles the buffer; false (buffer unchanged) when the size would overflow
// or realloc fails.
bool grow(heap_text& buffer, size_t& capacity) {
  if (capacity > SIZE_MAX / 2) return false;
  void* grown = realloc(buffer.get(), capacity * 2);
  if (grown == nullptr) return false;
  buffer.release();
  buffer.reset(static_cast<char*>(grown));
  capacity *= 2;
  return true;
}

// The bytes read into `at` (at most `room`); 0 at the end or on an error.
size_t read_some(int fd, char* at, size_t room) {
  for (;;) {
    ssize_t got = read(fd, at, room);
    if (got < 0 && errno == EINTR) continue;
    return got > 0 ? static_cast<size_t>(got) : 0;
  }
}

// Reads fd to its end into a new buffer of `capacity` bytes, which doubles
// whenever a read fills it; one byte is always kept for the terminating NUL.
char* read_to_end(int fd, size_t capacity, size_t* length) {
  if (length != nullptr) *length = 0;
  heap_text buffer(static_cast<char*>(malloc(capacity)));
  if (buffer == nullptr) return nullptr;

  size_t position = 0;
  for (;;) {
    size_t room = capacity - 1 - position;
    size_t got = read_some(fd, buffer.get() + position, room);
    if (got == 0) break;
    position += got;
    if (got == room && !grow(buffer, capacity)) return nullptr;
  }
  buffer.get()[position] = '\0';
  if (length != nullptr) *length = position;
  return buffer.release();
}

}  // namespace

char* read_whole_file(const char* path, size_t* length) {
  struct stat st;
  open_file file(open_regular_file(AT_FDCWD, path, &st));
  if (file.fd() < 0) return nullptr;
  // Room for the whole file, its NUL, and one byte more so that the read
  // that finds the end needs no growth; a file that grew meanwhile doubles.
  size_t capacity = std::max(INITIAL_CAPACITY, static_cast<size_t>(st.st_size) + 2);
  return read_to_end(file.fd(), capacity, length);
}
