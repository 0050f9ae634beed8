#include "session_reaper/sweep.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <set>

#include "session_reaper/in_use_scan.hpp"
#include "session_reaper/verbose.hpp"

namespace {

struct dir_closer {
  void operator()(DIR* d) const { closedir(d); }
};

// The absolute path by which the kernel names the open directory, whatever
// relative path, symbolic link or doubled slash it was given by: the form
// of descriptor link texts, which the verbose report compares with it.
// Empty, with errno set, when /proc cannot tell.
std::string kernel_name(DIR* dir) {
  std::string link = "/proc/self/fd/" + std::to_string(dirfd(dir));
  char target[4096 + 1];
  ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  if (n <= 0) return "";
  target[n] = '\0';
  return target;
}

// The candidate path as messages show it: the directory text, "/", the name.
std::string join(const std::string& dir, const char* name) { return dir + "/" + name; }

// The root directory, however it was named ("//", "/.", "/tmp/..", a link
// to "/", a bind mount of it): never a session directory.
bool is_root_directory(const struct stat& dir) {
  struct stat root;
  return stat("/", &root) == 0 && root.st_dev == dir.st_dev && root.st_ino == dir.st_ino;
}

struct sweep_walk {
  DIR* dir;
  const std::string& session_dir;  // as given, for messages
  const std::set<file_identity>& files_in_use;
  time_t now;
  int age_limit;

  void examine(const char* name) const {
    struct stat st;
    if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      int saved = errno;
      if (verbose || saved != ENOENT)
        std::cerr << "Warning: failed to stat " << join(session_dir, name) << " : "
                  << strerror(saved) << '\n';
      return;
    }
    if (!S_ISREG(st.st_mode)) return;
    if (difftime(now, st.st_ctime) <= static_cast<double>(age_limit)) {
      if (verbose)
        std::cerr << "INFO: Skip file '" << join(session_dir, name) << "': not expired yet\n";
      return;
    }
    if (files_in_use.count({st.st_dev, st.st_ino}) != 0) {
      if (verbose)
        std::cerr << "INFO: Skip file '" << join(session_dir, name) << "': still in use\n";
      return;
    }
    remove_file(name);
  }

  void remove_file(const char* name) const {
    if (verbose) std::cerr << "INFO: Remove old session file: " << join(session_dir, name) << '\n';
    if (unlinkat(dirfd(dir), name, 0) != 0 && errno != ENOENT) {
      int saved = errno;
      std::cerr << "Warning: failed to remove " << join(session_dir, name) << " : "
                << strerror(saved) << '\n';
    }
  }
};

}  // namespace

int sweep_session_dir(std::string session_dir, int lifetime_minutes) {
  return sweep_session_dir(std::move(session_dir), lifetime_minutes, time);
}

int sweep_session_dir(std::string session_dir, int lifetime_minutes, clock_reader read_clock) {
  if (!session_dir.empty() && session_dir.back() == '/') session_dir.pop_back();

  std::unique_ptr<DIR, dir_closer> dir(opendir(session_dir.c_str()));
  struct stat dir_status;
  if (!dir || fstat(dirfd(dir.get()), &dir_status) != 0) {
    std::cerr << "Error: opendir(" << session_dir << ") failed : " << strerror(errno) << '\n';
    return 1;
  }
  // Refused as "/" itself always was (its one slash removed, the text is
  // empty and names no directory).
  if (is_root_directory(dir_status)) {
    std::cerr << "Error: opendir() failed : " << strerror(ENOENT) << '\n';
    return 1;
  }
  const std::string kernel_dir = kernel_name(dir.get());
  const int name_error = errno;
  std::set<file_identity> files_in_use;
  if (collect_files_in_use(kernel_dir.empty() ? session_dir : kernel_dir, dir_status.st_dev,
                           files_in_use) != 0)
    return 1;
  // A /proc that opens but does not show even our own descriptors cannot
  // show anyone else's: sweeping then would remove sessions in use.
  if (kernel_dir.empty()) {
    std::cerr << "Error: unable to read /proc/self/fd : " << strerror(name_error) << '\n';
    return 1;
  }

  time_t now = read_clock(nullptr);
  if (now == static_cast<time_t>(-1)) {
    std::cerr << "Error: time(NULL) failed : " << strerror(errno) << '\n';
    return 1;
  }
  const sweep_walk walk{dir.get(), session_dir, files_in_use, now, lifetime_minutes * 60};
  while (const dirent* e = readdir(dir.get())) walk.examine(e->d_name);
  return 0;
}
