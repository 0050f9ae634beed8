#include "session_reaper/in_use_scan.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "session_reaper/dir_reader.hpp"

bool verbose = false;

namespace {

bool is_dot_or_dotdot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// The text of the link `name` in the directory `at`; false, with errno set
// (0 for an empty text), when there is none.
bool read_link(int at, const char* name, std::string& text) {
  char target[4096 + 1];
  ssize_t n = readlinkat(at, name, target, sizeof target - 1);
  if (n <= 0) {
    if (n == 0) errno = 0;
    return false;
  }
  text.assign(target, static_cast<size_t>(n));
  return true;
}

// How reading one descriptor table went: read (or gone meanwhile, or no
// process's), empty, or refused.
enum class table { read, empty, unreadable };

// The scan of one /proc/<pid>.
struct process_scan {
  int proc_fd;
  const std::string pid;  // the /proc entry's name
  files_in_use& found;
  const pid_t id = static_cast<pid_t>(std::atoi(pid.c_str()));

  void scan() {
    switch (read_table(pid + "/fd")) {
      case table::unreadable:
        return report_unreadable();
      case table::empty:
        return read_threads();
      case table::read:
        return;
    }
  }

  // A process whose main thread has ended (pthread_exit) shows its open
  // files only in its live threads' tables. Its /proc/<pid>/fd is empty, as
  // are those of kernel threads and zombies, which have one thread: the link
  // count of a task directory is 2 plus the number of threads, so these cost
  // one fstatat more, and no walk.
  void read_threads() {
    const std::string tasks_path = pid + "/task";
    struct stat tasks_status;
    if (fstatat(proc_fd, tasks_path.c_str(), &tasks_status, 0) != 0 || tasks_status.st_nlink == 3)
      return;
    dir_reader tasks(proc_fd, tasks_path.c_str());
    if (tasks.fd() < 0) return;
    while (const dirent64* e = tasks.next()) {
      if (is_dot_or_dotdot(e->d_name) || pid == e->d_name) continue;
      if (read_table(tasks_path + "/" + e->d_name + "/fd") == table::unreadable)
        return report_unreadable();
    }
  }

  table read_table(const std::string& fd_dir) {
    dir_reader fds(proc_fd, fd_dir.c_str());
    // Not there: the process has ended, or the entry is no process.
    if (fds.fd() < 0) return errno == EACCES ? table::unreadable : table::read;
    bool any = false;
    while (const dirent64* e = fds.next()) {
      if (is_dot_or_dotdot(e->d_name)) continue;
      any = true;
      if (!note_descriptor(fds.fd(), fd_dir, e->d_name)) return table::unreadable;
    }
    return any ? table::read : table::empty;
  }

  // Adds what the descriptor `name` leads to; false when the process may not
  // be inspected.
  bool note_descriptor(int fd_dir, const std::string& fd_dir_path, const char* name) {
    // Through the link to the open file itself, on cached attributes only:
    // a descriptor on a hung NFS or FUSE mount costs no server round trip.
    struct statx file;
    const bool examined = statx(fd_dir, name, AT_STATX_DONT_SYNC | AT_NO_AUTOMOUNT,
                                STATX_TYPE | STATX_INO, &file) == 0;
    const bool refused = !examined && errno == EACCES;
    const bool regular = examined && S_ISREG(file.stx_mode);
    if (regular)
      found.identities.push_back(
          {{makedev(file.stx_dev_major, file.stx_dev_minor), file.stx_ino}, id});
    // A file system on a block device (ext4, XFS) numbers its files itself,
    // the same through a descriptor as through a path. The others, on
    // anonymous devices (tmpfs, overlays, network and FUSE file systems),
    // may not: their files are kept by the path their descriptor names too,
    // and so is a file that may not be examined.
    const bool by_path = (regular && file.stx_dev_major == 0) || refused;
    if (!by_path && !verbose) return true;
    std::string link;
    if (!read_link(fd_dir, name, link)) {
      // Refused twice: the link's owner may not be inspected at all, which
      // a file system's refusal alone (FUSE) does not make.
      if (refused && errno == EACCES) return false;
      if (verbose)
        std::cerr << "Warning: readlink failed on /proc/" << fd_dir_path << "/" << name << " : "
                  << strerror(errno) << '\n';
      return true;
    }
    if (verbose) found.links.push_back(link);
    if (by_path) found.paths.emplace(std::move(link), id);
    return true;
  }

  // Counted and, with `verbose`, named; not when it has ended meanwhile.
  void report_unreadable() {
    struct stat owner;
    if (fstatat(proc_fd, pid.c_str(), &owner, 0) != 0) return;
    ++found.unreadable;
    if (verbose)
      std::cerr << "Warning: cannot read the open files of process " << pid << " (uid "
                << owner.st_uid << ") : " << strerror(EACCES) << '\n';
  }
};

// Whether /proc shows this process's own descriptor `fd`.
bool shows_own_descriptor(int proc_fd, int fd) {
  std::string text;
  return read_link(proc_fd, ("self/fd/" + std::to_string(fd)).c_str(), text);
}

}  // namespace

pid_t files_in_use::holder(const file_identity& file, const std::string& path) const {
  auto at =
      std::lower_bound(identities.begin(), identities.end(), file,
                       [](const held_file& held, const file_identity& f) { return held.file < f; });
  if (at != identities.end() && at->file == file) return at->pid;
  auto named = paths.find(path);
  return named == paths.end() ? 0 : named->second;
}

int collect_files_in_use(files_in_use& found) {
  dir_reader proc(AT_FDCWD, "/proc");
  if (proc.fd() < 0) {
    std::cerr << "Error: unable to open /proc: " << strerror(errno) << '\n';
    return 1;
  }
  if (!shows_own_descriptor(proc.fd(), proc.fd())) {
    std::cerr << "Error: unable to read /proc/self/fd : " << strerror(errno) << '\n';
    return 1;
  }
  while (const dirent64* e = proc.next()) {
    if (e->d_type == DT_DIR) process_scan{proc.fd(), e->d_name, found}.scan();
  }
  auto by_file = [](const held_file& a, const held_file& b) { return a.file < b.file; };
  auto same_file = [](const held_file& a, const held_file& b) { return a.file == b.file; };
  std::sort(found.links.begin(), found.links.end());
  std::sort(found.identities.begin(), found.identities.end(), by_file);
  found.identities.erase(std::unique(found.identities.begin(), found.identities.end(), same_file),
                         found.identities.end());
  return 0;
}
