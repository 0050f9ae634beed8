// The error exit: a message with the system error appended, prefixed with
// the program's base name, on both streams, then the end of the process.
#include <errno.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "diag_log/diag_log.hpp"

namespace {

constexpr std::size_t MESSAGE_SIZE = 4096;
constexpr const char* NO_MEMORY_TEXT = "Can't allocate memory for error message";

// The base name of path as POSIX basename(3) gives it ("/" for "/", "." for
// ""), taken without changing the caller's text.
std::string_view base_name(std::string_view path) {
  if (path.empty()) return ".";
  std::size_t end = path.find_last_not_of('/');
  if (end == std::string_view::npos) return "/";
  path = path.substr(0, end + 1);
  std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

void print_to(std::FILE* stream, std::string_view prefix, const char* text) {
  if (!prefix.empty())
    std::fprintf(stream, "%.*s: ", static_cast<int>(prefix.size()), prefix.data());
  std::fputs(text, stream);
  std::size_t length = std::strlen(text);
  if (length == 0 || text[length - 1] != '\n') std::fputc('\n', stream);
  std::fflush(stream);
}

// Formats into *buffer (of *size bytes), growing it once for a longer
// message.  Returns the length in the buffer, or -1 when growth failed and
// the text stays cut.
long format_message(char** buffer, std::size_t* size, const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  int length = std::vsnprintf(*buffer, *size, format, args);
  if (length < 0) {
    (*buffer)[0] = '\0';
    length = 0;
  } else if (static_cast<std::size_t>(length) >= *size) {
    char* grown = static_cast<char*>(std::realloc(*buffer, length + 1u));
    if (grown == nullptr) {
      va_end(again);
      return -1;
    }
    *buffer = grown;
    *size = length + 1u;
    std::vsnprintf(*buffer, *size, format, again);
  }
  va_end(again);
  return length;
}

// Appends "\nSystem error N: text" after the first `length` characters,
// growing the buffer to hold it whole when it can.
void append_system_error(char** buffer, std::size_t* size, std::size_t length, int error) {
  const char* suffix = "\nSystem error %d: %s";
  const char* reason = std::strerror(error);
  int needed = std::snprintf(*buffer + length, *size - length, suffix, error, reason);
  if (needed < 0 || length + needed < *size) return;
  char* grown = static_cast<char*>(std::realloc(*buffer, length + needed + 1));
  if (grown == nullptr) return;
  *buffer = grown;
  *size = length + needed + 1;
  std::snprintf(*buffer + length, *size - length, suffix, error, reason);
}

}  // namespace

int diag_print_message(const char* text, int status) {
  std::string_view prefix;
  if (diag_program_path != nullptr) prefix = base_name(diag_program_path);
  print_to(stderr, prefix, text);
  print_to(stdout, prefix, text);
  if (status != 0) std::exit(status);
  return 0;
}

void diag_error_exit_v(int status, const char* format, va_list args) {
  int saved_errno = errno;
  std::size_t size = MESSAGE_SIZE;
  char* buffer = static_cast<char*>(std::malloc(size));
  if (buffer == nullptr) {
    diag_print_message(NO_MEMORY_TEXT, status);
    return;
  }
  long length = format_message(&buffer, &size, format, args);
  errno = saved_errno;
  if (length >= 0 && saved_errno != 0) append_system_error(&buffer, &size, length, saved_errno);
  diag_print_message(buffer, status);
  std::free(buffer);
  errno = saved_errno;  // the caller may go on and look at it
}

void diag_error_exit(int status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  diag_error_exit_v(status, format, args);
  va_end(args);
}
