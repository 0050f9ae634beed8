#include "php_launcher/regular_file.hpp"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

int open_regular_file(int dir_fd, const char* name, struct stat* status) {
  int fd = openat(dir_fd, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd == -1) return -1;
  int error = 0;
  if (fstat(fd, status) != 0)
    error = errno;
  else if (!S_ISREG(status->st_mode))
    error = S_ISDIR(status->st_mode) ? EISDIR : EINVAL;
  if (error == 0) return fd;
  close(fd);
  errno = error;
  return -1;
}

const char* not_regular_reason(mode_t mode) {
  if (S_ISFIFO(mode)) return "Is a FIFO, not a regular file";
  if (S_ISSOCK(mode)) return "Is a socket, not a regular file";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "Is a device, not a regular file";
  return "Not a regular file";
}
