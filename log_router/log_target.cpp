#include "log_router/log_target.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "diag_log/diag_log.hpp"
#include "log_router/log_file.hpp"
#include "log_router/write_all.hpp"

namespace {

void remember_key(log_target* target, const char* vhost, std::size_t vhost_length, const char* port,
                  std::size_t port_length) {
  std::memcpy(target->vhost, vhost, vhost_length);
  target->vhost[vhost_length] = '\0';
  target->vhost_length = vhost_length;
  std::memcpy(target->port, port, port_length);
  target->port[port_length] = '\0';
  target->port_length = port_length;
}

// Reports that lines for the current path are being lost.
void report_lost_lines(log_target* target, const char* what, const char* reason) {
  target->path_failing = true;
  failure_reports_add(&target->reports, what, target->path, reason);
}

void note_path_works(log_target* target) {
  failure_reports_recovered(&target->reports, target->path);
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
  bool ssl = std::strlen(target->port) == target->port_length &&
             log_target_is_ssl_port(target, target->port);
  target->path = target->resolve(cut_short ? "" : target->vhost, ssl);
  target->path_failing = failure_reports_remembers(&target->reports, target->path);
  target->path_missing = false;
  target->line_written = 0;
  target->drop_rest_of_line = false;
  struct stat st;
  const char* why = nullptr;
  target->fd = log_file_open(target->path, &st, &why);
  if (target->fd < 0) {
    report_lost_lines(target, "open", why);
    return false;
  }
  target->dev = st.st_dev;
  target->ino = st.st_ino;
  return true;
}

bool reopen_current_key(log_target* target) {
  log_target_close(target);
  return open_current_key(target);
}

long milliseconds_since(const struct timespec& then) {
  struct timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - then.tv_sec) * 1000 + (now.tv_nsec - then.tv_nsec) / 1000000;
}

// The path names no file.  The open file is gone too (removed): follow at
// once.  It was renamed (a rotation): write on to it for a while, so that
// the rotating program can create the new file itself; creating it first
// would make logrotate put ours aside and fail.
bool path_gone_long_enough(log_target* target) {
  struct stat open_file;
  if (fstat(target->fd, &open_file) != 0 || open_file.st_nlink == 0) return true;
  if (!target->path_missing) {
    target->path_missing = true;
    clock_gettime(CLOCK_MONOTONIC, &target->missing_since);
    return false;
  }
  return milliseconds_since(target->missing_since) >= LOG_ROTATION_GRACE_MS;
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
  target->dev = 0;
  target->ino = 0;
  target->path = nullptr;
  target->path_failing = false;
  target->path_missing = false;
  target->missing_since = {};
  target->line_written = 0;
  target->drop_rest_of_line = false;
}

bool log_target_is_ssl_port(const log_target* target, const char* port) {
  for (std::size_t i = 0; i < target->ssl_port_count; ++i)
    if (std::strcmp(port, target->ssl_ports[i]) == 0) return true;
  return false;
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
    report_lost_lines(target, "write", std::strerror(error));
    return;
  }
  note_written(target, data, length);
  if (target->path_failing && length > 0) note_path_works(target);
}

bool log_target_follow_path(log_target* target) {
  failure_reports_flush(&target->reports, false);
  // The rest of a line the file holds the start of goes to the same file.
  if (target->fd < 0 || target->line_written > 0) return true;
  struct stat st;
  if (stat(target->path, &st) == 0) {
    target->path_missing = false;
    if (st.st_dev == target->dev && st.st_ino == target->ino) return true;
    return reopen_current_key(target);
  }
  // Any other failure leaves it unknown where the path leads: keep the file.
  if (errno != ENOENT && errno != ENOTDIR) return true;
  return !path_gone_long_enough(target) || reopen_current_key(target);
}

bool log_target_end_line(log_target* target) {
  if (target->fd < 0 || target->line_written == 0) return false;
  log_target_write(target, "\n", 1);
  return true;
}

void log_target_close(log_target* target) {
  close_file(target);
  std::free(target->path);
  target->path = nullptr;
}

void log_target_finish(log_target* target) {
  log_target_close(target);
  failure_reports_flush(&target->reports, true);
}
