// The PHP handler registry: its records and their schema-bound parse on top
// of the JSON reader.
//
// The document is an object whose "php" member is an array of handler
// objects. Text fields point into the parsed document text (unescaped in
// place) or at one shared empty string; none is ever released by itself.
// The root record and the handler array are allocated through the hooks of
// the reader that parses, and are released through a reader with the same
// hooks (see json_static_reader).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "json_reader/json_reader.hpp"

struct php_handler {
  const char* id;
  const char* path;     // the handler's CGI executable
  const char* clipath;  // optional, "" when absent
  const char* version;
  const char* displayname;
  const char* phpini;
  const char* type;
  int32_t system;       // optional boolean, 0 when absent
  const char* service;  // optional, "" when absent
  const char* poold;    // optional, "" when absent
};

struct php_versions_info {
  size_t count;        // records of the document in `items`
  size_t capacity;     // record slots allocated in `items`
  php_handler* items;  // null while `capacity` is 0
};

// Handler array slots allocated by the first growth; each later growth doubles.
inline constexpr size_t PHP_HANDLERS_INITIAL_CAPACITY = 18;

// Parses the NUL-terminated, writable `text` with a reader on the default
// hooks. Stores the root it made (or null) in *root on every path; the caller
// owns it, after a failure too. Returns 0 on success, 1 on failure, which it
// has logged (launcher_log.hpp).
int php_versions_info_load(php_versions_info** root, char* text);

// A new empty root from the reader's `allocate` hook; null when there is no
// reader or the hook fails.
php_versions_info* php_versions_info_create(json_reader* reader);

// Parses the document at the reader's cursor into the empty `root`. Returns
// the reader's error_code, JSON_OK when the document was accepted. After a
// failure `count` covers every record begun, the failing one included.
int php_versions_info_parse(json_reader* reader, php_versions_info* root);

// Releases `items` through the reader's `free` hook and empties the root.
void php_versions_info_clear(json_reader* reader, php_versions_info* root);

// Clears the root, then releases the root record itself. Null is ignored.
void php_versions_info_free(json_reader* reader, php_versions_info* root);

// Resets the one reader held in static storage (empty text, no error, the
// given hooks or the default ones when `hooks` is null) and returns it. It
// serves to release records after the reader that parsed them is gone. Every
// call resets the same reader.
json_reader* json_static_reader(const json_allocator* hooks);
