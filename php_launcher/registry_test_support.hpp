// Test support for the registry binding: documents built from handler
// objects, an allocator that counts and can refuse, and a parse that owns
// its text, reader and records.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <set>
#include <string>

#include "php_launcher/php_versions_info.hpp"

namespace registry_test {

// A handler object with the six required members; `extra` is appended as
// further members (start it with a comma).
inline std::string handler_json(const std::string& id, const std::string& extra = "") {
  return "{\"id\":\"" + id + "\",\"path\":\"/opt/php/" + id + "/bin/php-cgi\",\"version\":\"8." +
         id + "\",\"displayname\":\"PHP " + id + "\",\"phpini\":\"/opt/php/" + id +
         "/etc/php.ini\",\"type\":\"fastcgi\"" + extra + "}";
}

// {"php":[...]} with handlers named h0, h1, ...
inline std::string registry_json(size_t handlers) {
  std::string array;
  for (size_t i = 0; i < handlers; i++)
    array += (i ? "," : "") + handler_json("h" + std::to_string(i));
  return "{\"php\":[" + array + "]}";
}

// Allocation hooks that track live blocks and refuse the call numbered
// `fail_call` (counting allocate and reallocate calls from 1) and every call
// after it.
struct counting_allocator {
  json_allocator hooks;
  size_t calls = 0;
  size_t fail_call = 0;  // 0: never refuse
  size_t frees = 0;
  std::set<void*> live;

  explicit counting_allocator(size_t refuse_from = 0) : fail_call(refuse_from) {
    hooks = {this, allocate, reallocate, release};
  }
  counting_allocator(const counting_allocator&) = delete;

  bool refuses() {
    ++calls;
    return fail_call != 0 && calls >= fail_call;
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

}  // namespace registry_test
