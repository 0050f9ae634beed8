// What phpgate makes of one request's environment: the PHP executable to
// start and its argument vector, or the status it ends with. phpgate and
// phpgate-check both decide through here, so that the check reads exactly
// as phpgate reads.
#pragma once

// Handler identifier used when VK_CUSTOM_PHP_CGI_INDEX is unset.
inline constexpr const char* PHP_DEFAULT_HANDLER_ID = "cgi";

// Exit statuses of phpgate that are not PHP's own.
inline constexpr int PHP_LAUNCH_REFUSED = 1;  // the ini refused, or no handler found
inline constexpr int PHP_LAUNCH_EXEC_NOT_FOUND = 127;
inline constexpr int PHP_LAUNCH_EXEC_FAILED = 126;

struct php_launch {
  char* program;        // the handler's executable, heap (caller frees); null: refused
  const char* argv[4];  // program, then "-c" and the ini path when handed on; null-ended
  int status;           // when program is null: the exit status
};

// Decides for the handler `handler_id` (null: PHP_DEFAULT_HANDLER_ID), the
// site's ini `ini_path` (null: none) and the request's `query_string`
// (null: none), as site_ini.hpp and handler_lookup.hpp say; every problem
// is logged (launcher_log.hpp), ending with "can not find appropriate
// version of php ~ `ID' in `/etc/vrk/php_versions.json'" when no handler
// was found. The ini is tested before the registry is read. Returns 0 when
// launch->program is set, else -1.
int php_launch_prepare(php_launch* launch, const char* handler_id, const char* ini_path,
                       const char* query_string);

// The status after a failed exec with this errno: PHP_LAUNCH_EXEC_NOT_FOUND
// for ENOENT, else PHP_LAUNCH_EXEC_FAILED.
int php_launch_exec_status(int error);
