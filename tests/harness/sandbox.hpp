// End-to-end test harness: runs the built programs against their real fixed
// paths ("/etc/vrk/...", "/var/www/...", "/dev/log", "/proc") inside a private
// mount namespace, so the host's own files are never touched.
//
// Typical use in a test (with process.hpp and syslog_capture.hpp):
//
//   harness::sandbox box;                       // private /tmp, /etc, /var, /dev
//   if (!box.ok()) GTEST_SKIP() << box.why();    // not root, no namespaces, ...
//   box.write_file("/etc/vrk/vrk.conf", "HTTPD_VHOSTS_D /var/www/vhosts\n");
//   harness::syslog_capture syslog;             // binds /dev/log
//   auto r = harness::run({PHPGATE_PATH}, {.env = {"VK_CUSTOM_PHP_CGI_INDEX=x"}});
//   auto msgs = syslog.drain();
//
// The test process enters its own mount namespace on the first sandbox and
// stays there; each sandbox mounts fresh layers over /tmp, /etc, /var and
// /dev (with an empty /var/log, so the host's own logging never shows) and
// removes them again when it goes out of scope. The checkout, the build tree
// and the shared test data stay visible at their own paths wherever they are
// (under /tmp too): the sandbox mounts them back over its private layers.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace harness {

class sandbox {
 public:
  sandbox();
  ~sandbox();
  sandbox(const sandbox&) = delete;
  sandbox& operator=(const sandbox&) = delete;

  // False when the sandbox could not be built (not root, no user of mount
  // namespaces); why() says what failed. Tests skip in that case.
  bool ok() const { return why_.empty(); }
  const std::string& why() const { return why_; }

  // Creates the parent directories as needed (inside the sandbox only).
  void write_file(const std::string& path, const std::string& content, mode_t mode = 0644);
  std::string read_file(const std::string& path) const;
  bool exists(const std::string& path) const;
  void make_dirs(const std::string& path, mode_t mode = 0755);

  // Mounts a fresh tmpfs at path (created if missing); options as for
  // mount(8), e.g. "size=64k". Unmounted with the sandbox.
  void mount_tmpfs(const std::string& path, const std::string& options = "");
  // Bind-mounts path onto itself read-only. Unmounted with the sandbox.
  void make_read_only(const std::string& path);

 private:
  void mount_or_fail(const char* source, const char* target, const char* type, unsigned long flags,
                     const char* data);
  void build_dev();
  void bind_back(int fd, const std::string& path);

  std::string why_;
  std::vector<std::string> mounts_;  // in mounting order
};

// Directory of the shared test data (JSON corpus, ...), or nullopt when the
// checkout has none; tests that need it skip.
std::optional<std::string> shared_data_dir();

}  // namespace harness
