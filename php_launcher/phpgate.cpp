// phpgate: started in place of the PHP CGI executable. Takes the handler
// identifier (VK_CUSTOM_PHP_CGI_INDEX, default "cgi") and an optional PHP ini
// file (VK_CUSTOM_PHP_INI) from the environment, finds the handler's
// executable in the registry and replaces itself with it, adding "-c" and the
// ini path when the ini file opens (a missing one is left out; one that
// exists but cannot be opened, or is a FIFO, socket or device, stops the
// request; of a directory, the file PHP would read there is tested). The
// environment and the standard descriptors pass to PHP unchanged; arguments
// given to phpgate do not. Problems go to syslog only.
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
#include "php_launcher/regular_file.hpp"

namespace {

constexpr const char* DEFAULT_HANDLER_ID = "cgi";
constexpr int EXIT_NOT_FOUND = 1;
constexpr int EXIT_INI_REFUSED = 1;
constexpr int EXIT_EXEC_NOT_FOUND = 127;
constexpr int EXIT_EXEC_FAILED = 126;

// The files PHP's CGI and FastCGI SAPI looks for, in this order, in a
// directory given with -c; the first one there is the one it reads.
constexpr const char* INI_NAMES_IN_DIRECTORY[] = {"php-cgi-fcgi.ini", "php.ini"};

// What becomes of the site's ini file.
enum class ini_verdict { HAND_ON, MISSING, REFUSED };

// Why `name` (relative to dir_fd) cannot be PHP's ini file, or null when it
// is a regular file that opens for reading. The open runs with phpgate's
// own credentials, which PHP keeps across the exec: it is the test of the
// user PHP runs as. *error receives the errno of a failure.
const char* ini_fault(int dir_fd, const char* name, int* error) {
  struct stat st;
  int fd = open_regular_file(dir_fd, name, &st);
  if (fd != -1) {
    close(fd);
    return nullptr;
  }
  *error = errno;
  if (*error == EINVAL) return not_regular_reason(st.st_mode);
  // A socket cannot be opened at all; say what it is.
  if (*error == ENXIO && fstatat(dir_fd, name, &st, 0) == 0 && S_ISSOCK(st.st_mode))
    return not_regular_reason(st.st_mode);
  return strerror(*error);
}

// A directory is handed on as it is, since PHP reads the first of
// INI_NAMES_IN_DIRECTORY there; that file gets the rules of an ini file
// given by its own path. When it exists but cannot be used the request
// stops; when neither exists, PHP looks there, finds nothing and starts with
// no ini file, as the administrator who named the directory configured.
ini_verdict check_ini_directory(const char* dir_path) {
  int dir = open(dir_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir == -1) {
    phpgate_syslog(PHPGATE_IDENT, "%s:%s", dir_path, strerror(errno));
    return ini_verdict::REFUSED;
  }
  ini_verdict verdict = ini_verdict::HAND_ON;
  for (const char* name : INI_NAMES_IN_DIRECTORY) {
    int error = 0;
    const char* why = ini_fault(dir, name, &error);
    if (why == nullptr) break;
    if (error == ENOENT) continue;
    size_t end = strlen(dir_path);
    const char* separator = end > 0 && dir_path[end - 1] == '/' ? "" : "/";
    phpgate_syslog(PHPGATE_IDENT, "%s%s%s:%s", dir_path, separator, name, why);
    verdict = ini_verdict::REFUSED;
    break;
  }
  close(dir);
  return verdict;
}

// A regular file that opens for reading is handed on, and so is a directory
// whose ini file passes the same test (PHP's -c takes either). When nothing
// is at the path (ENOENT, or ENOTDIR: a path below a file names nothing
// either), PHP starts with its own ini, so that a site whose ini file is
// created later keeps working. Anything else stops the request, so that a
// site never runs without its own restrictions. The test never waits: the
// open does not block on a FIFO, and a FIFO is refused.
ini_verdict check_ini_file(const char* ini_path) {
  int error = 0;
  const char* why = ini_fault(AT_FDCWD, ini_path, &error);
  if (why == nullptr) return ini_verdict::HAND_ON;
  if (error == EISDIR) return check_ini_directory(ini_path);
  phpgate_syslog(PHPGATE_IDENT, "%s:%s", ini_path, why);
  return error == ENOENT || error == ENOTDIR ? ini_verdict::MISSING : ini_verdict::REFUSED;
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
