// The process-wide configuration table, the per-variable cache and the
// built-in defaults of the known variables.
#include "panel_config/panel_config.hpp"

#include <cstdlib>
#include <cstring>

#include "diag_log/diag_log.hpp"

namespace {

constexpr int VAR_COUNT = _MAX_POSSIBLE_VRK_CONF_VAR_NAME + 1;

struct known_variable {
  const char* name;
  const char* default_value;
};

// Indexed by panel_config_var.
constexpr known_variable KNOWN[VAR_COUNT] = {
    {"_MIN_POSSIBLE_VRK_CONF_VAR_NAME", "_MIN_POSSIBLE_VRK_CONF_VAR_VALUE"},
    {"VAREK_MAILNAMES_D", "/var/qmail/mailnames"},
    {"RBLSMTPD", "/usr/sbin/rblsmtpd"},
    {"CLIENT_PHP_BIN", "/opt/vrk/bin/php-cli"},
    {"LIB_CRYPTO_PATH", "/lib/libcrypto.so"},
    {"LIB_SSL_PATH", "/lib/libssl.so"},
    {"AWSTATS_DOC_D", "/usr/share/awstats"},
    {"AWSTATS_TOOLS_D", "/usr/share/awstats/tools"},
    {"AWSTATS_BIN_D", "/usr/lib/cgi-bin"},
    {"AWSTATS_ETC_D", "/etc/awstats"},
    {"MAILMAN_VAR_D", "/var/lib/mailman"},
    {"MAILMAN_ROOT_D", "/usr/lib/mailman"},
    {"PGSQL_DATA_D", "/var/lib/postgresql/12/main"},
    {"PGSQL_BIN_D", "/usr/lib/postgresql/12/bin"},
    {"MYSQL_BIN_D", "/usr/bin"},
    {"MYSQL_VAR_D", "/var/lib/mysql"},
    {"WEB_STAT", "/usr/bin/webalizer"},
    {"DUMP_D", "/var/lib/vrk/dumps"},
    {"DUMP_TMP_D", "/tmp"},
    {"NAMED_RUN_ROOT_D", "/var/named/run-root"},
    {"HTTPD_BIN", "/usr/sbin/apache2"},
    {"HTTPD_SERVICE", "apache2"},
    {"HTTPD_LOG_D", "/var/log/apache2"},
    {"HTTPD_INCLUDE_D", "/etc/apache2/conf-enabled"},
    {"HTTPD_CONF_D", "/etc/apache2"},
    {"HTTPD_VHOSTS_D", "/var/www/vhosts"},
    {"MYSQL_SOCKET", "/var/run/mysqld/mysqld.sock"},
    {"SA_MAX_MAIL_SIZE", "256000"},
    {"SNI_SUPPORT", "true"},
    {"PRODUCT_ROOT_D", "/opt/vrk"},
    {"_MAX_POSSIBLE_VRK_CONF_VAR_NAME", "_MAX_POSSIBLE_VRK_CONF_VAR_VALUE"},
};

// The process-wide table: null until a load succeeds, then kept for good.
panel_config* loaded_table = nullptr;
// Values found in the file, by variable; only ever filled with non-null.
const char* cached_values[VAR_COUNT] = {};

bool is_known_index(panel_config_var var) { return var >= 0 && var < VAR_COUNT; }

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
  if (cached_values[var] == nullptr) cached_values[var] = panel_config_lookup(KNOWN[var].name);
  return cached_values[var];
}

const char* panel_config_get(panel_config_var var) {
  if (!is_known_index(var)) return nullptr;
  const char* value = panel_config_cached(var);
  return value != nullptr ? value : KNOWN[var].default_value;
}

const char* panel_config_get_by_name(const char* name) {
  // The upper sentinel is not looked up by name.
  for (int i = 0; name != nullptr && i < _MAX_POSSIBLE_VRK_CONF_VAR_NAME; i++)
    if (std::strcmp(name, KNOWN[i].name) == 0)
      return panel_config_get(static_cast<panel_config_var>(i));
  diag_log_write(LOG_ERR, "variable '%s' was found neither in %s, nor in compile-time defaults",
                 name != nullptr ? name : "(null)", PANEL_CONFIG_PATH);
  return nullptr;
}
