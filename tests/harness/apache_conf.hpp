// The head of a test Apache's own configuration, for tests that run a real
// Apache inside the sandbox.
#pragma once

#include <sstream>
#include <string>

#include "harness/fixed_paths.hpp"

namespace harness {

// ServerRoot, run directory (which must exist), pid file and error log
// under `work`; the modules named (e.g. "cgid") from Debian's module
// directory; the web server's user; one loopback port; every directory
// denied until the test grants its own.
template <typename Modules>
std::string apache_config_head(const std::string& work, const Modules& modules, int port) {
  std::ostringstream c;
  c << "ServerRoot " << work << "\nDefaultRuntimeDir " << work << "/run\nPidFile " << work
    << "/run/httpd.pid\nErrorLog " << work << "/error.log\nLogLevel warn\n";
  for (const char* module : modules)
    c << "LoadModule " << module << "_module " << APACHE_MODULES << "mod_" << module << ".so\n";
  c << "User www-data\nGroup www-data\nListen 127.0.0.1:" << port << "\nServerName localhost\n"
    << "<Directory />\n  Require all denied\n</Directory>\n";
  return c.str();
}

}  // namespace harness
