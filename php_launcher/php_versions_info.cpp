#include "php_launcher/php_versions_info.hpp"

#include <errno.h>
#include <stdint.h>
#include <string.h>

#include "php_launcher/launcher_log.hpp"

namespace {

// Shared by every optional text member that the document leaves out.
constexpr const char* ABSENT_TEXT = "";

// One member of a handler object. `text` is null for "system", the only
// boolean member.
struct handler_member {
  const char* name;
  const char* php_handler::*text;
  bool required;
};

constexpr handler_member HANDLER_MEMBERS[] = {
    {"id", &php_handler::id, true},
    {"path", &php_handler::path, true},
    {"clipath", &php_handler::clipath, false},
    {"version", &php_handler::version, true},
    {"displayname", &php_handler::displayname, true},
    {"phpini", &php_handler::phpini, true},
    {"type", &php_handler::type, true},
    {"system", nullptr, false},
    {"service", &php_handler::service, false},
    {"poold", &php_handler::poold, false},
};
constexpr size_t HANDLER_MEMBER_COUNT = sizeof HANDLER_MEMBERS / sizeof HANDLER_MEMBERS[0];

int fail(json_reader* reader, int code) {
  reader->error_code = code;
  return code;
}

// True when the two names are equal byte for byte. The schema's names are
// short and mostly differ in their first byte: an inline loop costs less
// than a call to strcmp.
bool same_name(const char* a, const char* b) {
  while (*a == *b && *a != '\0') {
    a++;
    b++;
  }
  return *a == *b;
}

// The member called `name`, or null. A registry tends to give every handler
// its members in one order, so the search starts at `guess`, the member
// after the one found last, and goes round the table from there.
const handler_member* find_handler_member(const char* name, size_t guess) {
  for (size_t i = 0; i < HANDLER_MEMBER_COUNT; i++) {
    const handler_member& member = HANDLER_MEMBERS[(guess + i) % HANDLER_MEMBER_COUNT];
    if (same_name(name, member.name)) return &member;
  }
  return nullptr;
}

// Reads the value of a known member into its field; false on a reader error.
bool read_handler_member(json_reader* reader, php_handler* handler, const handler_member& member) {
  if (member.text == nullptr) {
    int value = json_read_bool(reader);
    if (reader->error_code != JSON_OK) return false;
    handler->system = value;
    return true;
  }
  const char* value = json_read_string(reader);
  if (reader->error_code != JSON_OK) return false;
  handler->*member.text = value;
  return true;
}

// Gives the optional members that were not seen their defaults; fails the
// parse when a required one was not seen.
int finish_handler(json_reader* reader, php_handler* handler,
                   const bool (&seen)[HANDLER_MEMBER_COUNT]) {
  bool complete = true;
  for (size_t i = 0; i < HANDLER_MEMBER_COUNT; i++) {
    const handler_member& member = HANDLER_MEMBERS[i];
    if (seen[i]) continue;
    if (member.required)
      complete = false;
    else if (member.text == nullptr)
      handler->system = 0;
    else
      handler->*member.text = ABSENT_TEXT;
  }
  return complete ? reader->error_code : fail(reader, JSON_REQUIRED_FIELDS_MISSING);
}

int parse_handler(json_reader* reader, php_handler* handler) {
  bool seen[HANDLER_MEMBER_COUNT] = {};
  size_t guess = 0;
  if (json_begin_object(reader) != 0) return reader->error_code;
  if (json_end_object(reader)) return finish_handler(reader, handler, seen);
  for (;;) {
    if (reader->error_code != JSON_OK) return reader->error_code;
    const char* name = json_read_key(reader);
    if (name == nullptr || reader->error_code != JSON_OK) return reader->error_code;
    if (const handler_member* member = find_handler_member(name, guess)) {
      if (!read_handler_member(reader, handler, *member)) return reader->error_code;
      size_t index = member - HANDLER_MEMBERS;
      seen[index] = true;
      guess = index + 1;
    } else if (json_skip_value(reader) != 0) {
      return reader->error_code;
    }
    if (json_next_member(reader) == 1) break;
  }
  return finish_handler(reader, handler, seen);
}

// Makes room for more records through the reader's `reallocate` hook: 18
// slots at first, then twice as many. New slots are zeroed. On failure the
// old array stays in place and the reader holds JSON_OUT_OF_MEMORY.
bool grow_handlers(json_reader* reader, php_versions_info* root) {
  size_t old_capacity = root->capacity;
  size_t new_capacity = old_capacity == 0 ? PHP_HANDLERS_INITIAL_CAPACITY : old_capacity * 2;
  if (new_capacity > SIZE_MAX / 2 / sizeof(php_handler)) {
    fail(reader, JSON_OUT_OF_MEMORY);
    return false;
  }
  const json_allocator& hooks = reader->allocator;
  void* grown = hooks.reallocate(hooks.user, root->items, new_capacity * sizeof(php_handler));
  if (grown == nullptr) {
    fail(reader, JSON_OUT_OF_MEMORY);
    return false;
  }
  root->items = static_cast<php_handler*>(grown);
  memset(root->items + old_capacity, 0, (new_capacity - old_capacity) * sizeof(php_handler));
  root->capacity = new_capacity;
  return true;
}

// Parses the "php" array into the records from slot 0 on; `count` ends up
// covering every record begun.
void parse_handler_array(json_reader* reader, php_versions_info* root) {
  size_t index = 0;
  if (json_begin_array(reader) == 0 && !json_end_array(reader)) {
    for (;;) {
      if (reader->error_code != JSON_OK) break;
      if (index == root->capacity && !grow_handlers(reader, root)) break;
      index++;
      if (parse_handler(reader, &root->items[index - 1]) != JSON_OK) break;
      if (json_next_element(reader) == 1) break;
    }
  }
  root->count = index;
}

}  // namespace

