#include "log_router/access_log_path.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "panel_config/panel_config.hpp"

namespace {

bool path_exists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0;
}

// "." and ".." would name the system directory itself or the virtual-hosts
// directory above it, so they never count as a domain.
bool is_dot_name(const char* candidate) {
  return std::strcmp(candidate, ".") == 0 || std::strcmp(candidate, "..") == 0;
}

// The parent-domain candidate after `candidate`, or null when there is none
// (no dot, or nothing after the first dot).
const char* next_candidate(const char* candidate) {
  const char* dot = std::strchr(candidate, '.');
  if (dot == nullptr || dot[1] == '\0') return nullptr;
  return dot + 1;
}

// Writes a candidate's domain directory into `path` (whose first bytes are
// "<vhosts>/system/") and tells whether it exists.
bool domain_dir_exists(char* path, char* candidate_at, const char* candidate) {
  if (is_dot_name(candidate)) return false;
  std::memcpy(candidate_at, candidate, std::strlen(candidate) + 1);
  return path_exists(path);
}

}  // namespace

char* asprintf_or_exit(const char* format, ...) {
  va_list args;
  va_start(args, format);
  char* text = nullptr;
  int length = vasprintf(&text, format, args);
  va_end(args);
  if (length < 0) {
    diag_error_exit(1, "Cannot allocate memory: %s", std::strerror(errno));
    std::abort();  // not reached: status 1 always ends the process
  }
  return text;
}

// Every path of one resolution is built in place in one allocation, sized
// for the longest (the whole host name as the domain): a key change costs
// one formatting and one allocation, besides its system calls.
char* resolve_domain_log_path(const char* vhosts_dir, const char* vhost, bool ssl,
                              log_path_choice* choice) {
  log_path_choice ignored;
  if (choice == nullptr) choice = &ignored;
  *choice = {log_path_reason::HOST_REFUSED, nullptr};
  if (vhost[0] == '\0' || std::strchr(vhost, '/') != nullptr) return nullptr;
  const char* file_name = ssl ? "/access_ssl_log" : "/access_log";
  char* path = asprintf_or_exit("%s/system/%s/logs%s", vhosts_dir, vhost, file_name);
  char* candidate_at = path + std::strlen(vhosts_dir) + std::strlen("/system/");
  const char* candidate = vhost;
  while (!domain_dir_exists(path, candidate_at, candidate)) {
    candidate = next_candidate(candidate);
    if (candidate == nullptr) {
      std::free(path);
      choice->reason = log_path_reason::NO_DOMAIN;
      return nullptr;
    }
  }
  // The first existing domain decides: without its logs directory the
  // server-wide log is used and parent domains are not tried.
  choice->domain = candidate;
  char* logs_dir_end = candidate_at + std::strlen(candidate);
  std::memcpy(logs_dir_end, "/logs", sizeof "/logs");
  if (!path_exists(path)) {
    std::free(path);
    choice->reason = log_path_reason::DOMAIN_WITHOUT_LOGS;
    return nullptr;
  }
  std::memcpy(logs_dir_end + std::strlen("/logs"), file_name, std::strlen(file_name) + 1);
  choice->reason = candidate == vhost ? log_path_reason::DOMAIN : log_path_reason::PARENT_DOMAIN;
  return path;
}

char* resolve_access_log_path_telling(const char* vhost, bool ssl, log_path_choice* choice) {
  char* path = resolve_domain_log_path(panel_config_get(HTTPD_VHOSTS_D), vhost, ssl, choice);
  if (path != nullptr) return path;
  return asprintf_or_exit("%s/access_log", panel_config_get(HTTPD_LOG_D));
}

char* resolve_access_log_path(const char* vhost, bool ssl) {
  return resolve_access_log_path_telling(vhost, ssl, nullptr);
}
