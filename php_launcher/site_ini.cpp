#include "php_launcher/site_ini.hpp"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "php_launcher/launcher_log.hpp"
#include "php_launcher/regular_file.hpp"

namespace {

// The files PHP's CGI and FastCGI SAPI looks for, in this order, in a
// directory given with -c; the first one there is the one it reads.
constexpr const char* INI_NAMES_IN_DIRECTORY[] = {"php-cgi-fcgi.ini", "php.ini"};
constexpr size_t LONGEST_INI_NAME = sizeof "php-cgi-fcgi.ini" - 1;

void log_fault(const char* dir_path, const char* name, const char* why) {
  size_t end = strlen(dir_path);
  const char* separator = name[0] == '\0' || (end > 0 && dir_path[end - 1] == '/') ? "" : "/";
  phpgate_log(PHPGATE_IDENT, "%s%s%s:%s", dir_path, separator, name, why);
}

// Why PHP would not read `path` as the one file or directory it names, or
// null. The empty path names nothing and is left to the open.
const char* form_fault(const char* path) {
  if (path[0] == '\0') return nullptr;
  if (strchr(path, ':') != nullptr) return SITE_INI_HOLDS_COLON;
  if (path[0] != '/') return SITE_INI_RELATIVE;
  return nullptr;
}

// Why `name` (relative to dir_fd) cannot be PHP's ini file, or null when it
// is a regular file that opens for reading. *error receives the errno of a
// failure.
const char* open_fault(int dir_fd, const char* name, int* error) {
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

// The directory open as `dir` (O_PATH: only search permission is needed to
// open its files) is handed on; the first of INI_NAMES_IN_DIRECTORY that
// exists gets the rules of an ini file given by its own path.
site_ini_verdict check_directory(int dir, const char* dir_path) {
  if (strlen(dir_path) + 1 + LONGEST_INI_NAME >= PATH_MAX) {
    log_fault(dir_path, "", strerror(ENAMETOOLONG));
    return site_ini_verdict::REFUSED;
  }
  for (const char* name : INI_NAMES_IN_DIRECTORY) {
    int error = 0;
    const char* why = open_fault(dir, name, &error);
    if (why == nullptr) return site_ini_verdict::HAND_ON;
    if (error == ENOENT) continue;
    log_fault(dir_path, name, why);
    return site_ini_verdict::REFUSED;
  }
  return site_ini_verdict::HAND_ON;
}

// The file (or directory) at the path, as PHP would read it.
site_ini_verdict check_path(const char* ini_path) {
  int error = 0;
  const char* why = open_fault(AT_FDCWD, ini_path, &error);
  if (why == nullptr) return site_ini_verdict::HAND_ON;
  if (error == EISDIR || error == EACCES) {
    // A directory PHP may search but not list opens as a path.
    int dir = open(ini_path, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      site_ini_verdict verdict = check_directory(dir, ini_path);
      close(dir);
      return verdict;
    }
    if (error == EISDIR) why = strerror(error = errno);  // replaced meanwhile
  }
  log_fault(ini_path, "", why);
  if (error == ENOENT || error == ENOTDIR) return site_ini_verdict::MISSING;
  return site_ini_verdict::REFUSED;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The next byte of `*text` as PHP's URL decoding gives it ('+' is a blank,
// "%hh" the byte hh), and *text moved past it.
int next_decoded_byte(const char** text) {
  const char* at = *text;
  int high = at[0] == '%' ? hex_value(at[1]) : -1;
  int low = high >= 0 ? hex_value(at[2]) : -1;
  if (low >= 0) {
    *text = at + 3;
    return high * 16 + low;
  }
  *text = at + 1;
  return at[0] == '+' ? ' ' : static_cast<unsigned char>(at[0]);
}

// PHP's CGI skips its command line for such a query string, which a web
// server could otherwise turn into options of its own.
bool php_ignores_command_line(const char* query_string) {
  if (query_string == nullptr || strchr(query_string, '=') != nullptr) return false;
  for (const char* at = query_string; *at != '\0';) {
    int byte = next_decoded_byte(&at);
    if (byte == 0) return false;  // a decoded NUL ends the text PHP looks at
    if (byte > ' ') return byte == '-';
  }
  return false;
}

}  // namespace

site_ini_verdict site_ini_check(const char* ini_path, const char* query_string) {
  if (const char* why = form_fault(ini_path)) {
    log_fault(ini_path, "", why);
    return site_ini_verdict::REFUSED;
  }
  site_ini_verdict verdict = check_path(ini_path);
  if (verdict == site_ini_verdict::HAND_ON && php_ignores_command_line(query_string)) {
    log_fault(ini_path, "", SITE_INI_QUERY_SKIPS_IT);
    return site_ini_verdict::REFUSED;
  }
  return verdict;
}
