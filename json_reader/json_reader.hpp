// json_reader: a small forward-only JSON reader that works in place on a
// writable, NUL-terminated text.
//
// The interface is a plain procedural one: plain structs and
// global functions (no namespace, C linkage), errors as numbered codes kept in
// the reader. No primitive tests or clears `error_code` on entry; the caller
// tests it after every step and stops at the first non-zero code.
//
// Beyond plain JSON skipping (see json_reader/README.md):
//   Nesting depth is bounded. json_skip_value / json_skip_object /
//   json_skip_array fail with JSON_NESTING_TOO_DEEP (a code outside 0..23)
//   when an array or object would open nesting level JSON_MAX_NESTING_DEPTH + 1,
//   with the cursor left on its '[' or '{'. Without the bound a text of a few
//   hundred thousand '[' overflowed the stack.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Error codes. `json_reader::error_code` holds one of them.
enum json_error_code {
  JSON_OK = 0,
  JSON_CONTAINER_ENDED = 1,  // reserved
  JSON_PREMATURE_END = 2,
  JSON_VALUE_EXPECTED = 3,
  JSON_NUMBER_EXPECTED = 4,
  JSON_NUMBER_OUT_OF_RANGE = 5,
  JSON_BAD_NUMBER_FORMAT = 6,
  JSON_STRING_EXPECTED = 7,
  JSON_BAD_ESCAPE = 8,
  JSON_BAD_STRING_CHAR = 9,
  JSON_UNSUPPORTED_UNICODE = 10,
  JSON_OBJECT_EXPECTED = 11,
  JSON_NAME_SEPARATOR_EXPECTED = 12,
  JSON_OBJECT_SEPARATOR_EXPECTED = 13,
  JSON_REQUIRED_FIELDS_MISSING = 14,  // set by schema bindings
  JSON_ARRAY_EXPECTED = 15,
  JSON_ARRAY_SEPARATOR_EXPECTED = 16,
  JSON_BOOL_EXPECTED = 17,
  JSON_NULL_EXPECTED = 18,
  JSON_NULL_UNEXPECTED = 19,    // reserved
  JSON_OUT_OF_MEMORY = 20,      // set by schema bindings
  JSON_UNKNOWN_FIELD = 21,      // reserved; message takes error_detail
  JSON_DUPLICATE_FIELD = 22,    // reserved; message takes error_detail
  JSON_CONSTRAINT_FAILED = 23,  // reserved; message takes error_detail

  // Outside the numbered table: the skip operations' nesting bound.
  // Deliberately far from 23 so that codes 24.. keep meaning "unknown".
  JSON_NESTING_TOO_DEEP = 100
};

// Deepest nesting of arrays/objects that the skip operations accept
// (a top-level array counts as level 1).
enum { JSON_MAX_NESTING_DEPTH = 512 };

// Size of the static buffer behind json_error_message, NUL included.
enum { JSON_ERROR_BUFFER_SIZE = 1024 };

// Allocation hooks. `user` is passed as the first argument to each hook and
// never looked at by the reader. The reader itself only calls `allocate` (for
// its context) and `free` (on destruction); bindings use all three.
typedef struct json_allocator {
  void* user;
  void* (*allocate)(void* user, size_t size);
  void* (*reallocate)(void* user, void* block, size_t size);
  void (*free)(void* user, void* block);
} json_allocator;

// The reader context. Field names and order are part of the interface.
typedef struct json_reader {
  char* start;               // first character of the text; never changes
  char* cursor;              // next character to read
  const char* error_detail;  // detail text for codes 21..23, or null
  int32_t error_code;        // JSON_OK at creation; never cleared
  json_allocator allocator;  // copied at creation; the context is freed through it
} json_reader;

// Writes the default hooks (malloc / realloc / free, null user) into *out.
void json_default_allocator(json_allocator* out);

// Creates a reader over `text` (NUL-terminated, writable, owned by the caller,
// must outlive the reader and every string it returns). `hooks` may be null for
// the default hooks; they are copied. Returns null when `text` is null or the
// allocation fails.
json_reader* json_reader_create(char* text, const json_allocator* hooks);

// Releases the context through its own `free` hook. Null is ignored. Neither
// the text nor anything a binding allocated is released.
void json_reader_destroy(json_reader* reader);

// Moves the cursor past white space (space, \t, \n, \v, \f, \r). Never fails.
void json_skip_space(json_reader* reader);

// Skips white space, then "true" -> 1, "false" -> 0; otherwise code 17, returns 0.
int json_read_bool(json_reader* reader);

// Skips white space, then "null" -> 0; otherwise code 18, returns 18.
int json_read_null(json_reader* reader);

// strtoll/strtoull with base 0 at the cursor. Codes 4, 5, 6.
int64_t json_read_int64(json_reader* reader);
uint64_t json_read_uint64(json_reader* reader);  // skips white space; '-' -> code 6
// As above plus a 32-bit range test (code 5); the cursor goes back on failure.
int32_t json_read_int32(json_reader* reader);
uint32_t json_read_uint32(json_reader* reader);

// Skips white space, then one number of any (lenient) form. Returns 0, or 6
// with the cursor where the number began.
int json_skip_number(json_reader* reader);

// Skips white space, then reads a string, unescaping it in place. Returns a
// pointer into the text, or null with code 2, 7, 8, 9 or 10.
char* json_read_string(json_reader* reader);

// Skips white space, consumes '{'. Returns 0, or 11.
int json_begin_object(json_reader* reader);
// Reads a member name and the ':' after it. Returns the name, or null with the
// string reader's code; a missing ':' sets code 12 and still returns the name.
char* json_read_key(json_reader* reader);
// Skips white space; ',' -> 0, '}' -> 1, otherwise code 13 and returns 13.
int json_next_member(json_reader* reader);
// Skips white space; consumes '}' and returns 1, else returns 0. Never fails.
int json_end_object(json_reader* reader);

// Skips white space, consumes '['. Returns 0, or 15.
int json_begin_array(json_reader* reader);
// Skips white space; ',' -> 0, ']' -> 1, otherwise code 16 and returns 16.
int json_next_element(json_reader* reader);
// Skips white space; consumes ']' and returns 1, else returns 0. Never fails.
int json_end_array(json_reader* reader);

// Skips any one value; returns error_code afterwards.
int json_skip_value(json_reader* reader);
// Skip an object / an array; return 0 or the code they stopped on.
int json_skip_object(json_reader* reader);
int json_skip_array(json_reader* reader);

// Lookahead at the byte under the cursor; no white-space skip, no change.
int json_peek_bool(const json_reader* reader);    // 't' or 'f'
int json_peek_null(const json_reader* reader);    // 'n'
int json_peek_number(const json_reader* reader);  // '-' or a digit
int json_peek_string(const json_reader* reader);  // '"'
int json_peek_object(const json_reader* reader);  // '{'
int json_peek_array(const json_reader* reader);   // '['

// One line describing the reader's state (message of the code,
// offset, character at the cursor, errno). Written into one static buffer of
// JSON_ERROR_BUFFER_SIZE bytes that every call overwrites and returns. Not
// thread-safe. Does not change the reader, the text or errno.
const char* json_error_message(const json_reader* reader);

#ifdef __cplusplus
}  // extern "C"
#endif
