#include "log_router/log_router.hpp"

#include <algorithm>
#include <cstring>

#include "diag_log/diag_log.hpp"
#include "log_router/input_stream.hpp"

namespace {

// Where the router is within the current input line.
enum class line_part {
  tags,  // looking for the two separators
  body,  // copying the log line to the open file
  skip,  // dropping the rest of the line
};

constexpr std::size_t NONE = static_cast<std::size_t>(-1);

struct router {
  log_target target{};
  char data[LOG_ROUTER_BUFFER_SIZE];
  std::size_t end = 0;         // bytes held in data
  std::size_t pos = 0;         // next byte to look at
  std::size_t line_start = 0;  // start of the line whose tags are sought
  std::size_t first_separator = NONE;
  std::size_t pending_start = 0;  // log-line bytes gathered for one write
  std::size_t pending_end = 0;
  std::size_t unfinished = 0;  // bytes at the end of pending of a line not ended yet
  line_part part = line_part::tags;
};

// Once a stop signal's drain has run out of time, nothing more is opened
// or written (here and before every open or write below).
void write_pending(router* r) {
  if (input_stream_out_of_time()) return;
  if (r->pending_end > r->pending_start)
    log_target_write(&r->target, r->data + r->pending_start, r->pending_end - r->pending_start);
  r->pending_start = r->pending_end = 0;
  r->unfinished = 0;
}

// Writes the whole lines gathered and keeps back the start of a line whose
// newline has not been read yet, so that every line that fits in the buffer
// reaches the file in one write: another writer appending to the same file
// can then never come between its parts.  A line that fills the whole
// buffer goes out as it is.
void write_whole_lines(router* r) {
  if (input_stream_out_of_time()) return;
  std::size_t hold = r->part == line_part::body ? r->unfinished : 0;
  if (hold == sizeof r->data) hold = 0;
  if (r->pending_end - hold > r->pending_start)
    log_target_write(&r->target, r->data + r->pending_start,
                     r->pending_end - hold - r->pending_start);
  r->pending_start = r->pending_end - hold;
  if (hold == 0) r->pending_start = r->pending_end = 0;
  r->unfinished = hold;
}

// Adds data[from, to) to the bytes waiting to be written.  Log lines of one
// key are moved together over the tags between them, so that they leave in
// one write.
void gather(router* r, std::size_t from, std::size_t to) {
  if (r->pending_end == r->pending_start) {
    r->pending_start = from;
    r->pending_end = to;
    return;
  }
  if (from != r->pending_end) std::memmove(r->data + r->pending_end, r->data + from, to - from);
  r->pending_end += to - from;
}

void start_next_line(router* r, std::size_t at) {
  r->pos = r->line_start = at;
  r->first_separator = NONE;
  r->part = line_part::tags;
}

// Both tags found: makes sure the file of this key is open, then goes on
// with the log line.
void enter_log_line(router* r, std::size_t second_separator) {
  const char* vhost = r->data + r->line_start;
  std::size_t vhost_length = r->first_separator - r->line_start;
  const char* port = r->data + r->first_separator + 2;
  std::size_t port_length = second_separator - r->first_separator - 2;
  bool open = log_target_matches(&r->target, vhost, vhost_length, port, port_length);
  if (!open) {
    if (input_stream_out_of_time()) return;  // the line stays unrouted
    write_pending(r);                        // what is gathered belongs to the file being closed
    open = log_target_switch(&r->target, vhost, vhost_length, port, port_length);
  }
  r->pos = second_separator + 2;
  r->part = open ? line_part::body : line_part::skip;
}

// The tags of the key whose file is open, at the start of the current line:
// their length, else 0.  A key never holds "@@" or a newline and never ends
// in '@' (it was cut at the first separators), so a line that starts with
// them has exactly that key; this spares the byte-by-byte search in the
// common case of lines of one host following each other.
std::size_t open_key_tags_at_line_start(const router* r) {
  const log_target* t = &r->target;
  std::size_t tags = t->vhost_length + t->port_length + 4;
  if (t->fd < 0 || r->pos != r->line_start || r->end - r->line_start < tags) return 0;
  const char* line = r->data + r->line_start;
  const char* port = line + t->vhost_length + 2;
  bool same = std::memcmp(line, t->vhost, t->vhost_length) == 0 &&
              std::memcmp(port, t->port, t->port_length) == 0 && port[-2] == '@' &&
              port[-1] == '@' && port[t->port_length] == '@' && port[t->port_length + 1] == '@';
  return same ? tags : 0;
}

// Looks for the separators of the current line in the bytes not yet seen.
void scan_tags(router* r) {
  if (std::size_t tags = open_key_tags_at_line_start(r)) {
    r->pos += tags;
    r->part = line_part::body;
    return;
  }
  std::size_t limit = std::min(r->end, r->line_start + LOG_ROUTER_TAG_LIMIT);
  for (std::size_t i = r->pos; i < limit; ++i) {
    char c = r->data[i];
    if (c == '\n') return start_next_line(r, i + 1);  // fewer than two tags
    if (c != '@' || i == r->line_start || r->data[i - 1] != '@') continue;
    if (r->first_separator == NONE) {
      r->first_separator = i - 1;
    } else if (i - 1 >= r->first_separator + 2) {
      return enter_log_line(r, i - 1);
    }
  }
  r->pos = limit;
  if (limit == r->line_start + LOG_ROUTER_TAG_LIMIT) r->part = line_part::skip;
}

// Copies (body) or drops (skip) the line up to and including its newline.
void pass_line(router* r) {
  const void* newline = std::memchr(r->data + r->pos, '\n', r->end - r->pos);
  std::size_t stop = newline ? static_cast<const char*>(newline) - r->data + 1 : r->end;
  if (r->part == line_part::body) {
    gather(r, r->pos, stop);
    r->unfinished = newline ? 0 : r->unfinished + (stop - r->pos);
  }
  if (newline) return start_next_line(r, stop);
  r->pos = stop;
}

void route_held_bytes(router* r) {
  while (r->pos < r->end && !input_stream_out_of_time()) {
    if (r->part == line_part::tags) {
      scan_tags(r);
    } else {
      pass_line(r);
    }
  }
}

// Frees the buffer for the next read, keeping the start of a line whose
// tags are still sought, or the held-back start of a log line.
void make_room(router* r) {
  if (r->unfinished > 0) {
    std::memmove(r->data, r->data + r->pending_start, r->unfinished);
    r->pending_start = 0;
    r->pending_end = r->end = r->pos = r->unfinished;
    r->line_start = 0;
    return;
  }
  std::size_t keep = r->part == line_part::tags ? r->end - r->line_start : 0;
  std::size_t shift = r->end - keep;
  std::memmove(r->data, r->data + shift, keep);
  r->end = r->pos = keep;
  r->line_start = 0;
  if (r->part == line_part::tags && r->first_separator != NONE) r->first_separator -= shift;
}

// Before new input is routed: a log file rotated or removed meanwhile is
// replaced by the one its key leads to now; when that cannot be opened, the
// rest of the current line is dropped with it.
void follow_log_file(router* r) {
  if (log_target_follow_path(&r->target) || r->part != line_part::body) return;
  r->part = line_part::skip;  // the held-back bytes before pos are left behind
  r->pending_start = r->pending_end = r->unfinished = 0;
}

// Lines and bytes of input counted as they pass.
struct input_count {
  std::size_t lines = 0;
  std::size_t bytes = 0;
  bool in_line = false;  // the last byte counted did not end a line

