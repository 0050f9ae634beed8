#include "session_reaper/in_use_scan.hpp"

#include <dirent.h>
#include <fcntl.h>
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

void scan_process(int proc_fd, const char* process, const std::string& session_dir,
                  std::set<std::string>& files_in_use) {
  fd_dir fds(proc_fd, process);
  if (fds.fd() < 0) return;
  char target[4096 + 1];
  while (const char* name = fds.next()) {
    if (is_dot_or_dotdot(name)) continue;
    ssize_t n = readlinkat(fds.fd(), name, target, sizeof target - 1);
    if (n <= 0) {
      int saved = n == 0 ? 0 : errno;
      if (verbose)
        std::cerr << "Warning: readlink failed on /proc/" << process << "/fd/" << name << " : "
                  << strerror(saved) << '\n';
      // Without the right to inspect the process, none of its links can be
      // read; quietly, there is nothing more to learn from it.
      else if (saved == EACCES)
        return;
      continue;
    }
    target[n] = '\0';
    if (strncmp(target, session_dir.c_str(), session_dir.size()) != 0) continue;
    if (verbose) std::cerr << "INFO: Session file '" << target << "' is in use.\n";
    files_in_use.emplace(target);
  }
}

}  // namespace

int collect_files_in_use(const std::string& session_dir, std::set<std::string>& files_in_use) {
  dir_ptr proc(opendir("/proc"));
  if (!proc) {
    std::cerr << "Error: unable to open /proc: " << strerror(errno) << '\n';
    return 1;
  }
  while (const dirent* e = readdir(proc.get())) {
    if (e->d_type == DT_DIR) scan_process(dirfd(proc.get()), e->d_name, session_dir, files_in_use);
  }
  return 0;
}
