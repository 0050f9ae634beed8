// Starting children, feeding their input and collecting what they write:
// one loop (child::pump) serves every wait.
#include "harness/process.hpp"

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>

#include "harness/wait.hpp"

extern char** environ;

namespace harness {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

// How long the output of a killed child is read on, how long a child has
// to start, and to end once stopped.
constexpr auto KILL_GRACE = std::chrono::seconds(1);
constexpr auto START_LIMIT = std::chrono::seconds(10);
constexpr auto STOP_LIMIT = std::chrono::seconds(20);
constexpr size_t DEFAULT_PIPE_SIZE = 65536;

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + strerror(errno));
}

struct pipe_pair {
  int read = -1, write = -1;
  pipe_pair() {
    int fd[2];
    if (pipe2(fd, O_CLOEXEC) != 0) fail("pipe");
    read = fd[0];
    write = fd[1];
  }
  ~pipe_pair() { close_both(); }
  void close_both() {
    close_fd(read);
    close_fd(write);
  }
  static void close_fd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  int take_read() { return std::exchange(read, -1); }
  int take_write() { return std::exchange(write, -1); }
};

std::vector<char*> c_strings(const std::vector<std::string>& v) {
  std::vector<char*> out;
  for (const auto& s : v) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

// In the child: fd becomes the standard descriptor target, from a pipe or
// from the file at path.
void redirect(int target, const pipe_pair& from, const std::string& path, int reuse = -1) {
  int fd = reuse >= 0     ? reuse
           : path.empty() ? (target == 0 ? from.read : from.write)
                          : open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || dup2(fd, target) < 0) _exit(125);
}

// Waits up to the limit for fd to become readable; false when it did not.
bool readable_within(int fd, steady_clock::duration limit) {
  pollfd p{fd, POLLIN, 0};
  auto ms = std::chrono::duration_cast<milliseconds>(limit).count();
  int n;
  while ((n = poll(&p, 1, static_cast<int>(ms))) < 0 && errno == EINTR) {
  }
  return n > 0;
}

// Whether process pid has each path open, by what the /proc/<pid>/task/<tid>/fd
// links of its threads lead to.
bool holds_open(pid_t pid, const std::vector<std::string>& paths) {
  std::set<std::pair<dev_t, ino_t>> open_files;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    for (const auto& link : fs::directory_iterator(task.path() / "fd", ec)) {
      struct stat st;
      if (stat(link.path().c_str(), &st) == 0) open_files.insert({st.st_dev, st.st_ino});
    }
  }
  for (const auto& path : paths) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !open_files.count({st.st_dev, st.st_ino})) return false;
  }
  return true;
}

// VAREK_E2E_WRAPPER (e.g. "valgrind --error-exitcode=99 -q") is put in
// front of every program of this build that a test runs, so whole
// end-to-end suites can run under a checker unchanged.
std::vector<std::string> wrapped(const std::vector<std::string>& argv) {
  const char* wrapper = getenv("VAREK_E2E_WRAPPER");
  const std::string build_dir = VAREK_BUILD_DIR "/";
  if (wrapper == nullptr || *wrapper == '\0' || argv.empty() || argv[0].rfind(build_dir, 0) != 0)
    return argv;
  std::vector<std::string> out;
  std::string word;
  for (const char* p = wrapper;; ++p) {
    if (*p == ' ' || *p == '\0') {
      if (!word.empty()) out.push_back(word);
      word.clear();
      if (*p == '\0') break;
    } else {
      word += *p;
    }
  }
  out.insert(out.end(), argv.begin(), argv.end());
  return out;
}

// SIGPIPE is held back on the calling thread while it lives: a child that
// has gone makes a write fail with EPIPE instead of ending the test.
class sigpipe_held {
 public:
  sigpipe_held() {
    sigemptyset(&pipe_signal_);
    sigaddset(&pipe_signal_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal_, &old_mask_);
  }
  ~sigpipe_held() {
    timespec no_wait = {0, 0};
    while (sigtimedwait(&pipe_signal_, nullptr, &no_wait) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
  }

 private:
  sigset_t pipe_signal_, old_mask_;
};

}  // namespace

