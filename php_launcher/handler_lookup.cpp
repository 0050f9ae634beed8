#include "php_launcher/handler_lookup.hpp"

#include <stdlib.h>
#include <string.h>

#include "php_launcher/launcher_log.hpp"
#include "php_launcher/whole_file.hpp"

namespace {

char* copy_handler_path(const php_versions_info& registry, const char* id) {
  for (size_t i = 0; i < registry.count; i++)
    if (strcmp(registry.items[i].id, id) == 0) return strdup(registry.items[i].path);
  return nullptr;
}

}  // namespace

int handler_registry_load(handler_registry* registry) {
  registry->info = nullptr;
  registry->text = read_whole_file(PHP_REGISTRY_PATH, nullptr);
  if (registry->text == nullptr) {
    phpgate_log(PHPGATE_IDENT, "unable to read list of php installations from `%s'",
                PHP_REGISTRY_PATH);
    return -1;
  }
  if (php_versions_info_load(&registry->info, registry->text) == 0) return 0;
  phpgate_log(PHPGATE_IDENT, "unable to parse list of php installations from `%s'",
              PHP_REGISTRY_PATH);
  handler_registry_free(registry);
  return -1;
}

void handler_registry_free(handler_registry* registry) {
  // The records point into the text: release them first.
  php_versions_info_free(json_static_reader(nullptr), registry->info);
  free(registry->text);
  registry->info = nullptr;
  registry->text = nullptr;
}

char* lookup_handler_path(const char* id) {
  handler_registry registry;
  char* path = nullptr;
  if (handler_registry_load(&registry) == 0) path = copy_handler_path(*registry.info, id);
  handler_registry_free(&registry);
  return path;
}
