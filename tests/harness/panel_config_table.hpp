// A panel configuration table of its own for a test.
#pragma once

#include <cstdlib>
#include <memory>

#include "panel_config/panel_config.hpp"

namespace harness {

// A zero-filled table record, freed with panel_config_free.
using table_ptr = std::unique_ptr<panel_config, void (*)(panel_config*)>;

inline table_ptr new_table() {
  return table_ptr(static_cast<panel_config*>(std::calloc(1, sizeof(panel_config))),
                   panel_config_free);
}

}  // namespace harness