std::vector<std::string> current_environment() {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  return env;
}

child::child(const std::vector<std::string>& argv, const run_options& options)
    : options_(options), name_(argv.at(0)) {
  start(&argv, nullptr);
}

child::child(const std::function<int()>& body, const run_options& options)
    : options_(options), name_("the child") {
  start(nullptr, &body);
}

// A program's child reports a failed exec through a pipe that a successful
// one closes.
void child::start(const std::vector<std::string>* argv, const std::function<int()>* body) {
  pipe_pair in, out, err, started;
  const std::string& input = options_.input;
  if (input.size() > DEFAULT_PIPE_SIZE)
    fcntl(in.write, F_SETPIPE_SZ, static_cast<int>(input.size()));
  fcntl(in.write, F_SETFL, O_NONBLOCK);
  ssize_t n = input.empty() ? 0 : write(in.write, input.data(), input.size());
  pending_ = input.substr(n > 0 ? static_cast<size_t>(n) : 0);
  std::fflush(nullptr);
  pid_ = fork();
  if (pid_ < 0) fail("fork");
  if (pid_ == 0) {
    redirect(0, in, "");
    redirect(1, out, options_.out);
    redirect(2, err, options_.err, options_.err == options_.out && !options_.out.empty() ? 1 : -1);
    for (pipe_pair* p : {&in, &out, &err}) p->close_both();
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    if (!options_.cwd.empty() && chdir(options_.cwd.c_str()) != 0) _exit(125);
    if (options_.in_child && !options_.in_child()) _exit(124);
    if (body != nullptr) {
      close(started.write);
      int code = (*body)();
      std::fflush(nullptr);
      _exit(code);
    }
    close_range(3, ~0u, CLOSE_RANGE_CLOEXEC);
    auto args = c_strings(*argv);
    auto env = c_strings(options_.env);
    execvpe(args[0], args.data(), env.data());
    int error = errno;
    (void)!write(started.write, &error, sizeof error);
    _exit(127);
  }
  input_ = in.take_write();
  if (options_.out.empty()) out_ = out.take_read();
  if (options_.err.empty()) err_ = err.take_read();
  pipe_pair::close_fd(started.write);
  int error = 0;
  if (!readable_within(started.read, START_LIMIT))
    error = ETIMEDOUT;
  else if (read(started.read, &error, sizeof error) <= 0)
    return;  // closed by exec, or by the fork that runs body: running
  errno = error;
  fail("cannot start " + name_);
}

