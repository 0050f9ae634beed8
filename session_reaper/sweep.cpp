#include "session_reaper/sweep.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <set>

#include "session_reaper/dir_reader.hpp"
#include "session_reaper/dir_walk.hpp"
#include "session_reaper/file_lock.hpp"
#include "session_reaper/in_use_scan.hpp"
#include "session_reaper/unique_fd.hpp"

namespace {

// refusal() of the root directory, and of a symbolic link not owned by root.
constexpr int ROOT_DIRECTORY = -1;
constexpr int FOREIGN_LINK = -2;

std::string without_trailing_slash(std::string dir) {
  if (!dir.empty() && dir.back() == '/') dir.pop_back();
  return dir;
}

// A session directory opened for its sweep.
struct opened_dir {
  explicit opened_dir(const std::string& given)
      : name(without_trailing_slash(given)), entries(open_dir_walking(name, foreign_link)) {
    open_error = entries.fd() < 0 ? errno : 0;
  }
  std::string name;  // as given, less one trailing slash: for messages
  bool foreign_link = false;
  dir_reader entries;
  int open_error;
  struct stat status {};
};

// The identity of the root directory, by which it is known however it is
// named ("//", "/.", "/tmp/..", a link to "/", a bind mount of it); none
// when it cannot be read.
file_identity root_directory() {
  struct stat root;
  if (stat("/", &root) != 0) return {0, 0};
  return {root.st_dev, root.st_ino};
}

// Why the directory cannot be swept: 0 when it can, the errno of its opening
// when it could not be opened, FOREIGN_LINK when a link on its way is not
// root's, ROOT_DIRECTORY when it is the root directory or the empty text
// (what "/" becomes without its trailing slash): never a session directory.
int refusal(opened_dir& dir, const file_identity& root) {
  if (dir.name.empty()) return ROOT_DIRECTORY;
  if (dir.foreign_link) return FOREIGN_LINK;
  if (dir.open_error != 0) return dir.open_error;
  if (fstat(dir.entries.fd(), &dir.status) != 0) return errno;
  return file_identity{dir.status.st_dev, dir.status.st_ino} == root ? ROOT_DIRECTORY : 0;
}

void report_refusal(const opened_dir& dir, int why) {
  // The root directory, however named, gets the message of "/" itself: the
  // empty text names no directory.
  if (why == ROOT_DIRECTORY)
    std::cerr << "Error: opendir() failed : " << strerror(ENOENT) << '\n';
  else
    std::cerr << "Error: opendir(" << dir.name
              << ") failed : " << (why == FOREIGN_LINK ? DIR_WALK_FOREIGN_LINK : strerror(why))
              << '\n';
}

bool read_now(clock_reader read_clock, time_t& now) {
  now = read_clock(nullptr);
  if (now != static_cast<time_t>(-1)) return true;
  std::cerr << "Error: time(NULL) failed : " << strerror(errno) << '\n';
  return false;
}

// The absolute path by which the kernel names the open directory, whatever
// relative path, symbolic link or doubled slash it was given by: the form
// of descriptor link texts. Empty, with errno set, when /proc cannot tell.
std::string kernel_name(int dir_fd) {
  std::string link = "/proc/self/fd/" + std::to_string(dir_fd);
  char target[4096 + 1];
  ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  if (n <= 0) return "";
  return std::string(target, static_cast<size_t>(n));
}

// The candidate path as messages show it: the directory text, "/", the name.
std::string join(const std::string& dir, const char* name) { return dir + "/" + name; }

// One path a line on standard output, whatever bytes its name holds.
void print_path(const std::string& path) {
  for (char c : path) {
    if (c == '\\' || c == '\n')
      std::cout << '\\' << (c == '\n' ? 'n' : c);
    else
      std::cout << c;
  }
  std::cout << '\n';
}

// How one walk goes: sessreap's, or one of sessreap-dirs' (which says why a
// file is kept, and may be a dry run).
struct walk_mode {
  bool dry_run = false;
  bool say_why = false;
};

struct sweep_walk {
  int dir_fd;
  const std::string& session_dir;  // as given, for messages
  const std::string& kernel_dir;   // as descriptor links name it
  const files_in_use& found;
  time_t now;
  int age_limit;
  walk_mode mode;
  sweep_counts& counts;

  void examine(const char* name) {
    struct stat st;
    if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
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
    if (pid_t pid = found.holder({st.st_dev, st.st_ino}, join(kernel_dir, name)))
      return keep(name, pid);
    claim(name, st);
  }

