#include "log_router/log_target.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "diag_log/diag_log.hpp"
#include "log_router/write_all.hpp"

namespace {

// Failing paths remembered for the once-only report; past this many, further
// failures are reported every time rather than remembered without bound.
constexpr std::size_t MAX_REMEMBERED_FAILURES = 64;

bool is_ssl_port(const log_target* target, const char* port) {
  for (std::size_t i = 0; i < target->ssl_port_count; ++i)
    if (std::strcmp(port, target->ssl_ports[i]) == 0) return true;
  return false;
}

void remember_key(log_target* target, const char* vhost, std::size_t vhost_length,
                  const char* port, std::size_t port_length) {
  std::memcpy(target->vhost, vhost, vhost_length);
  target->vhost[vhost_length] = '\0';
  target->vhost_length = vhost_length;
  std::memcpy(target->port, port, port_length);
  target->port[port_length] = '\0';
  target->port_length = port_length;
}

// Reports that lines for the current path are being lost, once per path.
void report_lost_lines(log_target* target, const char* what, int error) {
  target->path_failing = true;
  if (target->failing_paths.count(target->path) != 0) return;
  if (target->failing_paths.size() < MAX_REMEMBERED_FAILURES)
    target->failing_paths.insert(target->path);
  diag_log_write(LOG_ERR, "Lost access log lines: cannot %s %s: %s", what, target->path,
                 std::strerror(error));
}

void note_path_works(log_target* target) {
  target->failing_paths.erase(target->path);
  target->path_failing = false;
}

void close_file(log_target* target) {
  if (target->fd >= 0) close(target->fd);
  target->fd = -1;
}

}  // namespace

void log_target_init(log_target* target, const char* extra_ssl_port,
                     log_path_resolver resolve) {
  target->ssl_ports[0] = "443";
  target->ssl_ports[1] = extra_ssl_port;
  target->ssl_port_count = extra_ssl_port != nullptr ? 2 : 1;
  target->resolve = resolve;
  target->vhost_length = target->port_length = 0;
  target->fd = -1;
  target->path = nullptr;
  target->path_failing = false;
}

bool log_target_matches(const log_target* target, const char* vhost,
                        std::size_t vhost_length, const char* port,
                        std::size_t port_length) {
  return target->fd >= 0 && vhost_length == target->vhost_length &&
         port_length == target->port_length &&
         std::memcmp(vhost, target->vhost, vhost_length) == 0 &&
         std::memcmp(port, target->port, port_length) == 0;
}

bool log_target_switch(log_target* target, const char* vhost, std::size_t vhost_length,
                       const char* port, std::size_t port_length) {
  log_target_close(target);
  remember_key(target, vhost, vhost_length, port, port_length);
  // A host name with a NUL byte inside would be cut short and could name
  // another domain; it goes to the server-wide log like an empty one.
  bool cut_short = std::strlen(target->vhost) != vhost_length;
  bool ssl = std::strlen(target->port) == port_length && is_ssl_port(target, target->port);
  target->path = target->resolve(cut_short ? "" : target->vhost, ssl);
  target->path_failing = target->failing_paths.count(target->path) != 0;
  target->fd = open(target->path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (target->fd < 0) report_lost_lines(target, "open", errno);
  return target->fd >= 0;
}

void log_target_write(log_target* target, const char* data, std::size_t length) {
  if (write_all(target->fd, data, length) < 0) {
    report_lost_lines(target, "write", errno);
  } else if (target->path_failing && length > 0) {
    note_path_works(target);
  }
}

void log_target_close(log_target* target) {
  close_file(target);
  std::free(target->path);
  target->path = nullptr;
}
