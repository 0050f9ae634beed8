#include "session_reaper/in_use_scan.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>

#include "session_reaper/verbose.hpp"

namespace {

struct dir_closer {
  void operator()(DIR* d) const { closedir(d); }
};
using dir_ptr = std::unique_ptr<DIR, dir_closer>;

bool is_dot_or_dotdot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// A descriptor directory read whole with getdents64: one open, two reads
// and a close per process, where a directory stream would add an fstat and
// two fcntl calls. The scan visits every process of the machine, so this
// is most of its cost.
class fd_dir {
 public:
  fd_dir(int proc_fd, const char* process) {
    std::string path = std::string(process) + "/fd";
    fd_ = openat(proc_fd, path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  ~fd_dir() {
    if (fd_ >= 0) close(fd_);
  }
  fd_dir(const fd_dir&) = delete;
  fd_dir& operator=(const fd_dir&) = delete;
  int fd() const { return fd_; }

  // The next entry's name, or null at the end (or on a read error).
  const char* next() {
    if (at_ == filled_) {
      ssize_t n = getdents64(fd_, buffer_, sizeof buffer_);
      if (n <= 0) return nullptr;
      filled_ = static_cast<size_t>(n);
      at_ = 0;
    }
    const auto* e = reinterpret_cast<const dirent64*>(buffer_ + at_);
    at_ += e->d_reclen;
    return e->d_name;
  }

 private:
  int fd_ = -1;
  alignas(dirent64) char buffer_[16384];
  size_t filled_ = 0, at_ = 0;
};

// With -v: reports the link when its text lies under kernel_dir. False,
// after a warning, when the link cannot be read.
bool report_link(int fd_dir_fd, const char* process, const char* name,
                 const std::string& kernel_dir) {
  char target[4096 + 1];
  ssize_t n = readlinkat(fd_dir_fd, name, target, sizeof target - 1);
  if (n <= 0) {
    int saved = n == 0 ? 0 : errno;
    std::cerr << "Warning: readlink failed on /proc/" << process << "/fd/" << name << " : "
              << strerror(saved) << '\n';
    return false;
  }
  target[n] = '\0';
  if (strncmp(target, kernel_dir.c_str(), kernel_dir.size()) == 0)
    std::cerr << "INFO: Session file '" << target << "' is in use.\n";
  return true;
}

void scan_process(int proc_fd, const char* process, const std::string& kernel_dir, dev_t dev,
                  std::set<file_identity>& files_in_use) {
  fd_dir fds(proc_fd, process);
  if (fds.fd() < 0) return;
  while (const char* name = fds.next()) {
    if (is_dot_or_dotdot(name)) continue;
    if (verbose && !report_link(fds.fd(), process, name, kernel_dir)) continue;
    // Through the link to the open file itself, on cached attributes only:
    // a descriptor on a hung NFS or FUSE mount costs no server round trip.
    struct statx file;
    if (statx(fds.fd(), name, AT_STATX_DONT_SYNC | AT_NO_AUTOMOUNT, STATX_TYPE | STATX_INO,
              &file) != 0) {
      // Without the right to inspect the process, none of its descriptors
      // can be followed; quietly, there is nothing more to learn from it.
      if (errno == EACCES && !verbose) return;
      continue;
    }
    if (S_ISREG(file.stx_mode) && makedev(file.stx_dev_major, file.stx_dev_minor) == dev)
      files_in_use.insert({dev, file.stx_ino});
  }
}

}  // namespace

int collect_files_in_use(const std::string& kernel_dir, dev_t dev,
                         std::set<file_identity>& files_in_use) {
  dir_ptr proc(opendir("/proc"));
  if (!proc) {
    std::cerr << "Error: unable to open /proc: " << strerror(errno) << '\n';
    return 1;
  }
  while (const dirent* e = readdir(proc.get())) {
    if (e->d_type == DT_DIR)
      scan_process(dirfd(proc.get()), e->d_name, kernel_dir, dev, files_in_use);
  }
  return 0;
}
