// Reading the configuration file: one "NAME value  # comment" per line.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "diag_log/diag_log.hpp"
#include "panel_config/panel_config.hpp"

namespace {

constexpr int WARNING = LOG_USER | LOG_WARNING;

// White space of the POSIX locale, independent of the current locale.
bool is_white(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_name_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

char* skip_white(char* p) {
  while (is_white(*p)) p++;
  return p;
}

// Applies the line rules to line, ending name and value in place.  Returns
// 1 for a definition, 0 for a comment or blank line, -1 for an invalid line
// (reported).
int split_line(char* line, char** name, char** value) {
  char* start = skip_white(line);
  if (*start == '\0' || *start == '#') return 0;
  char* end = start;
  while (is_name_char(*end)) end++;
  if (end == start || !is_white(*end)) {
    diag_log_write(WARNING,
                   "Invalid variable definition %s\nExpected a space after variable name\n", start);
    return -1;
  }
  char* value_start = skip_white(end);
  if (*value_start == '\0' || *value_start == '#') {
    diag_log_write(WARNING, "Invalid variable definition %s\nExpected a value", start);
    return -1;
  }
  char* value_end = value_start + std::strcspn(value_start, "#");
  while (is_white(value_end[-1])) value_end--;
  *end = '\0';
  *value_end = '\0';
  *name = start;
  *value = value_start;
  return 1;
}

struct file_closer {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Why a file is no configuration file: a FIFO or socket could block the
// reader, a device feed it without end, a directory holds no lines.
const char* not_regular_reason(mode_t mode) {
  if (S_ISDIR(mode)) return std::strerror(EISDIR);
  if (S_ISFIFO(mode)) return "Is a FIFO, not a regular file";
  if (S_ISSOCK(mode)) return "Is a socket, not a regular file";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "Is a device, not a regular file";
  return "Not a regular file";
}

// Opens path for reading if it is a regular file. The open never waits
// (on a FIFO it would wait for a writer); any other kind of file is
// refused, with errno EISDIR for a directory and EINVAL otherwise, and
// *why saying what it is.
std::FILE* open_regular_file(const char* path, const char** why) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd == -1) return nullptr;
  struct stat st;
  int error = 0;
  if (fstat(fd, &st) != 0) {
    error = errno;
  } else if (!S_ISREG(st.st_mode)) {
    error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    *why = not_regular_reason(st.st_mode);
  }
  std::FILE* file = error == 0 ? fdopen(fd, "r") : nullptr;
  if (file == nullptr) {
    if (error == 0) error = errno;
    close(fd);
    errno = error;
  }
  return file;
}

// getline's buffer, freed on every way out.
struct line_buffer {
  char* text = nullptr;
  std::size_t size = 0;
  line_buffer() = default;
  line_buffer(const line_buffer&) = delete;
  line_buffer& operator=(const line_buffer&) = delete;
  ~line_buffer() { std::free(text); }
};

// Reads every line of file into table.  0 at a clean end of file, -1 when a
// put failed (errno kept) or reading failed (reported, errno kept).
int read_lines(std::FILE* file, panel_config* table) {
  line_buffer line;
  while (getline(&line.text, &line.size, file) != -1) {
    char *name, *value;
    if (split_line(line.text, &name, &value) == 1 && panel_config_put(table, name, value) != 0)
      return -1;
  }
  int saved_errno = errno;
  panel_config_sort(table);
  if (std::feof(file) && !std::ferror(file)) return 0;
  diag_log_write(WARNING, "Unable to read configuration file: %s", std::strerror(saved_errno));
  errno = saved_errno;
  return -1;
}

}  // namespace

int panel_config_parse_file(const char* path, panel_config* table) {
  if (panel_config_reserve(table) != 0) return -1;
  const char* why = nullptr;
  std::unique_ptr<std::FILE, file_closer> file(open_regular_file(path, &why));
  if (!file) {
    int saved_errno = errno;
    diag_log_write(WARNING, "unable to open configuration file %s: %s\n", path,
                   why != nullptr ? why : std::strerror(saved_errno));
    errno = saved_errno;
    return -1;
  }
  int result = read_lines(file.get(), table);
  int saved_errno = errno;
  file.reset();
  errno = saved_errno;
  return result;
}
