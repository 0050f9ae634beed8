// phpgate: started in place of the PHP CGI executable. Takes the handler
// identifier (VK_CUSTOM_PHP_CGI_INDEX, default "cgi") and an optional PHP ini
// file (VK_CUSTOM_PHP_INI) from the environment, finds the handler's
// executable in the registry and replaces itself with it, adding "-c" and the
// ini path when the ini file opens (a missing one is left out; one that
// exists but cannot be opened, or is a FIFO, socket or device, stops the
// request). The environment and the standard descriptors pass to PHP
// unchanged; arguments given to phpgate do not. Problems go to syslog only.
//
// Exit status: 1 when the ini file was refused or no handler executable was
// found; after a failed exec 127 when the executable does not exist, 126
// when it could not be run.

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "php_launcher/handler_lookup.hpp"
#include "php_launcher/launcher_syslog.hpp"

namespace {

constexpr const char* DEFAULT_HANDLER_ID = "cgi";
constexpr int EXIT_NOT_FOUND = 1;
constexpr int EXIT_INI_REFUSED = 1;
constexpr int EXIT_EXEC_NOT_FOUND = 127;
constexpr int EXIT_EXEC_FAILED = 126;

// Why a file that opened is no ini file: a FIFO, socket or device could
// block PHP or feed it without end.
const char* not_regular_reason(mode_t mode) {
  if (S_ISFIFO(mode)) return "Is a FIFO, not a regular file";
  if (S_ISSOCK(mode)) return "Is a socket, not a regular file";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "Is a device, not a regular file";
  return "Not a regular file";
}

// What becomes of the site's ini file.
enum class ini_verdict { HAND_ON, MISSING, REFUSED };

// The ini file is handed on when it opens for reading and is a regular
// file or a directory (PHP's -c takes either). When nothing is there
// (ENOENT, or ENOTDIR: a path below a file names nothing either) PHP starts
// with its own ini, as it always has. Anything else stops the request, so
// that a site never runs without its own restrictions. The test never
// waits: the open does not block on a FIFO, and a FIFO is refused.
ini_verdict check_ini_file(const char* ini_path) {
  const char* why = nullptr;
  int fd = open(ini_path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat st;
  if (fd == -1) {
    int error = errno;
    why = strerror(error);
    // A socket cannot be opened at all; say what it is.
    if (error == ENXIO && stat(ini_path, &st) == 0 && S_ISSOCK(st.st_mode))
      why = not_regular_reason(st.st_mode);
    phpgate_syslog(PHPGATE_IDENT, "%s:%s", ini_path, why);
    return error == ENOENT || error == ENOTDIR ? ini_verdict::MISSING : ini_verdict::REFUSED;
  }
  if (fstat(fd, &st) != 0)
    why = strerror(errno);
  else if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
    why = not_regular_reason(st.st_mode);
  close(fd);
  if (why == nullptr) return ini_verdict::HAND_ON;
  phpgate_syslog(PHPGATE_IDENT, "%s:%s", ini_path, why);
  return ini_verdict::REFUSED;
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

  if (ini_path != nullptr) {
    ini_verdict verdict = check_ini_file(ini_path);
    if (verdict == ini_verdict::REFUSED) return EXIT_INI_REFUSED;
    if (verdict == ini_verdict::MISSING) ini_path = nullptr;
  }

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
