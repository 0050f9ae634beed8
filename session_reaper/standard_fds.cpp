#include "session_reaper/standard_fds.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

bool open_standard_fds() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lower ones are open by now, so the lowest free descriptor is fd.
    if (open("/dev/null", O_RDWR) == fd) continue;
    const int error = errno;
    if (fcntl(2, F_GETFD) >= 0)
      std::cerr << "Error: cannot open /dev/null : " << strerror(error) << '\n';
    return false;
  }
  return true;
}
