// phpgate: started in place of the PHP CGI executable. Takes the handler
// identifier (VK_CUSTOM_PHP_CGI_INDEX, default "cgi") and an optional PHP ini
// file (VK_CUSTOM_PHP_INI) from the environment, finds the handler's
// executable in the registry and replaces itself with it, adding "-c" and the
// ini path when the ini file can be opened. The environment and the standard
// descriptors pass to PHP unchanged; arguments given to phpgate do not.
// Problems go to syslog only.
//
// Exit status: 1 when no handler executable was found; after a failed exec
// 127 when the executable does not exist, 126 when it could not be run.

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "php_launcher/handler_lookup.hpp"
#include "php_launcher/launcher_syslog.hpp"

namespace {

constexpr const char* DEFAULT_HANDLER_ID = "cgi";
constexpr int EXIT_NOT_FOUND = 1;
constexpr int EXIT_EXEC_NOT_FOUND = 127;
constexpr int EXIT_EXEC_FAILED = 126;

// The ini file is only handed on when it can be opened for reading.
bool ini_file_opens(const char* ini_path) {
  int fd = open(ini_path, O_RDONLY);
  if (fd == -1) {
    const char* why = strerror(errno);
    phpgate_syslog(PHPGATE_IDENT, "%s:%s", ini_path, why);
    return false;
  }
  close(fd);
  return true;
}

// The exec message goes out under the name the program was started by.
const char* exec_ident(char* argv[]) {
  if (argv == nullptr || argv[0] == nullptr || argv[0][0] == '\0') return PHPGATE_IDENT;
  return argv[0];
}

}  // namespace

int main(int, char* argv[]) {
  const char* ini_path = getenv("VK_CUSTOM_PHP_INI");
  const char* handler_id = getenv("VK_CUSTOM_PHP_CGI_INDEX");
  if (handler_id == nullptr) handler_id = DEFAULT_HANDLER_ID;

  if (ini_path != nullptr && !ini_file_opens(ini_path)) ini_path = nullptr;

  char* handler = lookup_handler_path(handler_id);
  if (handler == nullptr) {
    phpgate_syslog(PHPGATE_IDENT, "can not find appropriate version of php ~ `%s' in `%s'",
                   handler_id, PHP_REGISTRY_PATH);
    return EXIT_NOT_FOUND;
  }

  if (ini_path != nullptr)
    execl(handler, handler, "-c", ini_path, static_cast<char*>(nullptr));
  else
    execl(handler, handler, static_cast<char*>(nullptr));

  int error = errno;
  phpgate_syslog(exec_ident(argv), "exec %s:%s", handler, strerror(error));
  free(handler);
  return error == ENOENT ? EXIT_EXEC_NOT_FOUND : EXIT_EXEC_FAILED;
}
