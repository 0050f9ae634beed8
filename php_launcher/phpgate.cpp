// phpgate: started in place of the PHP CGI executable. Takes the handler
// identifier (VK_CUSTOM_PHP_CGI_INDEX, default "cgi") and an optional PHP ini
// file (VK_CUSTOM_PHP_INI) from the environment, finds the handler's
// executable in the registry and replaces itself with it, adding "-c" and the
// ini path when PHP would read the site's file there (site_ini.hpp: a missing
// one is left out; one that PHP would read otherwise, or that exists but
// cannot be used, stops the request). The environment and the standard
// descriptors pass to PHP unchanged (closed ones opened on /dev/null first);
// arguments given to phpgate do not. Problems go to syslog only.
//
// Exit status: 1 when the ini file was refused or no handler executable was
// found; after a failed exec 127 when the executable does not exist, 126
// when it could not be run.

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "php_launcher/launcher_log.hpp"
#include "php_launcher/php_launch.hpp"
#include "php_launcher/standard_streams.hpp"

namespace {

// The exec message goes out under the name the program was started by.
const char* exec_ident(char* argv[]) {
  if (argv == nullptr || argv[0] == nullptr || argv[0][0] == '\0') return PHPGATE_IDENT;
  return argv[0];
}

}  // namespace

int main(int, char* argv[]) {
  if (standard_streams_open() != 0) {
    phpgate_log(PHPGATE_IDENT, "/dev/null:%s", strerror(errno));
    return PHP_LAUNCH_REFUSED;
  }
  php_launch launch;
  if (php_launch_prepare(&launch, getenv("VK_CUSTOM_PHP_CGI_INDEX"), getenv("VK_CUSTOM_PHP_INI"),
                         getenv("QUERY_STRING")) != 0)
    return launch.status;

  execv(launch.program, const_cast<char* const*>(launch.argv));

  int error = errno;
  phpgate_log(exec_ident(argv), "exec %s:%s", launch.program, strerror(error));
  free(launch.program);
  return php_launch_exec_status(error);
}
