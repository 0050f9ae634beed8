// End-to-end test harness: runs the built programs against their real fixed
// paths ("/etc/vrk/...", "/var/www/...", "/dev/log", "/proc") inside a private
// mount namespace, so the host's own files are never touched.
//
// Typical use in a test:
//
//   harness::Sandbox box;                       // private /tmp, /etc, /var, /dev
//   if (!box.ok()) GTEST_SKIP() << box.why();    // not root, no namespaces, ...
//   box.write_file("/etc/vrk/vrk.conf", "HTTPD_VHOSTS_D /var/www/vhosts\n");
//   harness::SyslogCapture syslog;              // binds /dev/log
//   auto r = harness::run({PHPGATE_PATH}, {.env = {"VK_CUSTOM_PHP_CGI_INDEX=x"}});
//   auto msgs = syslog.drain();
//
// The test process enters its own mount namespace on the first Sandbox and
// stays there; each Sandbox mounts fresh layers over /tmp, /etc, /var and
// /dev (with an empty /var/log, so the host's own logging never shows) and
// removes them again when it goes out of scope. The checkout, the build tree
// and the shared test data stay visible at their own paths wherever they are
// (under /tmp too): the sandbox mounts them back over its private layers.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace harness {

class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

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

// One datagram received on /dev/log, as glibc's syslog formats it:
// "<PRI>Mmm dd hh:mm:ss IDENT[PID]: MESSAGE".
struct SyslogRecord {
  int priority = -1;  // facility | severity, as sent
  std::string ident;
  pid_t pid = 0;  // 0 when the sender did not ask for LOG_PID
  std::string message;
  std::string raw;  // the whole datagram
};

// Binds an AF_UNIX datagram socket at /dev/log (which must be inside a
// Sandbox) and reads back what programs send there.
class SyslogCapture {
 public:
  SyslogCapture();
  ~SyslogCapture();
  SyslogCapture(const SyslogCapture&) = delete;
  SyslogCapture& operator=(const SyslogCapture&) = delete;

  // Every datagram received so far, in arrival order; waits up to `wait`
  // for the first one if none is queued yet.
  std::vector<SyslogRecord> drain(std::chrono::milliseconds wait = std::chrono::milliseconds(0));

 private:
  int fd_ = -1;
};

SyslogRecord parse_syslog_datagram(const std::string& raw);

struct RunOptions {
  std::vector<std::string> env = {};  // the child's whole environment, "NAME=value"
  std::string stdin_data = {};        // written to the child's standard input, then closed
  std::string cwd = {};               // empty: inherit
  std::chrono::milliseconds timeout = std::chrono::seconds(60);
};

struct RunResult {
  int exit_status = -1;  // exit code, or -1 when killed by a signal
  int signal = 0;        // the terminating signal, or 0
  std::string out;
  std::string err;
};

// This process's environment as "NAME=value" texts, to extend for run().
std::vector<std::string> current_environment();

// Runs argv[0] (a path) with argv, env and stdin as given; collects both
// output streams. A child still running at the timeout is killed, and its
// error output ends with a line that says so; descendants that keep the
// streams open are waited for a second more.
RunResult run(const std::vector<std::string>& argv, const RunOptions& options = {});

// A running child that the test starts and stops, e.g. a process that holds
// a file open. The destructor kills and reaps it.
class Child {
 public:
  // Starts argv with the test's environment; returns once it is running
  // (its exec succeeded), throws when it cannot be started within 10 s.
  explicit Child(const std::vector<std::string>& argv);
  // Takes charge of a child that the caller forked.
  explicit Child(pid_t pid) : pid_(pid) {}
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  pid_t pid() const { return pid_; }
  // Sends sig and waits up to 20 s for the end, then kills it (and says so
  // on standard error); returns the wait status.
  int stop(int sig = 15);

 private:
  pid_t pid_ = -1;
};

// A program reading a pipe that the test writes to, started with an empty
// environment and no descriptors but its three standard ones. The
// destructor kills and reaps it.
class piped_child {
 public:
  struct options {
    std::string out = "/dev/null";  // standard output, made or emptied first
    std::string err = "/dev/null";  // standard error: the same file when the same path
    std::string backlog = {};       // in the pipe before the program starts
    bool (*in_child)() = nullptr;   // run just before exec; false ends the child with 124
  };
  piped_child(const std::vector<std::string>& argv, const options& o);
  ~piped_child();
  piped_child(const piped_child&) = delete;
  piped_child& operator=(const piped_child&) = delete;
  pid_t pid() const { return pid_; }
  // Writes the whole text; false when the program no longer reads.
  bool send(const std::string& text);
  // Ends the input (unless close_input is false) and waits up to `limit`
  // for the program to end; its wait status, or -1 while it still runs.
  int finish(std::chrono::milliseconds limit, bool close_input = true);

 private:
  pid_t pid_ = -1;
  int input_ = -1;
};

// Starts a process that opens each path (read-only) and sleeps until it is
// stopped; returns once all are open, verified through /proc/<pid>/fd
// (throws when they are not within 10 s).
std::unique_ptr<Child> hold_open(const std::vector<std::string>& paths);

// Directory of the shared test data (JSON corpus, ...), or nullopt when the
// checkout has none; tests that need it skip.
std::optional<std::string> shared_data_dir();

}  // namespace harness
