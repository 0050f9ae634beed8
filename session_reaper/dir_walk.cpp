#include "session_reaper/dir_walk.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>

#include <cerrno>

#include "session_reaper/unique_fd.hpp"

namespace {

// The directories on the way, opened only to be walked through.
constexpr int STEP_FLAGS = O_PATH | O_DIRECTORY | O_CLOEXEC;
constexpr int DIR_FLAGS = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

struct walk {
  int links_left = DIR_WALK_MAX_LINKS;
  bool& foreign_link;

  // `path` from the directory `at`, its last component opened with `flags`.
  int from(int at, const std::string& path, int flags) {
    unique_fd dir(path.starts_with('/') ? open("/", STEP_FLAGS) : openat(at, ".", STEP_FLAGS));
    size_t name = path.find_first_not_of('/');
    while (dir.get() >= 0) {
      size_t end = name == std::string::npos ? path.size() : path.find('/', name);
      if (end == std::string::npos) end = path.size();
      size_t next = path.find_first_not_of('/', end);
      const bool last = next == std::string::npos;
      // The last component is "." for "/" and for a path that ends in slashes.
      const std::string component = name >= end ? "." : path.substr(name, end - name);
      unique_fd inner(step(dir.get(), component.c_str(), last ? flags : STEP_FLAGS));
      if (last) return inner.release();
      dir = std::move(inner);
      name = next;
    }
    return -1;
  }

  // `name` in `at`; a symbolic link there is followed only when root owns it.
  int step(int at, const char* name, int flags) {
    int fd = openat(at, name, flags | O_NOFOLLOW);
    // A link gives ELOOP, or ENOTDIR since a directory is asked for.
    if (fd >= 0 || (errno != ELOOP && errno != ENOTDIR)) return fd;
    const int refused = errno;
    unique_fd link(openat(at, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (link.get() < 0 || fstat(link.get(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      errno = refused;
      return -1;
    }
    if (st.st_uid != 0) {
      foreign_link = true;
      errno = EPERM;
      return -1;
    }
    if (--links_left < 0) {
      errno = ELOOP;
      return -1;
    }
    // The target is read from the link that was examined: swapping the link
    // meanwhile redirects nothing.
    char target[PATH_MAX];
    ssize_t length = readlinkat(link.get(), "", target, sizeof target);
    if (length < 0) return -1;
    if (static_cast<size_t>(length) == sizeof target) {
      errno = ENAMETOOLONG;
      return -1;
    }
    return from(at, std::string(target, static_cast<size_t>(length)), flags);
  }
};

}  // namespace

int open_dir_walking(const std::string& path, bool& foreign_link) {
  foreign_link = false;
  if (path.empty()) {
    errno = ENOENT;
    return -1;
  }
  return walk{.foreign_link = foreign_link}.from(AT_FDCWD, path, DIR_FLAGS);
}
