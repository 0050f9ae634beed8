// A writable, NUL-terminated copy of a text in a heap block of
// exactly its size plus the NUL (so AddressSanitizer catches a read past the
// end), with a reader over it.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "json_reader/json_reader.hpp"

namespace harness {

// A reader's error code and cursor offset, as json_text::state gives them.
using reader_state = std::pair<int, size_t>;

class json_text {
 public:
  explicit json_text(std::string_view text, const json_allocator* hooks = nullptr)
      : size_(text.size()), data_(new char[text.size() + 1]) {
    if (!text.empty()) std::memcpy(data_.get(), text.data(), text.size());
    data_[size_] = '\0';
    reader_ = json_reader_create(data_.get(), hooks);
  }
  ~json_text() { json_reader_destroy(reader_); }
  json_text(const json_text&) = delete;
  json_text& operator=(const json_text&) = delete;

  json_reader* r() const { return reader_; }
  char* data() const { return data_.get(); }
  size_t size() const { return size_; }
  // Offset of the cursor from the start of the text.
  size_t at() const { return static_cast<size_t>(reader_->cursor - reader_->start); }
  int code() const { return reader_->error_code; }
  // The code and the cursor's offset, to compare in one piece.
  std::pair<int, size_t> state() const { return {code(), at()}; }

 private:
  size_t size_;
  std::unique_ptr<char[]> data_;
  json_reader* reader_;
};

}  // namespace harness
