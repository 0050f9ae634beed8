// The launcher's messages. Each problem is one message: phpgate sends it to
// syslog and writes nothing on its standard streams; phpgate-check, which
// reads as phpgate reads, prints the same messages on standard error.
#pragma once

#include <stdarg.h>

// Ident of every message except the one about a failed exec.
inline constexpr const char* PHPGATE_IDENT = "phpgate";

// Where the messages go: a table of one hook, which writes one message
// under `ident`.
struct launcher_log_sink {
  void (*vwrite)(const char* ident, const char* format, va_list args);
};

// openlog(ident, LOG_PID, LOG_USER), one vsyslog at LOG_ERR, closelog: the
// log is opened and closed per message, so that no descriptor is left open
// across the exec of PHP.
extern const launcher_log_sink LAUNCHER_SYSLOG;

// The sink every message goes through: LAUNCHER_SYSLOG unless a program's
// main sets another before its first message.
extern const launcher_log_sink* launcher_log;

// Writes one message through launcher_log.
void phpgate_log(const char* ident, const char* format, ...) __attribute__((format(printf, 2, 3)));
