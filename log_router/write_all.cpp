#include "log_router/write_all.hpp"

#include <unistd.h>

#include <cerrno>

ssize_t write_all(int fd, const void* data, std::size_t length) {
  const char* bytes = static_cast<const char*>(data);
  std::size_t written = 0;
  while (written < length) {
    ssize_t n = write(fd, bytes + written, length - written);
    if (n < 0) {
      if (errno == EINTR) continue;  // a signal came first: nothing is lost yet
      return -1;
    }
    written += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(written);
}
