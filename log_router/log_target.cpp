#include "log_router/log_target.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

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

void remember_key(log_target* target, const char* vhost, std::size_t vhost_length, const char* port,
                  std::size_t port_length) {
  std::memcpy(target->vhost, vhost, vhost_length);
  target->vhost[vhost_length] = '\0';
  target->vhost_length = vhost_length;
  std::memcpy(target->port, port, port_length);
  target->port[port_length] = '\0';
  target->port_length = port_length;
}

bool is_failing(const log_target* target) {
  return target->failing_paths.find(std::string_view(target->path)) != target->failing_paths.end();
}

// Reports that lines for the current path are being lost, once per path.
void report_lost_lines(log_target* target, const char* what, int error) {
  target->path_failing = true;
  if (is_failing(target)) return;
  if (target->failing_paths.size() < MAX_REMEMBERED_FAILURES) {
    try {
      target->failing_paths.insert(target->path);
    } catch (const std::bad_alloc&) {
      // Not remembered: the path is reported again at its next failure.
    }
  }
  diag_log_write(LOG_ERR, "Lost access log lines: cannot %s %s: %s", what, target->path,
                 std::strerror(error));
}

void note_path_works(log_target* target) {
  auto remembered = target->failing_paths.find(std::string_view(target->path));
  if (remembered != target->failing_paths.end()) target->failing_paths.erase(remembered);
  target->path_failing = false;
}

// Records how much of an unfinished line the file holds after data went out.
void note_written(log_target* target, const char* data, std::size_t length) {
  const void* last_newline = memrchr(data, '\n', length);
  if (last_newline == nullptr) {
    target->line_written += length;
  } else {
    target->line_written = data + length - (static_cast<const char*>(last_newline) + 1);
  }
}

// A write failed after `written` bytes of data: removes the unfinished line
// at the end of the file, unless another writer has appended since.
void take_back_unfinished_line(log_target* target, const char* data, std::size_t written) {
  note_written(target, data, written);
  std::size_t cut = target->line_written;
  target->line_written = 0;
  if (cut == 0) return;
  off_t end = lseek(target->fd, 0, SEEK_CUR);  // just past our last write (O_APPEND)
  struct stat st;
  if (end < static_cast<off_t>(cut) || fstat(target->fd, &st) != 0 || st.st_size != end) return;
  if (ftruncate(target->fd, end - static_cast<off_t>(cut)) != 0) return;
}

// Resolves and opens the path of the remembered key.
bool open_current_key(log_target* target) {
  // A host name with a NUL byte inside would be cut short and could name
  // another domain; it goes to the server-wide log like an empty one.
  bool cut_short = std::strlen(target->vhost) != target->vhost_length;
  bool ssl = std::strlen(target->port) == target->port_length && is_ssl_port(target, target->port);
  target->path = target->resolve(cut_short ? "" : target->vhost, ssl);
  target->path_failing = is_failing(target);
  target->line_written = 0;
  target->drop_rest_of_line = false;
  target->fd = open(target->path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (target->fd < 0) report_lost_lines(target, "open", errno);
  return target->fd >= 0;
}

void close_file(log_target* target) {
  if (target->fd >= 0) close(target->fd);
  target->fd = -1;
}

}  // namespace

void log_target_init(log_target* target, const char* extra_ssl_port, log_path_resolver resolve) {
  target->ssl_ports[0] = "443";
  target->ssl_ports[1] = extra_ssl_port;
  target->ssl_port_count = extra_ssl_port != nullptr ? 2 : 1;
  target->resolve = resolve;
  target->vhost_length = target->port_length = 0;
  target->fd = -1;
  target->path = nullptr;
  target->path_failing = false;
  target->line_written = 0;
  target->drop_rest_of_line = false;
}

bool log_target_matches(const log_target* target, const char* vhost, std::size_t vhost_length,
                        const char* port, std::size_t port_length) {
  return target->fd >= 0 && vhost_length == target->vhost_length &&
         port_length == target->port_length &&
         std::memcmp(vhost, target->vhost, vhost_length) == 0 &&
         std::memcmp(port, target->port, port_length) == 0;
}

bool log_target_switch(log_target* target, const char* vhost, std::size_t vhost_length,
                       const char* port, std::size_t port_length) {
  log_target_close(target);
  remember_key(target, vhost, vhost_length, port, port_length);
  return open_current_key(target);
}

void log_target_write(log_target* target, const char* data, std::size_t length) {
  if (target->drop_rest_of_line) {
    const void* newline = std::memchr(data, '\n', length);
    if (newline == nullptr) return;
    std::size_t dropped = static_cast<const char*>(newline) + 1 - data;
    data += dropped;
    length -= dropped;
    target->drop_rest_of_line = false;
    if (length == 0) return;
  }
  std::size_t written = 0;
  if (write_all(target->fd, data, length, &written) < 0) {
    int error = errno;
    take_back_unfinished_line(target, data, written);
    target->drop_rest_of_line = length > 0 && data[length - 1] != '\n';
    report_lost_lines(target, "write", error);
    return;
  }
  note_written(target, data, length);
  if (target->path_failing && length > 0) note_path_works(target);
}

bool log_target_reopen_if_removed(log_target* target) {
  struct stat st;
  if (target->fd < 0 || fstat(target->fd, &st) != 0 || st.st_nlink > 0) return true;
  log_target_close(target);
  return open_current_key(target);
}

void log_target_close(log_target* target) {
  close_file(target);
  std::free(target->path);
  target->path = nullptr;
}
