#include "php_launcher/launcher_syslog.hpp"

#include <stdarg.h>
#include <syslog.h>

void phpgate_syslog(const char* ident, const char* format, ...) {
  va_list args;
  va_start(args, format);
  openlog(ident, LOG_PID, LOG_USER);
  vsyslog(LOG_ERR, format, args);
  closelog();
  va_end(args);
}
