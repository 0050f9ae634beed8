// The known variables of the panel configuration, their names and built-in
// defaults, indexed by panel_config_var: the one table that panel_config.cpp
// answers from and its tests check against. Not part of the contract.
#pragma once

#include "panel_config/panel_config.hpp"

inline constexpr int PANEL_CONFIG_VAR_COUNT = _MAX_POSSIBLE_VRK_CONF_VAR_NAME + 1;

struct panel_config_known_variable {
  const char* name;
  const char* default_value;
};

inline constexpr panel_config_known_variable PANEL_CONFIG_KNOWN[PANEL_CONFIG_VAR_COUNT] = {
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
