#include "session_reaper/in_use_scan.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

// Adds what the descriptor `name` of the process leads to. False when the
// process may not be inspected: none of its descriptors can be followed,
// and quietly there is nothing more to learn from it.
bool note_descriptor(int fd_dir, const char* process, const char* name, files_in_use& found) {
  // Through the link to the open file itself, on cached attributes only:
  // a descriptor on a hung NFS or FUSE mount costs no server round trip.
  struct statx file;
  const bool examined =
      statx(fd_dir, name, AT_STATX_DONT_SYNC | AT_NO_AUTOMOUNT, STATX_TYPE | STATX_INO, &file) == 0;
  if (!examined && errno == EACCES && !verbose) return false;
  const bool regular = examined && S_ISREG(file.stx_mode);
  if (regular)
    found.identities.push_back({makedev(file.stx_dev_major, file.stx_dev_minor), file.stx_ino});
  // A file system on a block device (ext4, XFS) numbers its files itself,
  // the same through a descriptor as through a path. The others, on
  // anonymous devices (tmpfs, overlays, network and FUSE file systems),
  // may not: their files are kept by the path their descriptor names too.
  const bool by_path = regular && file.stx_dev_major == 0;
  if (!by_path && !verbose) return true;
  std::string link;
  if (!read_link(fd_dir, name, link)) {
    if (verbose)
      std::cerr << "Warning: readlink failed on /proc/" << process << "/fd/" << name << " : "
                << strerror(errno) << '\n';
    return true;
  }
  if (verbose) found.links.push_back(link);
  if (by_path) found.paths.insert(std::move(link));
  return true;
}

void scan_process(int proc_fd, const char* process, files_in_use& found) {
  dir_reader fds(proc_fd, (std::string(process) + "/fd").c_str());
  if (fds.fd() < 0) return;
  while (const dirent64* e = fds.next()) {
    if (!is_dot_or_dotdot(e->d_name) && !note_descriptor(fds.fd(), process, e->d_name, found))
      return;
  }
}

// Whether /proc shows this process's own descriptor `fd`.
bool shows_own_descriptor(int proc_fd, int fd) {
  std::string text;
  return read_link(proc_fd, ("self/fd/" + std::to_string(fd)).c_str(), text);
}

}  // namespace

bool files_in_use::holds(const file_identity& file, const std::string& path) const {
  return std::binary_search(identities.begin(), identities.end(), file) || paths.count(path) != 0;
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
    if (e->d_type == DT_DIR) scan_process(proc.fd(), e->d_name, found);
  }
  std::sort(found.identities.begin(), found.identities.end());
  found.identities.erase(std::unique(found.identities.begin(), found.identities.end()),
                         found.identities.end());
  return 0;
}
