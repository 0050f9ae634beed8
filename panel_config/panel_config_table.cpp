// The sorted name/value table: reserve, put, sort, find, free.
#include <errno.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "diag_log/diag_log.hpp"
#include "panel_config/panel_config.hpp"

namespace {

constexpr int WARNING = LOG_USER | LOG_WARNING;

// Reports a failed growth of the entry array; sets errno and returns -1.
int fail_growth() {
  diag_log_write(WARNING, "Unable to read configuration: %s", std::strerror(ENOMEM));
  errno = ENOMEM;
  return -1;
}

// Reports a failed copy of a name or value; sets errno and returns -1.
int fail_copy() {
  diag_log_write(WARNING, "Unable to form configuration: %s", std::strerror(ENOMEM));
  errno = ENOMEM;
  return -1;
}

int compare_names(const void* a, const void* b) {
  return std::strcmp(static_cast<const panel_config_entry*>(a)->name,
                     static_cast<const panel_config_entry*>(b)->name);
}

panel_config_entry* find_linear(const panel_config* table, const char* name) {
  for (std::size_t i = 0; i < table->count; i++)
    if (std::strcmp(table->entries[i].name, name) == 0) return &table->entries[i];
  return nullptr;
}

const panel_config_entry* find_sorted(const panel_config* table, const char* name) {
  std::size_t lo = 0, hi = table->count;
  while (lo < hi) {
    std::size_t mid = lo + (hi - lo) / 2;
    int order = std::strcmp(name, table->entries[mid].name);
    if (order == 0) return &table->entries[mid];
    if (order < 0)
      hi = mid;
    else
      lo = mid + 1;
  }
  return nullptr;
}

}  // namespace

int panel_config_reserve(panel_config* table) {
  if (table->entries == nullptr) {
    table->entries = static_cast<panel_config_entry*>(
        std::calloc(PANEL_CONFIG_INITIAL_CAPACITY, sizeof(panel_config_entry)));
    table->count = 0;
    if (table->entries == nullptr) {
      table->capacity = 0;
      errno = ENOMEM;
      return -1;
    }
    table->capacity = PANEL_CONFIG_INITIAL_CAPACITY;
    table->sorted = 1;
    return 0;
  }
  if (table->count < table->capacity) return 0;
  if (table->capacity > SIZE_MAX / 2 / sizeof(panel_config_entry)) return fail_growth();
  std::size_t capacity = table->capacity * 2;
  void* grown = std::realloc(table->entries, capacity * sizeof(panel_config_entry));
  if (grown == nullptr) return fail_growth();
  table->entries = static_cast<panel_config_entry*>(grown);
  table->capacity = capacity;
  return 0;
}

int panel_config_put(panel_config* table, const char* name, const char* value) {
  if (panel_config_reserve(table) != 0) return -1;
  char* name_copy = strdup(name);
  char* value_copy = strdup(value);
  if (name_copy == nullptr || value_copy == nullptr) {
    std::free(name_copy);
    std::free(value_copy);
    return fail_copy();
  }
  panel_config_entry* entry = find_linear(table, name);
  if (entry != nullptr) {
    std::free(entry->value);
    entry->value = value_copy;
    std::free(name_copy);
    return 0;
  }
  table->entries[table->count++] = {name_copy, value_copy};
  table->sorted = 0;
  return 0;
}

void panel_config_sort(panel_config* table) {
  if (table->sorted) return;
  if (table->count > 1)
    std::qsort(table->entries, table->count, sizeof(panel_config_entry), compare_names);
  table->sorted = 1;
}

const char* panel_config_find(const panel_config* table, const char* name) {
  const panel_config_entry* entry =
      table->sorted ? find_sorted(table, name) : find_linear(table, name);
  return entry != nullptr ? entry->value : nullptr;
}

void panel_config_free(panel_config* table) {
  if (table == nullptr) return;
  for (std::size_t i = 0; i < table->count; i++) {
    std::free(table->entries[i].name);
    std::free(table->entries[i].value);
  }
  std::free(table->entries);
  std::free(table);
}
