#include "php_launcher/whole_file.hpp"

#include <stdint.h>
#include <stdlib.h>

#include <memory>

namespace {

constexpr size_t INITIAL_CAPACITY = 1024;

struct free_block {
  void operator()(void* block) const { free(block); }
};
using heap_text = std::unique_ptr<char, free_block>;

struct close_stream {
  void operator()(FILE* stream) const { fclose(stream); }
};
using open_stream = std::unique_ptr<FILE, close_stream>;

// Doubles the buffer; false (buffer unchanged) when the size would overflow
// or realloc fails.
bool grow(heap_text& buffer, size_t& capacity) {
  if (capacity > SIZE_MAX / 2) return false;
  void* grown = realloc(buffer.get(), capacity * 2);
  if (grown == nullptr) return false;
  buffer.release();
  buffer.reset(static_cast<char*>(grown));
  capacity *= 2;
  return true;
}

}  // namespace

char* read_whole_stream(FILE* stream, size_t* length) {
  if (length != nullptr) *length = 0;
  size_t capacity = INITIAL_CAPACITY;
  heap_text buffer(static_cast<char*>(malloc(capacity)));
  if (buffer == nullptr) return nullptr;

  size_t position = 0;
  while (!feof(stream)) {
    size_t room = capacity - 1 - position;
    size_t got = fread(buffer.get() + position, 1, room, stream);
    if (got == 0) break;
    if (got == room && !grow(buffer, capacity)) return nullptr;
    position += got;
  }
  buffer.get()[position] = '\0';
  if (length != nullptr) *length = position;
  return buffer.release();
}

char* read_whole_file(const char* path, size_t* length) {
  open_stream stream(fopen(path, "r"));
  if (stream == nullptr) return nullptr;
  return read_whole_stream(stream.get(), length);
}
