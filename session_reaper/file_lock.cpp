#include "session_reaper/file_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

bool locked_elsewhere(int fd) {
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) return true;
  // A write lock over the whole file conflicts with any lock of another
  // owner; asked for only, since this descriptor is open for reading.
  struct flock record = {};
  record.l_type = F_WRLCK;
  record.l_whence = SEEK_SET;
  return fcntl(fd, F_OFD_GETLK, &record) == 0 && record.l_type != F_UNLCK;
}
