// The paths a server gives the programs, as the tests lay them out inside a
// sandbox (the built-in defaults of the panel configuration), and the host's
// tools that some tests drive (they skip when one is missing).
#pragma once

#include <string>

namespace harness {

inline const std::string PANEL_CONFIG = "/etc/vrk/vrk.conf";
inline const std::string PHP_REGISTRY = "/etc/vrk/php_versions.json";
// HTTPD_VHOSTS_D; each domain has a directory in its "system" folder.
inline const std::string VHOSTS_DIR = "/var/www/vhosts";
inline const std::string DOMAINS_DIR = VHOSTS_DIR + "/system";
// HTTPD_LOG_D, and the log of the lines that belong to no domain.
inline const std::string SERVER_LOG_DIR = "/var/log/apache2";
inline const std::string SERVER_LOG = SERVER_LOG_DIR + "/access_log";

// A domain's access log (plain or SSL) under the virtual-hosts directory.
inline std::string domain_log(const std::string& domain, bool ssl = false,
                              const std::string& vhosts_dir = VHOSTS_DIR) {
  return vhosts_dir + "/system/" + domain + "/logs/" + (ssl ? "access_ssl_log" : "access_log");
}

inline const std::string APACHE = "/usr/sbin/apache2";
inline const std::string APACHE_MODULES = "/usr/lib/apache2/modules/";
inline const std::string CURL = "/usr/bin/curl";
inline const std::string OPENSSL = "/usr/bin/openssl";
inline const std::string PHP_CGI = "/usr/bin/php-cgi";
inline const std::string PHP_CLI = "/usr/bin/php";

}  // namespace harness
