// Reading a whole file or stream into one NUL-terminated heap buffer.
#pragma once

#include <stddef.h>
#include <stdio.h>

// Reads `stream` up to its end into a new buffer that the caller releases
// with free(). The buffer starts at 1024 bytes and doubles whenever a read
// fills it; one byte is always kept for the terminating NUL. A read error
// ends the text like end of file. Returns null when memory runs out.
// When `length` is given it receives the number of bytes read (0 when
// memory ran out).
char* read_whole_stream(FILE* stream, size_t* length);

// Reads the regular file at `path` whole into a new buffer, NUL-terminated,
// that the caller releases with free(); the buffer is sized from the
// file's status and grows by doubling if the file grew meanwhile. The open
// never blocks (a FIFO waits for no writer) and only a regular file is
// read: a FIFO, socket, device or directory is refused, so that a reader
// never waits or grows without end. A read error ends the text like end of
// file. Returns null, with errno set, when the file can't be opened or is
// not a regular file (EISDIR for a directory, EINVAL otherwise; `length`
// left untouched in both cases), or when memory runs out (`length` 0).
char* read_whole_file(const char* path, size_t* length);
