// The log file that the router appends to, and the key it is open for.
//
// One file is open at a time, for one key: the virtual host and the port of
// the lines being written.  Any change of key closes the file, resolves the
// new key's path and opens it, even when the path turns out the same.
// Files are opened as log_file.hpp says (never blocking, links and file
// kinds checked).  Lines that cannot be written are dropped and reported
// through failure_reports.hpp.  A write that fails inside a line (a full
// disk) takes back the part of that line already written and drops the rest
// of it, so that the file always ends with a whole line.  A key change
// allocates nothing beyond the new path (and the record of a newly failing
// path).
//
// Between reads of input the router asks log_target_follow_path whether the
// path still names the open file, so that a log rotated (renamed, with a new
// file created in its place) or removed is followed by the next lines.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstddef>

#include "log_router/failure_reports.hpp"

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
  int fd;     // -1: no file open, no key remembered
  dev_t dev;  // the open file's identity, as opened
  ino_t ino;
  char* path;         // the path of the last key change, owned
  bool path_failing;  // a line for path was lost since it last worked
  bool path_missing;  // path named no file at the last check, since missing_since
  struct timespec missing_since;
  failure_reports reports;
  std::size_t line_written;  // bytes of an unfinished line already in the file
  bool drop_rest_of_line;    // a write failed inside a line: drop up to its newline
};

// How long a renamed log file is still written while its path names no file,
// for the rotating program to create the new one (logrotate's "create" does
// it at once); after that logroute creates it itself.
constexpr long LOG_ROTATION_GRACE_MS = 1000;

// Starts with no file open.  extra_ssl_port may be null.
void log_target_init(log_target* target, const char* extra_ssl_port, log_path_resolver resolve);

// True when lines of `port` go to the SSL logs: "443", or the extra port.
bool log_target_is_ssl_port(const log_target* target, const char* port);

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

// Once per read of input: when the path of the open file now names another
// file (a rotation: the file renamed and a new one created), or none and the
// open file is gone (removed, its directory with it) or was renamed more than
// LOG_ROTATION_GRACE_MS ago, closes it and opens the file that the same key
// leads to now.  Never while the file ends inside a line.  One stat of the
// path.  True when a file is open afterwards or none was open; false
// (reported) when the new open failed.  Also reports the count of failures
// not reported once it is due (failure_reports.hpp).
bool log_target_follow_path(log_target* target);

// A line cut short: when the open file ends inside a line (the start of a
// long line went out in pieces), ends it with a newline, so that the next
// writer's line does not join it.  True when it did.
bool log_target_end_line(log_target* target);

// Closes the open file and frees the current path.
void log_target_close(log_target* target);

// At the end: closes and reports what failure_reports still holds back.
void log_target_finish(log_target* target);
