// write_all: writes a whole buffer to a file descriptor.
#pragma once

#include <sys/types.h>

#include <cstddef>

// Writes all `length` bytes of `data` to `fd`, calling write(2) again for
// what a short write left over and after a write interrupted by a signal
// (EINTR).  Returns `length`, or -1 with errno set as soon as a write fails
// otherwise.  A length of 0 returns 0 without calling write.  When
// `written` is given it receives the bytes that did get written, all of
// them or those before the failure.
ssize_t write_all(int fd, const void* data, std::size_t length, std::size_t* written = nullptr);
