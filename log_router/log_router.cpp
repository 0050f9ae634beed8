#include "log_router/log_router.hpp"

#include <algorithm>
#include <cstring>

#include "diag_log/diag_log.hpp"
#include "log_router/input_stream.hpp"

namespace {

// Where the router is within the current input line.
enum class line_part {
  tags,        // looking for the two separators
  key_change,  // both found, for a key whose file is not open: the file is to be switched
  body,        // copying the log line to the open file
  skip,        // dropping the rest of the line
};

constexpr std::size_t NONE = static_cast<std::size_t>(-1);

// The input held and the cursors into it.  Between two steps of the loop:
//   pending_start <= pending_end <= pos <= end <= sizeof data, and
//   line_start <= pos.
// - data[0, end) is input read and not yet given up; data[pos, end) has
//   not been looked at.
// - line_start is where the current line begins.  In part tags and
//   key_change its tags lie at data[line_start, pos) and must stay held:
//   nothing before line_start is needed then, so pending ends there too.
// - first_separator is the offset of the current line's first "@@", NONE
//   until it is found; it is kept only in part tags and key_change.  In
//   key_change, pos is the offset of the second "@@".
// - data[pending_start, pending_end) are log-line bytes for the open file,
//   gathered for one write: whole lines of one key, moved together over the
//   tags between them, then possibly the start of the current line.  Empty
//   is pending_start == pending_end == 0.
// - unfinished is the length of that start of the current line at the end
//   of pending: nonzero only in part body, and never more than pending.
//   It is what write_whole_lines holds back until the newline comes.
// - part says what the bytes from pos on are: see line_part.  In body the
//   log target's file is open for the line's key.
// - follow_due is set by a read of input and cleared once the open file's
//   path has been checked (log_target_follow_path) before the next write.
struct router {
  log_target target{};
  char data[LOG_ROUTER_BUFFER_SIZE];
  std::size_t end = 0;
  std::size_t pos = 0;
  std::size_t line_start = 0;
  std::size_t first_separator = NONE;
  std::size_t pending_start = 0;
  std::size_t pending_end = 0;
  std::size_t unfinished = 0;
  line_part part = line_part::tags;
  bool follow_due = false;
};

void drop_pending(router* r) { r->pending_start = r->pending_end = r->unfinished = 0; }

void write_pending(router* r) {
  if (r->pending_end > r->pending_start)
    log_target_write(&r->target, r->data + r->pending_start, r->pending_end - r->pending_start);
  drop_pending(r);
}

// Writes the whole lines gathered and keeps back the start of a line whose
// newline has not been read yet, so that every line that fits in the buffer
// reaches the file in one write: another writer appending to the same file
// can then never come between its parts.  A line that fills the whole
// buffer goes out as it is.
void write_whole_lines(router* r) {
  std::size_t hold = r->unfinished == sizeof r->data ? 0 : r->unfinished;
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

// A line without its two tags is skipped, and counted for the report: one
// that ends (at `next_line`), or one whose tags would lie past the limit.
void count_untagged_line(router* r) { failure_reports_untagged(&r->target.reports); }

void skip_untagged_line(router* r, std::size_t next_line) {
  count_untagged_line(r);
  start_next_line(r, next_line);
}

void skip_line_with_tags_too_far(router* r) {
  count_untagged_line(r);
  r->part = line_part::skip;
}

// Both tags found, the second "@@" at `second_separator`: the log line
// follows at once when the file of this key is open, else after a switch.
void enter_log_line(router* r, std::size_t second_separator) {
  const char* vhost = r->data + r->line_start;
  const char* port = r->data + r->first_separator + 2;
  if (log_target_matches(&r->target, vhost, r->first_separator - r->line_start, port,
                         second_separator - r->first_separator - 2)) {
    r->pos = second_separator + 2;
    r->part = line_part::body;
  } else {
    r->pos = second_separator;
    r->part = line_part::key_change;
  }
}

// Key change: what is gathered goes to the file being closed, then the file
// of the current line's key is opened.
void switch_file(router* r) {
  write_pending(r);
  const char* vhost = r->data + r->line_start;
  const char* port = r->data + r->first_separator + 2;
  bool open = log_target_switch(&r->target, vhost, r->first_separator - r->line_start, port,
                                r->pos - r->first_separator - 2);
  r->pos += 2;
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
    if (c == '\n') return skip_untagged_line(r, i + 1);
    if (c != '@' || i == r->line_start || r->data[i - 1] != '@') continue;
    if (r->first_separator == NONE) {
      r->first_separator = i - 1;
    } else if (i - 1 >= r->first_separator + 2) {
      return enter_log_line(r, i - 1);
    }
  }
  r->pos = limit;
  if (limit == r->line_start + LOG_ROUTER_TAG_LIMIT) skip_line_with_tags_too_far(r);
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

// Looks at the bytes held up to their end or to a key change, gathering the
// log lines of the open file.  Opens and writes nothing.
void route_held_bytes(router* r) {
  while (r->pos < r->end && r->part != line_part::key_change) {
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

// After a read of input and before anything more is written: a log file
// rotated or removed meanwhile is replaced by the one its key leads to now;
// when that cannot be opened, what was gathered for it and the rest of the
// current line are dropped with it.
void follow_log_file(router* r) {
  r->follow_due = false;
  if (log_target_follow_path(&r->target)) return;
  drop_pending(r);
  if (r->part == line_part::body) r->part = line_part::skip;
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

// At the prompt stop: reports the input left unrouted, what the buffer
// holds and what was still waiting in the input.  A line cut short whose
// start is already in its file counts as one of them.
void report_unrouted(router* r, int input_fd, bool cut_line_in_file) {
  input_count left;
  left.add(r->data + r->pending_start, r->pending_end - r->pending_start);
  std::size_t unseen =
      r->part == line_part::tags || r->part == line_part::key_change ? r->line_start : r->pos;
  left.add(r->data + unseen, r->end - unseen);
  ssize_t n;
  while ((n = input_read_left(input_fd, r->data, sizeof r->data)) > 0)
    left.add(r->data, static_cast<std::size_t>(n));
  std::size_t lines = std::max<std::size_t>(left.whole_lines(), cut_line_in_file ? 1 : 0);
  if (lines == 0) return;
  diag_log_write(LOG_ERR,
                 "Lost access log lines: %zu lines (%zu bytes) not routed within %ld ms of the "
                 "stop signal",
                 lines, left.bytes, INPUT_DRAIN_LIMIT_MS);
}

// One step: looks at what is held, then does the one thing due next: check
// the open file's path after a read, switch files, or write the whole lines
// gathered and read more input.  False once the input ends, or when the
// prompt stop has run out of time.
bool route_step(router* r, int input_fd) {
  route_held_bytes(r);
  // The one place that decides whether anything more is opened or written.
  if (input_stream_out_of_time()) return false;
  if (r->follow_due) follow_log_file(r);
  if (r->part == line_part::key_change) {
    switch_file(r);
    return true;
  }
  write_whole_lines(r);  // only a line not ended yet waits for more input
  make_room(r);
  ssize_t n = input_read(input_fd, r->data + r->end, sizeof r->data - r->end);
  if (n <= 0) return false;
  r->end += static_cast<std::size_t>(n);
  r->follow_due = true;
  return true;
}

// The input has ended.  Its last line goes out even without a newline, and
// is skipped (and counted) when it has no tags.  At the prompt stop the
// input was cut off instead: a line cut short is not written, its start is
// ended with a newline if the file already holds it, and what could not be
// routed is reported.
void finish(router* r, int input_fd) {
  if (input_stream_stopping()) {
    bool cut_line_in_file = log_target_end_line(&r->target);
    report_unrouted(r, input_fd, cut_line_in_file);
  } else {
    if (r->part == line_part::tags && r->end > r->line_start) count_untagged_line(r);
    write_pending(r);
  }
  log_target_finish(&r->target);
}

}  // namespace

int log_router_run(int input_fd, const char* extra_ssl_port, log_path_resolver resolve) {
  router r;
  log_target_init(&r.target, extra_ssl_port, resolve);
  while (route_step(&r, input_fd)) {
  }
  finish(&r, input_fd);
  return 0;
}
