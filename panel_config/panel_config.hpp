// panel_config: the panel's server-wide settings from "/etc/vrk/vrk.conf".
//
// The file is read once per process into a sorted table.  Each of the 29
// known variables answers the value the file sets, or else a default built
// into the program.  Problems are reported through diag_log_write and never
// stop the caller: a missing or broken file leaves the defaults in force,
// and the load is tried again at the next uncached lookup.
//
// All values returned point into the process-wide table or the built-in
// table; they stay valid until the process ends and must not be freed or
// changed.  Single-threaded use only.
#pragma once

#include <cstddef>

// The fixed path of the panel configuration file.
constexpr const char* PANEL_CONFIG_PATH = "/etc/vrk/vrk.conf";

// Slots allocated by the first panel_config_reserve; doubled on growth.
constexpr std::size_t PANEL_CONFIG_INITIAL_CAPACITY = 20;

struct panel_config_entry {
  char* name;   // owned, NUL-terminated
  char* value;  // owned, NUL-terminated
};

// Invariant: no two of the first `count` entries share a name.
struct panel_config {
  panel_config_entry* entries;  // `capacity` slots, `count` in use
  std::size_t capacity;
  std::size_t count;
  int sorted;  // non-zero: the first `count` entries are in strcmp order
};

// Index of a known variable; 0 and 30 are sentinels.  The fixed underlying
// type makes any int a valid value, so out-of-range indexes can be checked.
enum panel_config_var : int {
  _MIN_POSSIBLE_VRK_CONF_VAR_NAME = 0,
  VAREK_MAILNAMES_D = 1,
  RBLSMTPD = 2,
  CLIENT_PHP_BIN = 3,
  LIB_CRYPTO_PATH = 4,
  LIB_SSL_PATH = 5,
  AWSTATS_DOC_D = 6,
  AWSTATS_TOOLS_D = 7,
  AWSTATS_BIN_D = 8,
  AWSTATS_ETC_D = 9,
  MAILMAN_VAR_D = 10,
  MAILMAN_ROOT_D = 11,
  PGSQL_DATA_D = 12,
  PGSQL_BIN_D = 13,
  MYSQL_BIN_D = 14,
  MYSQL_VAR_D = 15,
  WEB_STAT = 16,
  DUMP_D = 17,
  DUMP_TMP_D = 18,
  NAMED_RUN_ROOT_D = 19,
  HTTPD_BIN = 20,
  HTTPD_SERVICE = 21,
  HTTPD_LOG_D = 22,
  HTTPD_INCLUDE_D = 23,
  HTTPD_CONF_D = 24,
  HTTPD_VHOSTS_D = 25,
  MYSQL_SOCKET = 26,
  SA_MAX_MAIL_SIZE = 27,
  SNI_SUPPORT = 28,
  PRODUCT_ROOT_D = 29,
  _MAX_POSSIBLE_VRK_CONF_VAR_NAME = 30,
};

// --- Process-wide table -------------------------------------------------

// Loads PANEL_CONFIG_PATH into the process-wide table unless it is loaded
// already.  0 when loaded (now or earlier), -1 when the load failed.
int panel_config_load();

// panel_config_load with another path; the process-wide table is loaded from
// `path` instead of the fixed one.  For unit tests.
int panel_config_load_path(const char* path);

// The file's value of name (loading first if needed), or null.
const char* panel_config_lookup(const char* name);

// The file's value of var through the per-variable cache, or null.
const char* panel_config_cached(panel_config_var var);

// The file's value of var, else its built-in default.  Never null for an
// index from 0 to 30; null for an index outside that range.
const char* panel_config_get(panel_config_var var);

// panel_config_get for the variable called name; logs at LOG_ERR and returns
// null when name is not one of the known names.
const char* panel_config_get_by_name(const char* name);

// --- Table operations ---------------------------------------------------
// Functions returning int give 0 on success and -1 with errno set.

// Reads the file at path into table, which must start zero-filled.  Only a
// regular file is read: a FIFO, socket, device or directory is refused
// like a file that cannot be opened, without waiting on it.  On -1 the
// table may hold part of the file; the caller frees it.
int panel_config_parse_file(const char* path, panel_config* table);

// Makes room for one more entry: 20 slots first, then doubling.
int panel_config_reserve(panel_config* table);

// Stores copies of name and value; a name already present gets the new value.
int panel_config_put(panel_config* table, const char* name, const char* value);

// Sorts the entries by name unless they are sorted already.
void panel_config_sort(panel_config* table);

// The value stored for name, or null.
const char* panel_config_find(const panel_config* table, const char* name);

// Frees the entries, the array and the record itself (allocated with
// malloc/calloc).  A null table is ignored.
void panel_config_free(panel_config* table);
