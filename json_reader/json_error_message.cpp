// Reader diagnostics: one line describing the reader's error.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "json_reader/json_reader.hpp"

namespace {

// The one static buffer; every call overwrites and returns it.
char json_error_buffer[JSON_ERROR_BUFFER_SIZE];

constexpr const char* MESSAGES[] = {
    /* 0 */ "OK, no error.",
    /* 1 */ "JSON array or object has ended.",
    /* 2 */ "JSON document has ended prematurely. Check that all strings are properly ended.",
    /* 3 */ "Any value is expected, but was not found.",
    /* 4 */ "Number is expected.",
    /* 5 */ "Number value is out of range for expected type.",
    /* 6 */ "Invalid or unsupported number format. Check that there are no floating point numbers.",
    /* 7 */ "String is expected.",
    /* 8 */ "Invalid escape sequence found in string.",
    /* 9 */
    "Invalid character found in string. Check that strings do not contain control characters.",
    /* 10 */
    "Invalid or unsupported Unicode character or escape sequence found in string. UTF8 encoded "
    "characters and '\\u' escape sequences are not supported.",
    /* 11 */ "JSON object is expected.",
    /* 12 */ "JSON name separator (':') is expected inside an object.",
    /* 13 */ "JSON value separator (',') or end of object is expected.",
    /* 14 */
    "Some required fields are missing from the JSON object. Check that input JSON document "
    "conforms to schema.",
    /* 15 */ "JSON array is expected.",
    /* 16 */ "JSON value separator (',') or end of array is expected.",
    /* 17 */ "Boolean value is expected.",
    /* 18 */ "'null' is expected.",
    /* 19 */
    "'null' is unexpected in this context. Check that input JSON document conforms to schema.",
    /* 20 */ "Failed to allocate memory.",
    /* 21 */
    "Encountered an object field \"%s\" not present in JSON schema. Remove excessive data from "
    "input JSON document or allow skipping unknown fields.",
    /* 22 */
    "Encountered a duplicate field \"%s\" in a JSON object. Remove duplicates from input JSON "
    "document or disable duplicate fields check.",
    /* 23 */ "Custom JSON value constraint failed: %s.",
};
static_assert(sizeof(MESSAGES) / sizeof(MESSAGES[0]) == 24, "one message per code 0..23");

constexpr const char* UNKNOWN_MESSAGE = "unknown error code";
// Message of the reader's own nesting bound (outside the message table).
constexpr const char* NESTING_MESSAGE =
    "JSON document is nested too deeply (more than 512 levels of arrays and objects).";
static_assert(JSON_MAX_NESTING_DEPTH == 512, "keep NESTING_MESSAGE in step");

// Appends one formatted piece at the current end of the text, using only the
// space left. After a cut or a formatting error the next piece starts at the
// true end of the text (measured again), so the result is the joined pieces
// cut after their first JSON_ERROR_BUFFER_SIZE - 1 bytes.
__attribute__((format(printf, 1, 2))) void append_piece(const char* format, ...) {
  size_t length = std::strlen(json_error_buffer);
  if (length + 1 >= sizeof(json_error_buffer)) return;
  va_list args;
  va_start(args, format);
  int written =
      std::vsnprintf(json_error_buffer + length, sizeof(json_error_buffer) - length, format, args);
  va_end(args);
  if (written < 0) json_error_buffer[length] = '\0';  // drop a piece that failed to format
}

}  // namespace

extern "C" const char* json_error_message(const json_reader* reader) {
  const int saved_errno = errno;
  json_error_buffer[0] = '\0';

  if (reader->error_code == JSON_OK) {
    append_piece("%s", MESSAGES[JSON_OK]);
    return json_error_buffer;
  }

  const unsigned code = static_cast<unsigned>(reader->error_code);
  if (code >= JSON_UNKNOWN_FIELD && code <= JSON_CONSTRAINT_FAILED) {
    const char* detail = reader->error_detail != nullptr ? reader->error_detail : "N/A";
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    append_piece(MESSAGES[code], detail);
#pragma GCC diagnostic pop
  } else if (code < sizeof(MESSAGES) / sizeof(MESSAGES[0])) {
    append_piece("%s", MESSAGES[code]);
  } else if (code == JSON_NESTING_TOO_DEEP) {
    append_piece("%s", NESTING_MESSAGE);
  } else {
    append_piece("%s", UNKNOWN_MESSAGE);
  }

  append_piece(" Error occured at offset %zu", static_cast<size_t>(reader->cursor - reader->start));

  const unsigned char at = static_cast<unsigned char>(*reader->cursor);
  if (at >= 0x20 && at <= 0x7E) {
    append_piece(", character '%c'. ", at);
  } else {
    append_piece(", character '\\x%.02x'. ", static_cast<unsigned>(at));
  }

  if (saved_errno != 0) {
    append_piece("Also system error occured: %s (%d).", std::strerror(saved_errno), saved_errno);
  }

  errno = saved_errno;
  return json_error_buffer;
}
