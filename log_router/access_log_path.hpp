// Which access-log file a virtual host's lines go to.
//
// Each hosted domain has a directory "<vhosts>/system/<domain>" with a
// "logs" directory inside.  A host name without a directory of its own is
// tried as its parent domains in turn (a.shop.example.com, shop.example.com,
// example.com, com); the first one whose directory exists decides.  When no
// domain directory with a "logs" directory is found, the server-wide
// "<httpd log dir>/access_log" is used.  Both directories come from the panel
// configuration (HTTPD_VHOSTS_D and HTTPD_LOG_D).
#pragma once

#include "diag_log/diag_log.hpp"

// Formats like asprintf into a new string that the caller frees.  When the
// memory cannot be had, ends the process with status 1 through
// diag_error_exit ("Cannot allocate memory: ...").  Never returns null.
char* asprintf_or_exit(const char* format, ...) DIAG_PRINTF(1, 2);

// Why a host name's lines go where they go.
enum class log_path_reason {
  DOMAIN,               // the host's own domain directory has its logs directory
  PARENT_DOMAIN,        // the first parent domain with a directory has one
  DOMAIN_WITHOUT_LOGS,  // the first domain with a directory has none: server-wide log
  NO_DOMAIN,            // no candidate has a directory: server-wide log
  HOST_REFUSED,         // the host name is empty or holds '/': server-wide log
};

struct log_path_choice {
  log_path_reason reason;
  const char* domain;  // the candidate that decided, inside the host name; else null
};

// The access log that lines of `vhost` go to: "access_ssl_log" or
// "access_log" inside the domain's logs directory, else the server-wide
// "access_log" (for SSL too).  A host name holding '/' always gets the
// server-wide log, so no host name can name a place outside the
// virtual-hosts tree.  Returns a new string that the caller frees.
char* resolve_access_log_path(const char* vhost, bool ssl);

// The same, telling why in *choice.
char* resolve_access_log_path_telling(const char* vhost, bool ssl, log_path_choice* choice);

// The domain part of the above with the virtual-hosts directory given:
// the log file inside "<vhosts_dir>/system/<candidate>/logs", or null when
// the server-wide log is to be used.  When `choice` is given it receives why.
char* resolve_domain_log_path(const char* vhosts_dir, const char* vhost, bool ssl,
                              log_path_choice* choice = nullptr);
