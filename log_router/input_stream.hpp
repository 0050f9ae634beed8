// Reading standard input so that a stop signal loses nothing and a second
// one still ends the program promptly.
//
// The web server sends SIGTERM to its piped loggers at every stop and
// restart, while its old children may still be finishing requests and
// writing their lines into the same pipe.  So after input_stream_setup, a
// first SIGTERM, SIGINT or SIGHUP changes nothing: input is read until its
// end, when the last writer has closed it.  The handlers are installed with
// SA_RESTART, so that they cut no write short, and SIGPIPE is ignored, so
// that a write to a pipe whose reader has left fails with EPIPE instead of
// ending the program.
//
// Apache's prefork MPM sends its loggers two at once: SIGHUP to its process
// group and then SIGTERM at a restart, SIGTERM twice at a stop.  So a stop
// signal sent by logroute's parent (kill(2) or sigqueue(3) from the process
// id of the process that started logroute, even once it has exited) within
// INPUT_PARENT_PAIR_MS of the parent's previous one is not counted: the
// parent's pair is one event.
//
// A second stop signal is the prompt stop, for a writer that never ends: an
// administrator's (from any other process, or from the parent later).  It
// wakes a wait for input (through a pipe the module keeps to itself), and
// from then on input_read no longer waits: it returns the bytes that were
// waiting in the input at that moment, as far as they are ready, and then
// reports the end.  A pipe (or socket) is drained of what it held then, not
// of what keeps arriving; other input (a file, a device) is read no further.
// The drain has INPUT_DRAIN_LIMIT_MS from the second signal: then
// input_stream_out_of_time() turns true, input_read reports the end, and a
// write that blocks is interrupted (SIGALRM, EINTR).  Should the program
// still run INPUT_STOP_BACKSTOP_MS after that (a write stuck in the kernel),
// SIGALRM ends it.
#pragma once

#include <sys/types.h>

#include <cstddef>

constexpr long INPUT_DRAIN_LIMIT_MS = 1000;
constexpr long INPUT_STOP_BACKSTOP_MS = 500;
constexpr long INPUT_PARENT_PAIR_MS = 1000;

// Installs the handlers (stop signals, SIGALRM) and ignores SIGPIPE.  0, or
// -1 with errno.
int input_stream_setup();

// True once a second stop signal, counted as above, has asked for the
// prompt stop.
bool input_stream_stopping();

// True once the drain after a stop signal has run out of time.
bool input_stream_out_of_time();

// Reads up to `size` bytes from `fd`.  Waits for input until the prompt
// stop; after that, as above.  Returns the byte count, 0 at the end of
// input, or -1 with errno on error.
ssize_t input_read(int fd, char* buffer, std::size_t size);

// After the drain ran out of time: reads, without waiting, what is left of
// the bytes that were waiting at the stop, so that they can be counted.
// Returns the byte count, 0 when none is left.
ssize_t input_read_left(int fd, char* buffer, std::size_t size);
