// libFuzzer target for the PHP handler registry load.
//
// The input bytes, up to their first NUL, are the registry document. Each
// input runs three ways:
//   - php_versions_info_load on an exact-size heap copy (AddressSanitizer
//     sees any read past its NUL), with syslog captured in this program;
//   - a model of the schema written apart from the binding, over another
//     copy: records kept in maps, "php" arrays as vectors, the capacity
//     computed from the most records ever begun. The load must agree with
//     it on the outcome, the error code, the count, the capacity and every
//     field, and report a failure with exactly one message that quotes the
//     reader's own;
//   - php_versions_info_parse through allocation hooks that refuse the
//     1st, 2nd, ... call in turn: every path ends in the defined state
//     (no reader, no root, or JSON_OUT_OF_MEMORY with count == capacity)
//     and every block goes back through the hooks.
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "harness/fuzz_check.hpp"
#include "php_launcher/php_versions_info.hpp"

namespace {

// LOG_ERR of <syslog.h>, which is not included: this file defines the
// syslog functions itself.
constexpr int ERR_PRIORITY = 3;

// What the load sent to syslog during the current input.
std::vector<std::string> syslog_messages;

// ---------------------------------------------------------------------------
// The model.

const char* const STRING_MEMBERS[] = {"id",     "path", "clipath", "version", "displayname",
                                      "phpini", "type", "service", "poold"};
const char* const REQUIRED_MEMBERS[] = {"id", "path", "version", "displayname", "phpini", "type"};

bool is_string_member(const std::string& name) {
  for (const char* member : STRING_MEMBERS)
    if (name == member) return true;
  return false;
}

struct model_handler {
  std::map<std::string, std::string> text;  // string members seen, last value
  int system = 0;
};

struct model_result {
  int code = JSON_OK;
  size_t count = 0;       // records begun in the last "php" array reached
  size_t most_begun = 0;  // over every "php" array
  std::vector<model_handler> handlers;
};

int model_fail(json_reader* r, int code) {
  r->error_code = code;
  return code;
}

int model_parse_handler(json_reader* r, model_handler* h) {
  if (json_begin_object(r) != 0) return r->error_code;
  if (!json_end_object(r)) {
    for (;;) {
      const char* key = json_read_key(r);
      if (key == nullptr || r->error_code != JSON_OK) return r->error_code;
      const std::string name = key;
      if (name == "system") {
        const int value = json_read_bool(r);
        if (r->error_code != JSON_OK) return r->error_code;
        h->system = value;
      } else if (is_string_member(name)) {
        const char* value = json_read_string(r);
        if (value == nullptr || r->error_code != JSON_OK) return r->error_code;
        h->text[name] = value;
      } else if (json_skip_value(r) != 0) {
        return r->error_code;
      }
      if (json_next_member(r) == 1) break;
      if (r->error_code != JSON_OK) return r->error_code;
    }
  }
  for (const char* member : REQUIRED_MEMBERS)
    if (h->text.count(member) == 0) return model_fail(r, JSON_REQUIRED_FIELDS_MISSING);
  return JSON_OK;
}

int model_parse_array(json_reader* r, model_result* m) {
  m->handlers.clear();
  m->count = 0;
  if (json_begin_array(r) != 0) return r->error_code;
  if (json_end_array(r)) return JSON_OK;
  for (;;) {
    m->handlers.emplace_back();
    m->count = m->handlers.size();
    if (m->count > m->most_begun) m->most_begun = m->count;
    if (model_parse_handler(r, &m->handlers.back()) != JSON_OK) return r->error_code;
    if (json_next_element(r) == 1) return JSON_OK;
    if (r->error_code != JSON_OK) return r->error_code;
  }
}

int model_parse(json_reader* r, model_result* m) {
  if (json_begin_object(r) != 0) return r->error_code;
  if (json_end_object(r)) return model_fail(r, JSON_REQUIRED_FIELDS_MISSING);
  bool php_seen = false;
  for (;;) {
    const char* key = json_read_key(r);
    if (key == nullptr || r->error_code != JSON_OK) return r->error_code;
    if (std::string(key) == "php") {
      if (model_parse_array(r, m) != JSON_OK) return r->error_code;
      php_seen = true;
    } else if (json_skip_value(r) != 0) {
      return r->error_code;
    }
    if (json_next_member(r) == 1) break;
    if (r->error_code != JSON_OK) return r->error_code;
  }
  return php_seen ? JSON_OK : model_fail(r, JSON_REQUIRED_FIELDS_MISSING);
}

size_t expected_capacity(size_t most_begun) {
  if (most_begun == 0) return 0;
  size_t capacity = PHP_HANDLERS_INITIAL_CAPACITY;
  while (capacity < most_begun) capacity *= 2;
  return capacity;
}

// ---------------------------------------------------------------------------
// The text as the program holds it: an exact-size heap copy with its NUL.

struct document {
  char* text;
  size_t length;
  document(const uint8_t* data, size_t size) {
    const void* nul = std::memchr(data, 0, size);
    length = nul ? static_cast<const uint8_t*>(nul) - data : size;
    text = static_cast<char*>(std::malloc(length + 1));
    std::memcpy(text, data, length);
    text[length] = '\0';
  }
  ~document() { std::free(text); }
  document(const document&) = delete;
  document& operator=(const document&) = delete;

