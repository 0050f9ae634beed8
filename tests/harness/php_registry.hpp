// The PHP handler registry in tests: documents built from handler objects,
// allocation hooks that count and can refuse, and a parse that owns its
// text, reader and records.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <set>
#include <string>
#include <vector>

#include "php_launcher/php_versions_info.hpp"

namespace harness {

// A handler object with the six required members, its executable at
// `path`; `extra` is appended as further members (start it with a comma).
inline std::string handler_at(const std::string& id, const std::string& path,
                              const std::string& extra = "") {
  return "{\"id\":\"" + id + "\",\"path\":\"" + path + "\",\"version\":\"8." + id +
         "\",\"displayname\":\"PHP " + id + "\",\"phpini\":\"/opt/php/" + id +
         "/etc/php.ini\",\"type\":\"fastcgi\"" + extra + "}";
}

// The same with the executable at /opt/php/<id>/bin/php-cgi.
inline std::string handler_json(const std::string& id, const std::string& extra = "") {
  return handler_at(id, "/opt/php/" + id + "/bin/php-cgi", extra);
}

// {"php":[...]} with the handlers given.
inline std::string registry_json(const std::vector<std::string>& handlers) {
  std::string array;
  for (const std::string& h : handlers) array += (array.empty() ? "" : ",") + h;
  return "{\"php\":[" + array + "]}";
}

// {"php":[...]} with handlers named h0, h1, ...
inline std::string registry_json(size_t handlers) {
  std::vector<std::string> records;
  for (size_t i = 0; i < handlers; i++) records.push_back(handler_json("h" + std::to_string(i)));
  return registry_json(records);
}

// Allocation hooks that track live blocks and refuse the call numbered
// `refuse_call` (counting allocate and reallocate calls from 1; 0: none),
// and with `refuse_later` every call after it too. A release of a block
// they did not hand out fails the test.
struct counting_allocator {
  json_allocator hooks;
  size_t calls = 0;
  size_t frees = 0;
  size_t refuse_call;
  bool refuse_later;
  bool refused = false;  // some call was refused
  std::set<void*> live;

  explicit counting_allocator(size_t refuse = 0, bool later = true)
      : refuse_call(refuse), refuse_later(later) {
    hooks = {this, allocate, reallocate, release};
  }
  counting_allocator(const counting_allocator&) = delete;

  bool refuses() {
    ++calls;
    bool no = refuse_call != 0 && (calls == refuse_call || (refuse_later && calls > refuse_call));
    refused = refused || no;
    return no;
  }
  static void* allocate(void* user, size_t size) {
    auto* self = static_cast<counting_allocator*>(user);
    if (self->refuses()) return nullptr;
    void* block = malloc(size);
    self->live.insert(block);
    return block;
  }
  static void* reallocate(void* user, void* block, size_t size) {
    auto* self = static_cast<counting_allocator*>(user);
    if (self->refuses()) return nullptr;
    void* grown = realloc(block, size);
    self->live.erase(block);
    self->live.insert(grown);
    return grown;
  }
  static void release(void* user, void* block) {
    auto* self = static_cast<counting_allocator*>(user);
    self->frees++;
    if (self->live.erase(block) == 0)
      ADD_FAILURE() << "free of a block not allocated through these hooks";
    free(block);
  }
};

// One parse of `document`: the text, the reader over it (hooks as given, or
// the default ones) and the root, all released at the end.
class parsed_registry {
 public:
  explicit parsed_registry(const std::string& document, const json_allocator* hooks = nullptr)
      : text_(document) {
    reader_ = json_reader_create(text_.data(), hooks);
    root_ = php_versions_info_create(reader_);
    if (root_ != nullptr) code_ = php_versions_info_parse(reader_, root_);
  }
  ~parsed_registry() {
    if (reader_ != nullptr) php_versions_info_free(reader_, root_);
    json_reader_destroy(reader_);
  }
  parsed_registry(const parsed_registry&) = delete;

  int code() const { return code_; }
  json_reader* reader() { return reader_; }
  php_versions_info* root() { return root_; }
  const php_handler& item(size_t i) const { return root_->items[i]; }
  bool points_into_text(const char* p) const {
    return p >= text_.data() && p < text_.data() + text_.size();
  }

 private:
  std::string text_;
  json_reader* reader_ = nullptr;
  php_versions_info* root_ = nullptr;
  int code_ = -1;
};

}  // namespace harness
