#include "log_router/log_router.hpp"

#include <algorithm>
#include <cstring>

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

void write_pending(router* r) {
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
    write_pending(r);  // what is gathered belongs to the file being closed
    open = log_target_switch(&r->target, vhost, vhost_length, port, port_length);
  }
  r->pos = second_separator + 2;
  r->part = open ? line_part::body : line_part::skip;
}

// Looks for the separators of the current line in the bytes not yet seen.
void scan_tags(router* r) {
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
  while (r->pos < r->end) {
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

// Before new input is routed: a log file removed meanwhile is replaced by
// the one its key leads to now; when that cannot be opened, the rest of the
// current line is dropped with it.
void check_open_file(router* r) {
  if (log_target_reopen_if_removed(&r->target) || r->part != line_part::body) return;
  r->part = line_part::skip;  // the held-back bytes before pos are left behind
  r->pending_start = r->pending_end = r->unfinished = 0;
}

}  // namespace

int log_router_run(int input_fd, const char* extra_ssl_port, log_path_resolver resolve) {
  router r;
  log_target_init(&r.target, extra_ssl_port, resolve);
  for (;;) {
    route_held_bytes(&r);
    write_whole_lines(&r);  // only a line not ended yet waits for more input
    make_room(&r);
    ssize_t n = input_read(input_fd, r.data + r.end, sizeof r.data - r.end);
    if (n <= 0) break;
    check_open_file(&r);
    r.end += static_cast<std::size_t>(n);
  }
  write_pending(&r);  // a last line without its newline
  log_target_close(&r.target);
  return 0;
}
