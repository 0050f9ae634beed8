#include "php_launcher/handler_lookup.hpp"

#include <stdlib.h>
#include <string.h>

#include "php_launcher/launcher_syslog.hpp"
#include "php_launcher/php_versions_info.hpp"
#include "php_launcher/whole_file.hpp"

namespace {

char* copy_handler_path(const php_versions_info& registry, const char* id) {
  for (size_t i = 0; i < registry.count; i++)
    if (strcmp(registry.items[i].id, id) == 0) return strdup(registry.items[i].path);
  return nullptr;
}

}  // namespace

char* lookup_handler_path(const char* id) {
  char* text = read_whole_file(PHP_REGISTRY_PATH, nullptr);
  if (text == nullptr) {
    phpgate_syslog(PHPGATE_IDENT, "unable to read list of php installations from `%s'",
                   PHP_REGISTRY_PATH);
    return nullptr;
  }
  php_versions_info* registry = nullptr;
  char* path = nullptr;
  if (php_versions_info_load(&registry, text) == 0)
    path = copy_handler_path(*registry, id);
  else
    phpgate_syslog(PHPGATE_IDENT, "unable to parse list of php installations from `%s'",
                   PHP_REGISTRY_PATH);
  // The records point into the text: release them first.
  php_versions_info_free(json_static_reader(nullptr), registry);
  free(text);
  return path;
}