php_versions_info* php_versions_info_create(json_reader* reader) {
  if (reader == nullptr) return nullptr;
  const json_allocator& hooks = reader->allocator;
  auto* root =
      static_cast<php_versions_info*>(hooks.allocate(hooks.user, sizeof(php_versions_info)));
  if (root == nullptr) return nullptr;
  root->count = 0;
  root->capacity = 0;
  root->items = nullptr;
  return root;
}

int php_versions_info_parse(json_reader* reader, php_versions_info* root) {
  if (json_begin_object(reader) != 0) return reader->error_code;
  if (json_end_object(reader)) return fail(reader, JSON_REQUIRED_FIELDS_MISSING);
  bool php_seen = false;
  for (;;) {
    if (reader->error_code != JSON_OK) return reader->error_code;
    const char* name = json_read_key(reader);
    if (name == nullptr || reader->error_code != JSON_OK) return reader->error_code;
    if (strcmp(name, "php") == 0) {
      parse_handler_array(reader, root);
      if (reader->error_code != JSON_OK) return reader->error_code;
      php_seen = true;
    } else if (json_skip_value(reader) != 0) {
      return reader->error_code;
    }
    if (json_next_member(reader) == 1) break;
  }
  return php_seen ? reader->error_code : fail(reader, JSON_REQUIRED_FIELDS_MISSING);
}

void php_versions_info_clear(json_reader* reader, php_versions_info* root) {
  root->count = 0;
  root->capacity = 0;
  if (root->items != nullptr) reader->allocator.free(reader->allocator.user, root->items);
  root->items = nullptr;
}

void php_versions_info_free(json_reader* reader, php_versions_info* root) {
  if (root == nullptr) return;
  php_versions_info_clear(reader, root);
  reader->allocator.free(reader->allocator.user, root);
}

int php_versions_info_load(php_versions_info** root, char* text) {
  json_reader* reader = json_reader_create(text, nullptr);
  errno = 0;
  *root = php_versions_info_create(reader);
  if (*root == nullptr) {
    phpgate_log(PHPGATE_IDENT, "can not create php_versions_info object");
    json_reader_destroy(reader);
    return 1;
  }
  if (php_versions_info_parse(reader, *root) == JSON_OK) {
    json_reader_destroy(reader);
    return 0;
  }
  phpgate_log(PHPGATE_IDENT, "can not parse php_versions_info object : `%s'",
              json_error_message(reader));
  json_reader_destroy(reader);
  return 1;
}

json_reader* json_static_reader(const json_allocator* hooks) {
  static char empty_text[1] = "";
  static json_reader reader;
  reader.start = empty_text;
  reader.cursor = empty_text;
  reader.error_detail = nullptr;
  reader.error_code = JSON_OK;
  if (hooks != nullptr)
    reader.allocator = *hooks;
  else
    json_default_allocator(&reader.allocator);
  return &reader;
}