child::~child() {
  for (int fd : {input_, out_, err_})
    if (fd >= 0) close(fd);
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

// Writes the pending input and reads the output until the input is written
// (and, when until_closed, the output is closed by the child and whatever
// it started) or the deadline passes; returns whether that was reached.
bool child::pump(steady_clock::time_point deadline, bool until_closed) {
  sigpipe_held held;
  for (;;) {
    bool writing = input_ >= 0 && !pending_.empty();
    if (!writing && !(until_closed && (out_ >= 0 || err_ >= 0))) return true;
    auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p[3] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}, {writing ? input_ : -1, POLLOUT, 0}};
    if (poll(p, 3, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
    int* sources[2] = {&out_, &err_};
    std::string* sinks[2] = {&result_.out, &result_.err};
    for (int i = 0; i < 2; ++i) {
      if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[65536];
      ssize_t n = read(*sources[i], buf, sizeof buf);
      if (n > 0)
        sinks[i]->append(buf, static_cast<size_t>(n));
      else if (n == 0 || errno != EINTR)
        pipe_pair::close_fd(*sources[i]);
    }
    if (p[2].revents & (POLLOUT | POLLERR | POLLHUP)) {
      ssize_t n = write(input_, pending_.data(), pending_.size());
      if (n > 0) pending_.erase(0, static_cast<size_t>(n));
      if (n < 0 && errno != EAGAIN && errno != EINTR) {  // no longer read
        pipe_pair::close_fd(input_);
        pending_.clear();
        return false;
      }
    }
  }
}

bool child::send(const std::string& text) {
  if (input_ < 0) return false;
  pending_ += text;
  return pump(steady_clock::now() + options_.timeout, false) && pending_.empty();
}

run_result child::finish(milliseconds limit, bool close_input) {
  if (pid_ <= 0) return {};
  auto deadline = steady_clock::now() + limit;
  pump(deadline, false);
  if (close_input) pipe_pair::close_fd(input_);
  bool closed = pump(deadline, true);
  int status =
      reap_within(pid_, std::chrono::duration_cast<milliseconds>(std::max(
                            deadline - steady_clock::now(), steady_clock::duration::zero())));
  bool killed = status == -1;
  pid_ = -1;
  std::string limit_text = std::to_string(limit.count()) + " ms";
  if (killed) {
    // What the child wrote before it died is still in the pipes.
    closed = pump(steady_clock::now() + KILL_GRACE, true);
    result_.err += "\nharness: " + name_ + " still running after " + limit_text + ": killed\n";
    result_.signal = SIGKILL;
  }
  if (!closed)
    result_.err += "\nharness: " + name_ + "'s output still held open by another process after " +
                   limit_text + ": not read further\n";
  if (!killed && WIFEXITED(status)) result_.exit_status = WEXITSTATUS(status);
  if (!killed && WIFSIGNALED(status)) result_.signal = WTERMSIG(status);
  return std::move(result_);
}

run_result child::stop(int sig) {
  if (pid_ <= 0) return {};
  kill(pid_, sig);
  return finish(STOP_LIMIT);
}

run_result run(const std::vector<std::string>& argv, const run_options& options) {
  return child(wrapped(argv), options).finish(options.timeout);
}

run_result run(const std::function<int()>& body, const run_options& options) {
  return child(body, options).finish(options.timeout);
}

void* sleep_for_ever(void*) {
  for (;;) pause();
}

// Whether another process holds an flock or a record lock on path.
bool locked(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct flock record = {};
  record.l_type = F_WRLCK;
  bool held = fd >= 0 && ((flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) ||
                          (fcntl(fd, F_OFD_GETLK, &record) == 0 && record.l_type != F_UNLCK));
  if (fd >= 0) close(fd);
  return held;
}

bool take_lock(int fd, held_lock lock) {
  struct flock record = {};
  record.l_type = F_RDLCK;
  if (lock == held_lock::flock) return flock(fd, LOCK_EX) == 0;
  return lock == held_lock::none || fcntl(fd, F_SETLK, &record) == 0;
}

std::unique_ptr<child> hold_open(const std::vector<std::string>& paths, const hold_options& how) {
  auto holder = std::make_unique<child>([&paths, &how] {
    // The descriptors are opened without O_CLOEXEC and kept for life.
    if (!how.first.empty() && open(how.first.c_str(), O_PATH) < 0) return 1;
    for (const auto& p : paths) {
      int fd = open(p.c_str(), O_RDONLY | O_NONBLOCK);
      if (fd < 0 || !take_lock(fd, how.lock)) return 1;
    }
    // Dumpable again, as after an exec: its /proc/<pid> belongs to that user.
    if (how.uid != 0 &&
        (setresgid(how.uid, how.uid, how.uid) != 0 || setresuid(how.uid, how.uid, how.uid) != 0 ||
         prctl(PR_SET_DUMPABLE, 1) != 0))
      return 1;
    // The main thread ends as pthread_exit ends it, without the unwinding
    // that the test's own frames would stop.
    pthread_t thread;
    if (how.leader_exits && pthread_create(&thread, nullptr, sleep_for_ever, nullptr) == 0)
      syscall(SYS_exit, 0);
    for (;;) pause();
  });
  const std::string fd_dir = "/proc/" + std::to_string(holder->pid()) + "/fd";
  auto ready = [&] {
    std::error_code ec;
    return holds_open(holder->pid(), paths) &&
           (how.lock == held_lock::none || std::all_of(paths.begin(), paths.end(), locked)) &&
           (!how.leader_exits || fs::is_empty(fd_dir, ec));
  };
  if (!wait_until(ready, START_LIMIT))
    throw std::runtime_error("the files do not show in the holder's /proc/" +
                             std::to_string(holder->pid()) + "/fd");
  return holder;
}

}  // namespace harness
