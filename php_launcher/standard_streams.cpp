#include "php_launcher/standard_streams.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

int standard_streams_open() {
  struct pollfd streams[3] = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
  if (poll(streams, 3, 0) < 0) return -1;
  for (int fd = 0; fd < 3; fd++) {
    if (!(streams[fd].revents & POLLNVAL)) continue;
    // The lower ones are open by now, so this is the lowest free one,
    // unless fd is held by a descriptor poll cannot use (O_PATH).
    int null = open("/dev/null", O_RDWR);
    if (null < 0) return -1;
    if (null == fd) continue;
    int moved = dup2(null, fd);
    close(null);
    if (moved < 0) return -1;
  }
  return 0;
}
