// Reading standard input so that a stop signal loses nothing and still ends
// the program promptly.
//
// The web server ends its piped loggers with SIGTERM at every stop and
// restart.  After input_stream_setup, SIGTERM, SIGINT and SIGHUP only set a
// flag (with SA_RESTART, so they cut no write short) and wake a wait for
// input through a pipe the module keeps to itself; SIGPIPE is ignored, so
// that a write to a pipe whose reader has left fails with EPIPE instead of
// ending the program.
//
// Once a stop signal has come, input_read no longer waits.  It returns the
// bytes that were waiting in the input when the stop was noticed, as far as
// they are ready, and then reports the end: a pipe (or socket) is drained of
// what it held then, not of what keeps arriving; other input (a file, a
// device) is read no further.  The drain has INPUT_DRAIN_LIMIT_MS from the
// signal: then input_stream_out_of_time() turns true, input_read reports the
// end, and a write that blocks is interrupted (SIGALRM, EINTR).  Should the
// program still run INPUT_STOP_BACKSTOP_MS after that (a write stuck in the
// kernel), SIGALRM ends it.
#pragma once

#include <sys/types.h>

#include <cstddef>

constexpr long INPUT_DRAIN_LIMIT_MS = 1000;
constexpr long INPUT_STOP_BACKSTOP_MS = 500;

// Installs the handlers (stop signals, SIGALRM) and ignores SIGPIPE.  0, or
// -1 with errno.
int input_stream_setup();

// True once a stop signal has arrived.
bool input_stream_stopping();

// True once the drain after a stop signal has run out of time.
bool input_stream_out_of_time();

// Reads up to `size` bytes from `fd`.  Waits for input until a stop signal
// arrives; after that, as above.  Returns the byte count, 0 at the end of
// input, or -1 with errno on error.
ssize_t input_read(int fd, char* buffer, std::size_t size);

// After the drain ran out of time: reads, without waiting, what is left of
// the bytes that were waiting at the stop, so that they can be counted.
// Returns the byte count, 0 when none is left.
ssize_t input_read_left(int fd, char* buffer, std::size_t size);
