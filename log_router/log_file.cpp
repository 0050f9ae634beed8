#include "log_router/log_file.hpp"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr int FILE_FLAGS = O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
constexpr int CHECK_FLAGS = FILE_FLAGS & ~O_CREAT;
constexpr mode_t FILE_MODE = 0644;
constexpr int DIR_FLAGS = O_PATH | O_DIRECTORY | O_CLOEXEC;

void close_keeping_errno(int fd) {
  int saved = errno;
  if (fd >= 0) close(fd);
  errno = saved;
}

// The last component of path[0, end); *before_end receives the end of what
// comes before it, without the slashes between.
char* last_component(char* path, char* end, char** before_end) {
  char* name = end;
  while (name > path && name[-1] != '/') --name;
  char* before = name;
  while (before > path && before[-1] == '/') --before;
  *before_end = before;
  return name;
}

// Opens path[0, end), or "/" (absolute path) or "." when that is empty.
int open_part(char* path, char* end, int flags) {
  if (end == path) return open(path[0] == '/' ? "/" : ".", flags);
  char saved = *end;
  *end = '\0';
  int fd = open(path, flags);
  *end = saved;
  return fd;
}

int open_in(int dir, const char* name, int flags, mode_t mode, const char** why, int* links_left);

// The directory text[0, text_end) in `dir`, under the link rule of open_in.
int open_dir_named(int dir, char* text, char* text_end, const char** why, int* links_left) {
  char saved = *text_end;
  *text_end = '\0';
  int fd = open_in(dir, text, DIR_FLAGS, 0, why, links_left);
  *text_end = saved;
  return fd;
}

// Opens `path` from the directory `dir` one component at a time, each under
// the link rule of open_in, the last with `flags` and `mode`, the others as
// directories.  ".." is the parent of the directory reached so far, as the
// kernel resolves it.  `path` is changed while it works and restored.
int open_walking(int dir, char* path, int flags, mode_t mode, const char** why, int* links_left) {
  int at = path[0] == '/' ? open("/", DIR_FLAGS) : openat(dir, ".", DIR_FLAGS);
  char* name = path;
  while (at >= 0) {
    while (*name == '/') ++name;
    char* name_end = name + std::strcspn(name, "/");
    char* next = name_end + std::strspn(name_end, "/");
    if (*next == '\0') {  // the last component ("." for "/" or "")
      int fd = open_in(at, name == name_end ? "." : name, flags, mode, why, links_left);
      close_keeping_errno(at);
      return fd;
    }
    int inner = open_dir_named(at, name, name_end, why, links_left);
    close_keeping_errno(at);
    at = inner;
    name = next;
  }
  return -1;
}

// The text of the symbolic link `link` (opened with O_PATH), ended by a
// NUL; -1 with errno set when it cannot be read or does not fit.
int read_link_text(int link, char (&target)[PATH_MAX]) {
  ssize_t length = readlinkat(link, "", target, sizeof target);
  if (length < 0) return -1;
  if (static_cast<std::size_t>(length) == sizeof target) {
    errno = ENAMETOOLONG;
    return -1;
  }
  target[length] = '\0';
  return 0;
}

// `link` is the symbolic link `name` in `dir`, opened itself (O_PATH |
// O_NOFOLLOW): opens what it leads to when root owns it, walking its target
// under the same rule, so that a link in a directory the target passes
// through counts only when root owns it too.  The target is read from that
// very link, so swapping the link meanwhile redirects nothing.  Each link
// followed takes one of *links_left; when none is left: ELOOP.
int follow_roots_link(int dir, int link, int flags, mode_t mode, const char** why,
                      int* links_left) {
  struct stat st;
  if (fstat(link, &st) != 0) return -1;
  if (!S_ISLNK(st.st_mode)) {
    errno = ELOOP;  // replaced between the two opens: refused like a loop
    return -1;
  }
  if (st.st_uid != 0) {
    *why = LOG_FILE_FOREIGN_LINK;
    return -1;
  }
  if (--*links_left < 0) {
    errno = ELOOP;
    return -1;
  }
  char target[PATH_MAX];
  if (read_link_text(link, target) != 0) return -1;
  return open_walking(dir, target, flags, mode, why, links_left);
}

