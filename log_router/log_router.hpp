// The router's line loop: splits tagged access-log lines read from an input
// descriptor into per-domain log files.
//
// Each input line is "<vhost>@@<port>@@<log line>"; the log line, newline
// included, is appended to the file that the host name and the port lead
// to (see log_target.hpp).  A line without two separators among its first
// 4095 bytes is skipped whole, and counted in a bounded report
// (failure_reports.hpp).  A log line of any length is copied to the
// file as it arrives, so memory stays bounded.  Lines of one key that are
// already in the input buffer go out in one write; nothing but a line whose
// newline has not been read yet is held back waiting for more input, so
// that each line that fits in the buffer reaches its file in one write and
// loggers appending to the same file never interleave inside a line.  A
// line that starts with the tags of the file already open is recognised by
// comparing them, without a search.  Once per read of input, a log file
// rotated or removed while open is replaced by the one its key leads to now
// (log_target_follow_path).
#pragma once

#include <cstddef>

#include "log_router/log_target.hpp"

// Bytes read at a time: room for a whole pipe's worth (64 KiB by default),
// so that a busy stream costs one read and, per key, one write for each
// pipe-full rather than for each 4 KiB.
constexpr std::size_t LOG_ROUTER_BUFFER_SIZE = 128 * 1024;
// The two tags of a line must end within this many bytes of its start.
constexpr std::size_t LOG_ROUTER_TAG_LIMIT = 4095;
static_assert(LOG_ROUTER_BUFFER_SIZE > LOG_ROUTER_TAG_LIMIT,
              "a line's tags must fit in the buffer");

// Routes the lines of input_fd until its end or a read error; then writes
// a last line without its newline and closes the log file.  At the prompt
// stop (a second stop signal, see input_stream.hpp) the input is cut off
// instead: a line cut short is not written, and when a part of it is in its
// file already, that part is ended with a newline.  Should the drain run
// out of time, nothing more is opened or written but that newline.  Either
// way, the input left unrouted is reported: "Lost access log lines: N lines
// (B bytes) not routed within 1000 ms of the stop signal".  extra_ssl_port
// may be null.  Returns the exit status, 0.
int log_router_run(int input_fd, const char* extra_ssl_port, log_path_resolver resolve);
