// The process-wide configuration table and the per-variable cache.
#include "panel_config/panel_config.hpp"

#include <cstdlib>
#include <cstring>

#include "diag_log/diag_log.hpp"
#include "panel_config/panel_config_known.hpp"

namespace {

// The process-wide table: null until a load succeeds, then kept for good.
panel_config* loaded_table = nullptr;
// Values found in the file, by variable; only ever filled with non-null.
const char* cached_values[PANEL_CONFIG_VAR_COUNT] = {};

bool is_known_index(panel_config_var var) { return var >= 0 && var < PANEL_CONFIG_VAR_COUNT; }

}  // namespace

int panel_config_load_path(const char* path) {
  if (loaded_table != nullptr) return 0;
  auto* table = static_cast<panel_config*>(std::calloc(1, sizeof(panel_config)));
  if (table == nullptr) {
    diag_log_write(LOG_ERR, "Not enough memory to allocate Varek runtime configuration structure");
    return -1;
  }
  if (panel_config_parse_file(path, table) != 0) {
    panel_config_free(table);
    return -1;
  }
  loaded_table = table;
  return 0;
}

int panel_config_load() { return panel_config_load_path(PANEL_CONFIG_PATH); }

const char* panel_config_lookup(const char* name) {
  if (loaded_table == nullptr && panel_config_load() != 0) return nullptr;
  return panel_config_find(loaded_table, name);
}

const char* panel_config_cached(panel_config_var var) {
  if (!is_known_index(var)) return nullptr;
  if (cached_values[var] == nullptr)
    cached_values[var] = panel_config_lookup(PANEL_CONFIG_KNOWN[var].name);
  return cached_values[var];
}

const char* panel_config_get(panel_config_var var) {
  if (!is_known_index(var)) return nullptr;
  const char* value = panel_config_cached(var);
  return value != nullptr ? value : PANEL_CONFIG_KNOWN[var].default_value;
}

const char* panel_config_get_by_name(const char* name) {
  // The upper sentinel is not looked up by name.
  for (int i = 0; name != nullptr && i < _MAX_POSSIBLE_VRK_CONF_VAR_NAME; i++)
    if (std::strcmp(name, PANEL_CONFIG_KNOWN[i].name) == 0)
      return panel_config_get(static_cast<panel_config_var>(i));
  diag_log_write(LOG_ERR, "variable '%s' was found neither in %s, nor in compile-time defaults",
                 name != nullptr ? name : "(null)", PANEL_CONFIG_PATH);
  return nullptr;
}