  bool holds(const char* p) const {
    return p >= text && p <= text + length && p + std::strlen(p) <= text + length;
  }
};

const char* model_text(const model_handler& h, const char* name) {
  auto it = h.text.find(name);
  return it == h.text.end() ? nullptr : it->second.c_str();
}

// The records of a successful parse against the model's.
void check_records(const php_versions_info* root, const document& doc, const model_result& m) {
  const char* shared_empty = nullptr;
  for (size_t i = 0; i < root->count; ++i) {
    const php_handler& record = root->items[i];
    const model_handler& expected = m.handlers[i];
    const char* const fields[] = {record.id,      record.path,        record.clipath,
                                  record.version, record.displayname, record.phpini,
                                  record.type,    record.service,     record.poold};
    const char* const names[] = {"id",     "path", "clipath", "version", "displayname",
                                 "phpini", "type", "service", "poold"};
    for (size_t f = 0; f < sizeof fields / sizeof fields[0]; ++f) {
      const char* value = fields[f];
      CHECK(value != nullptr);
      const char* want = model_text(expected, names[f]);
      if (want != nullptr) {
        CHECK(doc.holds(value));
        CHECK(std::strcmp(value, want) == 0);
      } else {
        // Absent optional member: the one shared empty string, outside the text.
        CHECK(value < doc.text || value > doc.text + doc.length);
        CHECK(value[0] == '\0');
        if (shared_empty == nullptr) shared_empty = value;
        CHECK(value == shared_empty);
      }
    }
    CHECK(record.system == expected.system);
  }
}

void check_shape(const php_versions_info* root) {
  CHECK(root->count <= root->capacity);
  CHECK((root->items == nullptr) == (root->capacity == 0));
}

// ---------------------------------------------------------------------------
// Allocation hooks that refuse one call (allocate and reallocate counted
// from 1) and track the live blocks.

struct refusing_allocator {
  json_allocator hooks;
  size_t calls = 0;
  size_t refuse = 0;  // 0: none
  std::set<void*> live;

