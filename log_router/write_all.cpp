#include "log_router/write_all.hpp"

#include <unistd.h>

#include <cerrno>

ssize_t write_all(int fd, const void* data, std::size_t length, std::size_t* written) {
  const char* bytes = static_cast<const char*>(data);
  std::size_t done = 0;
  while (done < length) {
    ssize_t n = write(fd, bytes + done, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;  // a signal came first: nothing is lost yet
      if (written != nullptr) *written = done;
      return -1;
    }
    done += static_cast<std::size_t>(n);
  }
  if (written != nullptr) *written = done;
  return static_cast<ssize_t>(done);
}
