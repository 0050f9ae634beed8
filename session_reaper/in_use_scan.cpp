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

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

bool is_dot_or_dotdot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Opens /proc/<process>/fd relative to the open /proc.
Dir open_fd_dir(int proc_fd, const char* process) {
  std::string path = std::string(process) + "/fd";
  int fd = openat(proc_fd, path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  DIR* d = fdopendir(fd);
  if (d == nullptr) close(fd);
  return Dir(d);
}

void scan_process(int proc_fd, const char* process, const std::string& session_dir,
                  std::set<std::string>& files_in_use) {
  Dir fds = open_fd_dir(proc_fd, process);
  if (!fds) return;
  char target[4096 + 1];
  while (const dirent* e = readdir(fds.get())) {
    if (is_dot_or_dotdot(e->d_name)) continue;
    ssize_t n = readlinkat(dirfd(fds.get()), e->d_name, target, sizeof target - 1);
    if (n <= 0) {
      int saved = errno;
      if (verbose)
        std::cerr << "Warning: readlink failed on /proc/" << process << "/fd/" << e->d_name
                  << " : " << strerror(n == 0 ? 0 : saved) << '\n';
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
  Dir proc(opendir("/proc"));
  if (!proc) {
    std::cerr << "Error: unable to open /proc: " << strerror(errno) << '\n';
    return 1;
  }
  while (const dirent* e = readdir(proc.get())) {
    if (e->d_type == DT_DIR) scan_process(dirfd(proc.get()), e->d_name, session_dir, files_in_use);
  }
  return 0;
}
