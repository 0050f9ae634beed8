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

// Opens `path` with fopen(path, "r") and reads it with read_whole_stream.
// Returns null when the file can't be opened (`length` left untouched) or
// memory runs out.
char* read_whole_file(const char* path, size_t* length);
