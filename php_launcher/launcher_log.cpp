#include "php_launcher/launcher_log.hpp"

#include <syslog.h>

namespace {

void syslog_vwrite(const char* ident, const char* format, va_list args) {
  openlog(ident, LOG_PID, LOG_USER);
  vsyslog(LOG_ERR, format, args);
  closelog();
}

}  // namespace

const launcher_log_sink LAUNCHER_SYSLOG = {syslog_vwrite};
const launcher_log_sink* launcher_log = &LAUNCHER_SYSLOG;

void phpgate_log(const char* ident, const char* format, ...) {
  va_list args;
  va_start(args, format);
  launcher_log->vwrite(ident, format, args);
  va_end(args);
}
