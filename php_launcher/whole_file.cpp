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

// Fills a new buffer of `capacity` bytes from read_some(at, room), which
// gives the bytes it put at `at` (at most `room`), 0 at the end or on an
// error. The buffer doubles whenever a read fills it; one byte is always
// kept for the terminating NUL.
template <typename ReadSome>
char* read_to_end(size_t capacity, size_t* length, ReadSome read_some) {
  if (length != nullptr) *length = 0;
  heap_text buffer(static_cast<char*>(malloc(capacity)));
  if (buffer == nullptr) return nullptr;

  size_t position = 0;
  for (;;) {
    size_t room = capacity - 1 - position;
    size_t got = read_some(buffer.get() + position, room);
    if (got == 0) break;
    position += got;
    if (got == room && !grow(buffer, capacity)) return nullptr;
  }
  buffer.get()[position] = '\0';
  if (length != nullptr) *length = position;
  return buffer.release();
}

}  // namespace

char* read_whole_stream(FILE* stream, size_t* length) {
  return read_to_end(INITIAL_CAPACITY, length, [stream](char* at, size_t room) -> size_t {
    return feof(stream) ? 0 : fread(at, 1, room, stream);
  });
}

char* read_whole_file(const char* path, size_t* length) {
  open_file file(open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st;
  if (file.fd() < 0 || fstat(file.fd(), &st) != 0) return nullptr;
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return nullptr;
  }
  // Room for the whole file, its NUL, and one byte more so that the read
  // that finds the end needs no growth; a file that grew meanwhile doubles.
  size_t capacity = std::max(INITIAL_CAPACITY, static_cast<size_t>(st.st_size) + 2);
  return read_to_end(capacity, length, [&file](char* at, size_t room) -> size_t {
    for (;;) {
      ssize_t got = read(file.fd(), at, room);
      if (got < 0 && errno == EINTR) continue;
      return got > 0 ? static_cast<size_t>(got) : 0;
    }
  });
}
