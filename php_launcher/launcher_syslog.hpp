// Syslog reporting of phpgate. The program writes nothing on its standard
// streams; each problem becomes one syslog message of its own.
#pragma once

// Ident of every message except the one about a failed exec.
inline constexpr const char* PHPGATE_IDENT = "phpgate";

// Writes one message: openlog(ident, LOG_PID, LOG_USER), one vsyslog at
// LOG_ERR, closelog. The log is opened and closed per message so that no
// descriptor is left open across the exec of PHP.
void phpgate_syslog(const char* ident, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
