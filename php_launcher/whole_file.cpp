#include "php_launcher/whole_file.hpp"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

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

}  // namespace

char* read_whole_stream(FILE* stream, size_t* length) {
  if (length != nullptr) *length = 0;
  size_t capacity = INITIAL_CAPACITY;
  heap_text buffer(static_cast<char*>(malloc(capacity)));
  if (buffer == nullptr) return nullptr;

  size_t position = 0;
  while (!feof(stream)) {
    size_t room = capacity - 1 - position;
    size_t got = fread(buffer.get() + position, 1, room, stream);
    if (got == 0) break;
    if (got == room && !grow(buffer, capacity)) return nullptr;
    position += got;
  }
  buffer.get()[position] = '\0';
  if (length != nullptr) *length = position;
  return buffer.release();
}

char* read_whole_file(const char* path, size_t* length) {
  open_file file(open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st;
  if (file.fd() < 0 || fstat(file.fd(), &st) != 0) return nullptr;
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return nullptr;
  }
  if (length != nullptr) *length = 0;
  // Room for the whole file, its NUL, and one byte more so that the read
  // that finds the end needs no growth; a file that grew meanwhile doubles.
  size_t capacity = std::max(INITIAL_CAPACITY, static_cast<size_t>(st.st_size) + 2);
  heap_text buffer(static_cast<char*>(malloc(capacity)));
  if (buffer == nullptr) return nullptr;

  size_t position = 0;
  for (;;) {
    ssize_t got = read(file.fd(), buffer.get() + position, capacity - 1 - position);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    position += static_cast<size_t>(got);
    if (position == capacity - 1 && !grow(buffer, capacity)) return nullptr;
  }
  buffer.get()[position] = '\0';
  if (length != nullptr) *length = position;
  return buffer.release();
}
