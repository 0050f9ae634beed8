// Reading a whole file into one NUL-terminated heap buffer.
#pragma once

#include <stddef.h>

// Reads the regular file at `path` whole into a new buffer, NUL-terminated,
// that the caller releases with free(); the buffer is sized from the
// file's status and doubles whenever a read fills it (the file grew
// meanwhile, or its status tells no size, as in /proc). The file is opened
// with open_regular_file (regular_file.hpp): the open never blocks, and a
// FIFO, socket, device or directory is refused, so that a reader never
// waits or grows without end. A read error ends the text like end of file.
// Returns null, with errno set, when the file can't be opened or is not a
// regular file (EISDIR for a directory, EINVAL otherwise; `length` left
// untouched in both cases), or when memory runs out (`length` 0). When
// `length` is given it receives the number of bytes read.
char* read_whole_file(const char* path, size_t* length);