// Opens `name` in `dir`; a symbolic link is followed only when root owns it.
int open_in(int dir, const char* name, int flags, mode_t mode, const char** why, int* links_left) {
  int fd = openat(dir, name, flags | O_NOFOLLOW, mode);
  // A link gives ELOOP, or ENOTDIR when a directory is asked for.
  if (fd >= 0 || (errno != ELOOP && errno != ENOTDIR)) return fd;
  int refused = errno;
  int link = openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  struct stat st;
  if (link < 0 || fstat(link, &st) != 0 || !S_ISLNK(st.st_mode)) {
    close_keeping_errno(link);
    errno = refused;
    return -1;
  }
  fd = follow_roots_link(dir, link, flags, mode, why, links_left);
  close_keeping_errno(link);
  return fd;
}

// The directory path[0, dir_end) holding the log file, its last component
// under the link rule (the slow way, for when it is not a directory).
int open_log_dir(char* path, char* dir_end, const char** why, int* links_left) {
  if (dir_end == path) return open_part(path, dir_end, DIR_FLAGS);
  char* parent_end = nullptr;
  char* dir_name = last_component(path, dir_end, &parent_end);
  int parent = open_part(path, parent_end, DIR_FLAGS);
  if (parent < 0) return -1;
  int dir = open_dir_named(parent, dir_name, dir_end, why, links_left);
  close_keeping_errno(parent);
  return dir;
}

// The directory holding the log file as the link rule allows, and the file
// in it.  Most often the directory is one: opened itself (a link is not
// followed), it serves at once.  A link, or something else, fails with
// ENOTDIR and is looked at more closely.  The file is opened with `flags`;
// when it is missing and `creatable` is given, that receives whether its
// directory may be written to.
int open_following_links(char* path, int flags, const char** why, bool* creatable) {
  char* dir_end = nullptr;
  char* name = last_component(path, path + std::strlen(path), &dir_end);
  int links_left = LOG_FILE_MAX_LINKS;
  int dir = open_part(path, dir_end, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  int fd = dir < 0 ? -1 : open_in(dir, name, flags, FILE_MODE, why, &links_left);
  if (fd < 0 && dir >= 0 && errno == ENOTDIR && *why == nullptr) {
    close(dir);
    dir = open_log_dir(path, dir_end, why, &links_left);
    if (dir >= 0) fd = open_in(dir, name, flags, FILE_MODE, why, &links_left);
  }
  if (fd < 0 && dir >= 0 && errno == ENOENT && *why == nullptr && creatable != nullptr)
    *creatable = faccessat(dir, ".", W_OK, AT_EACCESS) == 0;
  if (dir >= 0) close_keeping_errno(dir);
  return fd;
}

// Keeps fd (with its status in *st) when it is a regular file or a
// character device; else closes it, says why and returns -1.
int keep_if_usable(int fd, struct stat* st, const char** why) {
  if (fstat(fd, st) != 0) {
    *why = std::strerror(errno);
  } else if (!S_ISREG(st->st_mode) && !S_ISCHR(st->st_mode)) {
    *why = LOG_FILE_NOT_A_FILE;
  } else {
    return fd;
  }
  close(fd);
  return -1;
}

// A FIFO without a reader or a socket fails to open with ENXIO: says so.
const char* open_failure(const char* path) {
  int error = errno;
  struct stat st;
  if (error == ENXIO && stat(path, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode))
    return LOG_FILE_NOT_A_FILE;
  return std::strerror(error);
}

}  // namespace

int log_file_open(char* path, struct stat* st, const char** why) {
  *why = nullptr;
  int fd = open_following_links(path, FILE_FLAGS, why, nullptr);
  if (fd < 0) {
    if (*why == nullptr) *why = open_failure(path);
    return -1;
  }
  return keep_if_usable(fd, st, why);
}

int log_file_check(char* path, const char** why) {
  *why = nullptr;
  bool creatable = false;
  int fd = open_following_links(path, CHECK_FLAGS, why, &creatable);
  if (fd < 0) {
    if (creatable) return 0;
    if (*why == nullptr) *why = open_failure(path);
    return -1;
  }
  struct stat st;
  fd = keep_if_usable(fd, &st, why);
  if (fd < 0) return -1;
  close(fd);
  return 1;
}
