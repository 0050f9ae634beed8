// libFuzzer target for the panel configuration file parser.
//
// The input bytes are the whole file (NULs, CR LF, missing last newline and
// all). They are written to a memory file that panel_config_parse_file reads
// through its /proc/self/fd path, with the diagnostic log captured. A model
// of the line rules, written apart from the parser, gives the table and the
// messages to expect:
//   - the parse succeeds, and the table is sorted, holds exactly the model's
//     names with their last values, and has the capacity that its growth
//     rule (20, then doubling whenever a put finds it full) leads to;
//   - every stored name is a non-empty run of name characters, every value
//     is non-empty with no '#' and no blank at either end;
//   - panel_config_find answers every stored name with its value, and a
//     name that is not stored with null;
//   - each invalid line gives exactly its message, in file order, and
//     nothing else is logged.
// AddressSanitizer's leak check covers the table's release.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "harness/diag_recorder.hpp"
#include "harness/fuzz_check.hpp"
#include "panel_config/panel_config.hpp"

namespace {

constexpr int WARNING_PRIORITY = LOG_USER | LOG_WARNING;

// ---------------------------------------------------------------------------
// The model.

bool white(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool name_char(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

struct model {
  std::map<std::string, std::string> values;
  std::vector<harness::logged_message> messages;
  size_t capacity = PANEL_CONFIG_INITIAL_CAPACITY;
  size_t count = 0;

  void store(const std::string& name, const std::string& value) {
    if (count == capacity) capacity *= 2;  // room is made before the name is looked for
    if (values.count(name) == 0) ++count;
    values[name] = value;
  }

  // One line as the parser sees it: the C string it holds, so up to a NUL.
  void line(const std::string& raw) {
    const std::string text = raw.substr(0, raw.find('\0'));
    size_t i = 0;
    while (i < text.size() && white(text[i])) ++i;
    if (i == text.size() || text[i] == '#') return;
    const std::string shown = text.substr(i);
    size_t name_end = i;
    while (name_end < text.size() && name_char(text[name_end])) ++name_end;
    if (name_end == i || name_end == text.size() || !white(text[name_end])) {
      messages.push_back({WARNING_PRIORITY, "Invalid variable definition " + shown +
                                                "\nExpected a space after variable name\n"});
      return;
    }
    size_t value_start = name_end;
    while (value_start < text.size() && white(text[value_start])) ++value_start;
    if (value_start == text.size() || text[value_start] == '#') {
      messages.push_back(
          {WARNING_PRIORITY, "Invalid variable definition " + shown + "\nExpected a value"});
      return;
    }
    size_t value_end = text.find('#', value_start);
    if (value_end == std::string::npos) value_end = text.size();
    while (white(text[value_end - 1])) --value_end;
    store(text.substr(i, name_end - i), text.substr(value_start, value_end - value_start));
  }

  explicit model(const std::string& file) {
    size_t start = 0;
    while (start < file.size()) {
      size_t newline = file.find('\n', start);
      size_t end = newline == std::string::npos ? file.size() : newline + 1;
      line(file.substr(start, end - start));
      start = end;
    }
  }
};

// ---------------------------------------------------------------------------

harness::diag_recorder* recorder = nullptr;
int memory_file = -1;
char memory_path[64];

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  memory_file = memfd_create("panel_config_fuzz", 0);
  CHECK(memory_file >= 0);
  std::snprintf(memory_path, sizeof memory_path, "/proc/self/fd/%d", memory_file);
  recorder = new harness::diag_recorder;  // for the whole run
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string file(reinterpret_cast<const char*>(data), size);
  CHECK(ftruncate(memory_file, 0) == 0);
  CHECK(pwrite(memory_file, data, size, 0) == static_cast<ssize_t>(size));

  recorder->clear();
  auto* table = static_cast<panel_config*>(std::calloc(1, sizeof(panel_config)));
  CHECK(table != nullptr);
  const int result = panel_config_parse_file(memory_path, table);
  const model expected(file);

  CHECK(result == 0);
  CHECK(recorder->messages() == expected.messages);
  CHECK(table->sorted != 0);
  CHECK(table->count == expected.values.size());
  CHECK(table->count <= table->capacity);
  CHECK(table->capacity == expected.capacity);

  auto want = expected.values.begin();
  for (size_t i = 0; i < table->count; ++i, ++want) {
    const panel_config_entry& entry = table->entries[i];
    CHECK(entry.name != nullptr && entry.value != nullptr);
    if (i > 0) CHECK(std::strcmp(table->entries[i - 1].name, entry.name) < 0);
    CHECK(want->first == entry.name);
    CHECK(want->second == entry.value);

    const size_t name_length = std::strlen(entry.name);
    CHECK(name_length > 0);
    for (size_t k = 0; k < name_length; ++k) CHECK(name_char(entry.name[k]));
    const size_t value_length = std::strlen(entry.value);
    CHECK(value_length > 0);
    CHECK(!white(entry.value[0]) && !white(entry.value[value_length - 1]));
    CHECK(std::strchr(entry.value, '#') == nullptr);

    CHECK(panel_config_find(table, entry.name) == entry.value);
    const std::string absent = std::string(entry.name) + "#";
    CHECK(panel_config_find(table, absent.c_str()) == nullptr);
  }
  CHECK(panel_config_find(table, "") == nullptr);
  panel_config_free(table);
  return 0;
}
