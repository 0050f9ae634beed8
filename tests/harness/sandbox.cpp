// Private mount namespace with fresh layers over the paths the programs use.
// The checkout, the build tree and the shared test data stay visible at their
// own paths whatever those layers cover (a clone under /tmp, say).
#include "harness/sandbox.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace harness {
namespace {

namespace fs = std::filesystem;

// The test process leaves the host's mount namespace once and for all;
// nothing it mounts afterwards is visible outside.
std::string enter_private_namespace() {
  static std::string why = []() -> std::string {
    if (geteuid() != 0) return "end-to-end tests need root";
    if (unshare(CLONE_NEWNS) != 0) return std::string("unshare(CLONE_NEWNS): ") + strerror(errno);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      return std::string("making / private: ") + strerror(errno);
    return "";
  }();
  return why;
}

const char* const DEVICE_NODES[] = {"null", "zero", "full", "random", "urandom", "tty", "fuse"};

// What tests reach by path inside the sandbox: the programs under test in the
// build tree, files of the checkout, the shared test data (when present).
const char* const KEPT_DIRS[] = {VAREK_SOURCE_DIR, VAREK_BUILD_DIR, VAREK_SHARED_DATA_DIR};

// A kept directory, held open while the private layers go up over its path.
struct held_dir {
  std::string path;
  int fd;
};

std::vector<held_dir> open_kept_dirs() {
  std::vector<held_dir> held;
  for (const char* dir : KEPT_DIRS) {
    std::error_code ec;
    std::string path = fs::canonical(dir, ec).string();
    int fd = ec ? -1 : open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) held.push_back({path, fd});
  }
  // Parents first: binding a checkout back also brings a build tree inside it.
  std::sort(held.begin(), held.end(),
            [](const held_dir& a, const held_dir& b) { return a.path < b.path; });
  return held;
}

bool same_directory(int fd, const std::string& path) {
  struct stat was, now;
  return fstat(fd, &was) == 0 && stat(path.c_str(), &now) == 0 && was.st_dev == now.st_dev &&
         was.st_ino == now.st_ino;
}

}  // namespace

sandbox::sandbox() {
  why_ = enter_private_namespace();
  if (!ok()) return;
  std::vector<held_dir> kept = open_kept_dirs();
  try {
    mount_or_fail("sandbox", "/tmp", "tmpfs", 0, "mode=1777");
    // Overlays keep the host's /etc and /var readable (passwd, ld.so.cache,
    // Apache's modules...) while every write lands in the private upper layer.
    for (const char* dir : {"etc", "var"}) {
      std::string upper = std::string("/tmp/.sandbox/") + dir;
      fs::create_directories(upper + "/upper");
      fs::create_directories(upper + "/work");
      std::string opts = "lowerdir=/" + std::string(dir) + ",upperdir=" + upper +
                         "/upper,workdir=" + upper + "/work";
      mount_or_fail("overlay", (std::string("/") + dir).c_str(), "overlay", 0, opts.c_str());
    }
    // The host keeps writing its own logs (dpkg, syslog...), and changes
    // below an overlay's lower layer show through: tests that compare what
    // appeared under /var/log start from an empty one instead.
    mount_or_fail("sandbox-log", "/var/log", "tmpfs", 0, "mode=755");
    build_dev();
    for (const held_dir& dir : kept)
      if (!same_directory(dir.fd, dir.path)) bind_back(dir.fd, dir.path);
  } catch (const std::exception& e) {
    why_ = e.what();
  }
  for (const held_dir& dir : kept) close(dir.fd);
}

// Mounts the directory open as fd, which a private layer now covers, back at
// its own path: tests see the real one, not a copy or an overlay of it.
void sandbox::bind_back(int fd, const std::string& path) {
  fs::create_directories(path);
  std::string source = "/proc/self/fd/" + std::to_string(fd);
  mount_or_fail(source.c_str(), path.c_str(), nullptr, MS_BIND | MS_REC, nullptr);
}

// A minimal /dev of our own, so /dev/log can be bound whatever the host has.
void sandbox::build_dev() {
  const std::string keep = "/tmp/.sandbox/hostdev";
  fs::create_directories(keep);
  mount_or_fail("/dev", keep.c_str(), nullptr, MS_BIND | MS_REC, nullptr);
  mount_or_fail("sandbox-dev", "/dev", "tmpfs", MS_NOSUID, "mode=755");
  for (const char* node : DEVICE_NODES) {
    std::string host = keep + "/" + node, mine = std::string("/dev/") + node;
    if (access(host.c_str(), F_OK) != 0) continue;
    int fd = open(mine.c_str(), O_CREAT | O_WRONLY, 0666);
    if (fd >= 0) close(fd);
    mount_or_fail(host.c_str(), mine.c_str(), nullptr, MS_BIND, nullptr);
  }
  for (const char* dir : {"shm", "pts"}) fs::create_directories(std::string("/dev/") + dir);
  mount_or_fail("sandbox-shm", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777");
  if (access((keep + "/pts/ptmx").c_str(), F_OK) == 0)
    mount_or_fail((keep + "/pts").c_str(), "/dev/pts", nullptr, MS_BIND, nullptr);
  fs::create_directory_symlink("/proc/self/fd", "/dev/fd");
  fs::create_symlink("/proc/self/fd/0", "/dev/stdin");
  fs::create_symlink("/proc/self/fd/1", "/dev/stdout");
  fs::create_symlink("/proc/self/fd/2", "/dev/stderr");
  umount2(keep.c_str(), MNT_DETACH);
  mounts_.erase(std::find(mounts_.begin(), mounts_.end(), keep));
}

sandbox::~sandbox() {
  for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
}

void sandbox::mount_or_fail(const char* source, const char* target, const char* type,
                            unsigned long flags, const char* data) {
  if (mount(source, target, type, flags, data) != 0)
    throw std::runtime_error(std::string("mount ") + target + ": " + strerror(errno));
  mounts_.push_back(target);
}

void sandbox::make_dirs(const std::string& path, mode_t mode) {
  fs::create_directories(path);
  chmod(path.c_str(), mode);
}

void sandbox::write_file(const std::string& path, const std::string& content, mode_t mode) {
  fs::path p(path);
  if (p.has_parent_path()) fs::create_directories(p.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
  chmod(path.c_str(), mode);
}

std::string sandbox::read_file(const std::string& path) const {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool sandbox::exists(const std::string& path) const {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void sandbox::mount_tmpfs(const std::string& path, const std::string& options) {
  fs::create_directories(path);
  mount_or_fail("sandbox", path.c_str(), "tmpfs", 0, options.empty() ? nullptr : options.c_str());
}

void sandbox::make_read_only(const std::string& path) {
  mount_or_fail(path.c_str(), path.c_str(), nullptr, MS_BIND, nullptr);
  if (mount(nullptr, path.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0)
    throw std::runtime_error("remount read-only " + path + ": " + strerror(errno));
}

std::optional<std::string> shared_data_dir() {
  std::error_code ec;
  if (fs::is_directory(VAREK_SHARED_DATA_DIR, ec))
    return fs::canonical(VAREK_SHARED_DATA_DIR).string();
  return std::nullopt;
}

}  // namespace harness
