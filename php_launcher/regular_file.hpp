// Opening a file that phpgate only reads, and never waits on: the registry,
// a site's ini file.
#pragma once

#include <sys/stat.h>

// Opens `name` for reading, relative to the directory open as `dir_fd`
// (AT_FDCWD: the working directory), and keeps it only when it is a regular
// file. The open never waits (O_NONBLOCK: a FIFO waits for no writer) and
// never takes a terminal as the controlling one (O_NOCTTY); the descriptor
// is closed on exec. Returns the descriptor, which the caller closes, with
// the file's status in *status. Returns -1 with errno set otherwise: the
// open's or fstat's error, EISDIR for a directory, EINVAL for any other
// kind of file; after EISDIR and EINVAL *status holds what the file is.
int open_regular_file(int dir_fd, const char* name, struct stat* status);

// Why a file of this mode is not read: "Is a FIFO, not a regular file",
// "Is a socket, ...", "Is a device, ...", else "Not a regular file".
const char* not_regular_reason(mode_t mode);