  // Removes the expired file unless someone holds a lock on it. Opening it
  // changes none of its times; a FIFO is never opened (only what was a
  // regular file is), and a file put in its place meanwhile is left alone.
  void claim(const char* name, const struct stat& examined) {
    unique_fd file(openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.get() < 0) {
      // EWOULDBLOCK: another process holds a lease on it. ENOENT, ELOOP,
      // ENXIO: gone, or replaced by a link or a socket.
      if (errno == EWOULDBLOCK) return keep(name, 0);
      if (errno != ENOENT && errno != ELOOP && errno != ENXIO) fail(name, errno);
      return;
    }
    struct stat opened;
    if (fstat(file.get(), &opened) != 0 || opened.st_dev != examined.st_dev ||
        opened.st_ino != examined.st_ino || !S_ISREG(opened.st_mode))
      return;
    if (locked_elsewhere(file.get())) return keep(name, 0);
    remove_file(name);
  }  // closing the file releases its lock, after the removal

  // Kept in use: held open by process `pid`, or (0) locked.
  void keep(const char* name, pid_t pid) {
    ++counts.kept_in_use;
    if (!verbose) return;
    std::cerr << "INFO: Skip file '" << join(session_dir, name) << "': still in use";
    if (mode.say_why && pid != 0) std::cerr << " (open in process " << pid << ")";
    if (mode.say_why && pid == 0) std::cerr << " (locked)";
    std::cerr << '\n';
  }

  void remove_file(const char* name) {
    if (verbose) std::cerr << "INFO: Remove old session file: " << join(session_dir, name) << '\n';
    if (mode.dry_run) {
      print_path(join(session_dir, name));
      ++counts.removed;
    } else if (unlinkat(dir_fd, name, 0) == 0) {
      ++counts.removed;
    } else if (errno != ENOENT) {
      fail(name, errno);
    }
  }

  void fail(const char* name, int error) {
    ++counts.failed;
    std::cerr << "Warning: failed to remove " << join(session_dir, name) << " : " << strerror(error)
              << '\n';
  }
};

// Walks an opened directory against the scan, after reporting (with
// `verbose`) the descriptor links that lie under it. False, after an error
// line, when /proc no longer tells the directory's name.
bool sweep_opened(opened_dir& dir, const files_in_use& found, time_t now, int lifetime_minutes,
                  walk_mode mode, sweep_counts& counts) {
  const std::string kernel_dir = kernel_name(dir.entries.fd());
  if (kernel_dir.empty()) {
    std::cerr << "Error: unable to read /proc/self/fd : " << strerror(errno) << '\n';
    return false;
  }
  // With `verbose`, the links under the directory (sorted, those that begin
  // with its name lie together).
  for (auto link = std::lower_bound(found.links.begin(), found.links.end(), kernel_dir);
       link != found.links.end() && link->starts_with(kernel_dir); ++link)
    std::cerr << "INFO: Session file '" << *link << "' is in use.\n";
  const int age_limit = lifetime_minutes * 60;
  sweep_walk walk{dir.entries.fd(), dir.name, kernel_dir, found, now, age_limit, mode, counts};
  while (const dirent64* e = dir.entries.next()) walk.examine(e->d_name);
  return true;
}

}  // namespace

int sweep_session_dir(std::string session_dir, int lifetime_minutes) {
  return sweep_session_dir(std::move(session_dir), lifetime_minutes, time);
}

int sweep_session_dir(std::string session_dir, int lifetime_minutes, clock_reader read_clock) {
  opened_dir dir(session_dir);
  if (int why = refusal(dir, root_directory())) {
    report_refusal(dir, why);
    return 1;
  }
  files_in_use found;
  time_t now;
  if (collect_files_in_use(found) != 0 || !read_now(read_clock, now)) return 1;
  // A file that cannot be removed is reported, but does not fail the run.
  sweep_counts counts;
  return sweep_opened(dir, found, now, lifetime_minutes, {}, counts) ? 0 : 1;
}

int sweep_session_dirs(const std::vector<listed_dir>& dirs, bool dry_run, clock_reader read_clock,
                       sweep_counts& counts) {
  if (dirs.empty()) return 0;
  files_in_use found;
  time_t now;
  if (collect_files_in_use(found) != 0 || !read_now(read_clock, now)) return 1;
  counts.unreadable += found.unreadable;
  const file_identity root = root_directory();
  const walk_mode mode{.dry_run = dry_run, .say_why = true};
  std::set<file_identity> swept;
  for (const listed_dir& listed : dirs) {
    opened_dir dir(listed.session_dir);
    if (int why = refusal(dir, root)) {
      if (why == ENOENT) {
        std::cerr << "Warning: session directory " << dir.name << " does not exist: skipped\n";
      } else {
        report_refusal(dir, why);
        ++counts.failed;
      }
    } else if (swept.insert({dir.status.st_dev, dir.status.st_ino}).second) {
      if (sweep_opened(dir, found, now, listed.lifetime_minutes, mode, counts))
        ++counts.dirs;
      else
        ++counts.failed;
    }
  }
  return counts.failed == 0 ? 0 : 1;
}
