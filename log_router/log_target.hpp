// The log file that the router appends to, and the key it is open for.
//
// One file is open at a time, for one key: the virtual host and the port of
// the lines being written.  Any change of key closes the file, resolves the
// new key's path and opens it, even when the path turns out the same.
// Lines that cannot be written are dropped, and each failing path is
// reported once through the diagnostic log until a line gets through to it
// again.  A write that fails inside a line (a full disk) takes back the part
// of that line already written and drops the rest of it, so that the file
// always ends with a whole line.  A key change allocates nothing beyond the
// new path; when memory runs out for the record of a failing path, the path
// is reported again at its next failure instead.
#pragma once

#include <cstddef>
#include <functional>
#include <set>
#include <string>

// Size of each key buffer: host names and ports of up to 4095 bytes.
constexpr std::size_t LOG_KEY_SIZE = 4096;

// Maps a host name and the SSL flag to a newly allocated path.
typedef char* (*log_path_resolver)(const char* vhost, bool ssl);

struct log_target {
  const char* ssl_ports[2];  // "443", then the optional extra port
  std::size_t ssl_port_count;
  log_path_resolver resolve;
  char vhost[LOG_KEY_SIZE];  // the remembered key, valid while fd >= 0
  std::size_t vhost_length;
  char port[LOG_KEY_SIZE];
  std::size_t port_length;
  int fd;                                            // -1: no file open, no key remembered
  char* path;                                        // the path of the last key change, owned
  bool path_failing;                                 // path is among failing_paths
  std::set<std::string, std::less<>> failing_paths;  // reported, not working again yet
  std::size_t line_written;  // bytes of an unfinished line already in the file
  bool drop_rest_of_line;    // a write failed inside a line: drop up to its newline
};

// Starts with no file open.  extra_ssl_port may be null.
void log_target_init(log_target* target, const char* extra_ssl_port, log_path_resolver resolve);

// True when a file is open for exactly this host name and port.
bool log_target_matches(const log_target* target, const char* vhost, std::size_t vhost_length,
                        const char* port, std::size_t port_length);

// Key change: closes the open file, resolves and opens the file of the new
// key.  True when it is open; false (reported) when the open failed.
bool log_target_switch(log_target* target, const char* vhost, std::size_t vhost_length,
                       const char* port, std::size_t port_length);

// Appends data to the open file; a failure is reported and the data dropped,
// with the line it cut (see above).
void log_target_write(log_target* target, const char* data, std::size_t length);

// The open file has been removed (its directory with it, say): closes it
// and opens the file that the same key leads to now, so that its lines do
// not vanish into the removed file.  True when a file is open afterwards or
// none was open; false (reported) when the new open failed.
bool log_target_reopen_if_removed(log_target* target);

// Closes the open file and frees the current path.
void log_target_close(log_target* target);