  explicit refusing_allocator(size_t refused_call) : refuse(refused_call) {
    hooks = {this, allocate, reallocate, release};
  }
  bool refuses() { return ++calls == refuse; }
  static void* allocate(void* user, size_t size) {
    auto* self = static_cast<refusing_allocator*>(user);
    if (self->refuses()) return nullptr;
    void* block = std::malloc(size);
    CHECK(block != nullptr);
    self->live.insert(block);
    return block;
  }
  static void* reallocate(void* user, void* block, size_t size) {
    auto* self = static_cast<refusing_allocator*>(user);
    CHECK(block == nullptr || self->live.count(block) == 1);
    if (self->refuses()) return nullptr;
    void* grown = std::realloc(block, size);
    CHECK(grown != nullptr);
    self->live.erase(block);
    self->live.insert(grown);
    return grown;
  }
  static void release(void* user, void* block) {
    auto* self = static_cast<refusing_allocator*>(user);
    CHECK(self->live.erase(block) == 1);
    std::free(block);
  }
};

// Parses through hooks that refuse call `refuse` (0: none); returns the
// number of calls made, and the message a load would have quoted.
size_t parse_with_hooks(const uint8_t* data, size_t size, size_t refuse, const model_result& m,
                        std::string* message) {
  document doc(data, size);
  refusing_allocator allocator(refuse);
  json_reader* reader = json_reader_create(doc.text, &allocator.hooks);
  CHECK((reader == nullptr) == (refuse == 1));
  php_versions_info* root = php_versions_info_create(reader);
  CHECK((root == nullptr) == (refuse == 1 || refuse == 2));
  if (root != nullptr) {
    CHECK(root->count == 0 && root->capacity == 0 && root->items == nullptr);
    errno = 0;
    const int code = php_versions_info_parse(reader, root);
    CHECK(code == reader->error_code);
    check_shape(root);
    if (refuse == 0) {
      CHECK(code == m.code);
      CHECK(root->count == m.count);
      CHECK(root->capacity == expected_capacity(m.most_begun));
      if (code == JSON_OK) check_records(root, doc, m);
      if (message != nullptr && code != JSON_OK) *message = json_error_message(reader);
    } else {
      // The refused call grew the array: parsing stopped at a full array.
      CHECK(code == JSON_OUT_OF_MEMORY);
      CHECK(root->count == root->capacity);
      CHECK(root->capacity < expected_capacity(m.most_begun));
    }
  }
  json_reader_destroy(reader);
  php_versions_info_free(json_static_reader(&allocator.hooks), root);
  CHECK(allocator.live.empty());
  return refuse == 0 ? allocator.calls : 0;
}

}  // namespace

// syslog, as the load uses it, kept in this program.
extern "C" void openlog(const char*, int, int) {}
extern "C" void closelog() {}
extern "C" void vsyslog(int priority, const char* format, va_list args) {
  CHECK(priority == ERR_PRIORITY);
  char text[4096];
  std::vsnprintf(text, sizeof text, format, args);
  syslog_messages.emplace_back(text);
}
extern "C" void syslog(int priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsyslog(priority, format, args);
  va_end(args);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The model, over its own copy.
  model_result m;
  {
    document doc(data, size);
    json_reader* reader = json_reader_create(doc.text, nullptr);
    CHECK(reader != nullptr);
    m.code = model_parse(reader, &m);
    CHECK(m.code == reader->error_code);
    json_reader_destroy(reader);
  }

  // The load.
  {
    document doc(data, size);
    syslog_messages.clear();
    errno = ERANGE;  // an earlier error must not show in the message
    php_versions_info placeholder{};
    php_versions_info* root = &placeholder;
    const int status = php_versions_info_load(&root, doc.text);
    CHECK(root != nullptr && root != &placeholder);
    check_shape(root);
    CHECK(root->count == m.count);
    CHECK(root->capacity == expected_capacity(m.most_begun));
    if (m.code == JSON_OK) {
      CHECK(status == 0);
      CHECK(syslog_messages.empty());
      check_records(root, doc, m);
    } else {
      CHECK(status == 1);
      CHECK(syslog_messages.size() == 1);
    }
    php_versions_info_free(json_static_reader(nullptr), root);
  }

  // The same parse through hooks, then with each of its allocations refused.
  std::string message;
  const size_t calls = parse_with_hooks(data, size, 0, m, &message);
  if (m.code != JSON_OK)
    CHECK(syslog_messages[0] == "can not parse php_versions_info object : `" + message + "'");
  for (size_t refuse = 1; refuse <= calls; ++refuse)
    parse_with_hooks(data, size, refuse, m, nullptr);
  return 0;
}
