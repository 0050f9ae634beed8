#include "php_launcher/php_launch.hpp"

#include <errno.h>

#include "php_launcher/handler_lookup.hpp"
#include "php_launcher/launcher_log.hpp"
#include "php_launcher/site_ini.hpp"

int php_launch_prepare(php_launch* launch, const char* handler_id, const char* ini_path,
                       const char* query_string) {
  launch->program = nullptr;
  launch->argv[0] = nullptr;
  launch->status = PHP_LAUNCH_REFUSED;
  if (handler_id == nullptr) handler_id = PHP_DEFAULT_HANDLER_ID;
  if (ini_path != nullptr) {
    site_ini_verdict verdict = site_ini_check(ini_path, query_string);
    if (verdict == site_ini_verdict::REFUSED) return -1;
    if (verdict == site_ini_verdict::MISSING) ini_path = nullptr;
  }
  launch->program = lookup_handler_path(handler_id);
  if (launch->program == nullptr) {
    phpgate_log(PHPGATE_IDENT, "can not find appropriate version of php ~ `%s' in `%s'", handler_id,
                PHP_REGISTRY_PATH);
    return -1;
  }
  int n = 0;
  launch->argv[n++] = launch->program;
  if (ini_path != nullptr) {
    launch->argv[n++] = "-c";
    launch->argv[n++] = ini_path;
  }
  launch->argv[n] = nullptr;
  return 0;
}

int php_launch_exec_status(int error) {
  return error == ENOENT ? PHP_LAUNCH_EXEC_NOT_FOUND : PHP_LAUNCH_EXEC_FAILED;
}