  void add(const char* data, std::size_t length) {
    if (length == 0) return;
    lines += static_cast<std::size_t>(std::count(data, data + length, '\n'));
    bytes += length;
    in_line = data[length - 1] != '\n';
  }
  std::size_t whole_lines() const { return lines + (in_line ? 1 : 0); }
};

// The drain ran out of time: reports the input left unrouted, what the
// buffer holds and what was still waiting in the input.
void report_unrouted(router* r, int input_fd) {
  input_count left;
  left.add(r->data + r->pending_start, r->pending_end - r->pending_start);
  std::size_t unseen = r->part == line_part::tags ? r->line_start : r->pos;
  left.add(r->data + unseen, r->end - unseen);
  ssize_t n;
  while ((n = input_read_left(input_fd, r->data, sizeof r->data)) > 0)
    left.add(r->data, static_cast<std::size_t>(n));
  if (left.bytes == 0) return;
  diag_log_write(LOG_ERR,
                 "Lost access log lines: %zu lines (%zu bytes) not routed within %ld ms of the "
                 "stop signal",
                 left.whole_lines(), left.bytes, INPUT_DRAIN_LIMIT_MS);
}

}  // namespace

int log_router_run(int input_fd, const char* extra_ssl_port, log_path_resolver resolve) {
  router r;
  log_target_init(&r.target, extra_ssl_port, resolve);
  for (;;) {
    route_held_bytes(&r);
    write_whole_lines(&r);  // only a line not ended yet waits for more input
    if (input_stream_out_of_time()) break;
    make_room(&r);
    ssize_t n = input_read(input_fd, r.data + r.end, sizeof r.data - r.end);
    if (n <= 0) break;
    follow_log_file(&r);
    r.end += static_cast<std::size_t>(n);
  }
  if (input_stream_out_of_time()) {
    report_unrouted(&r, input_fd);
  } else {
    write_pending(&r);  // a last line without its newline
  }
  log_target_finish(&r.target);
  return 0;
}
