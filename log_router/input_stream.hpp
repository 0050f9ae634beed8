// Reading standard input so that a stop signal loses nothing.
//
// The web server ends its piped loggers with SIGTERM at every stop and
// restart.  After input_stream_setup, SIGTERM, SIGINT and SIGHUP only set a
// flag: they are blocked except while the program waits for input, so they
// never cut a write short.  Once the flag is set, input_read no longer waits
// for more: it returns what the pipe still holds and then reports the end.
#pragma once

#include <sys/types.h>

#include <cstddef>

// Installs the stop handlers and blocks the stop signals.  0, or -1 with errno.
int input_stream_setup();

// True once a stop signal has arrived.
bool input_stream_stopping();

// Reads up to `size` bytes from `fd`.  Waits for input until a stop signal
// arrives; after that, returns 0 as soon as nothing is ready to read.
// Returns the byte count, 0 at the end of input, or -1 with errno on error.
ssize_t input_read(int fd, char* buffer, std::size_t size);
