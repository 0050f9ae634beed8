// Starting the programs under test and collecting what they write.
#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
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

#include "harness/sandbox.hpp"
#include "harness/wait.hpp"

extern char** environ;

namespace harness {
namespace {

namespace fs = std::filesystem;
using std::chrono::steady_clock;

// How long the outputs of a killed child are read on, how long a child has
// to start, and to end once asked to stop.
constexpr auto KILL_GRACE = std::chrono::seconds(1);
constexpr auto START_LIMIT = std::chrono::seconds(10);
constexpr auto STOP_LIMIT = std::chrono::seconds(20);

struct Pipe {
  int fd[2] = {-1, -1};
  Pipe() {
    if (pipe2(fd, O_CLOEXEC) != 0)
      throw std::runtime_error(std::string("pipe: ") + strerror(errno));
  }
  ~Pipe() { close_both(); }
  void close_end(int i) {
    if (fd[i] >= 0) close(fd[i]);
    fd[i] = -1;
  }
  void close_both() {
    close_end(0);
    close_end(1);
  }
};

std::vector<char*> c_strings(const std::vector<std::string>& v) {
  std::vector<char*> out;
  for (const auto& s : v) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

[[noreturn]] void exec_child(const std::vector<std::string>& argv, const RunOptions& o, Pipe& in,
                             Pipe& out, Pipe& err) {
  dup2(in.fd[0], 0);
  dup2(out.fd[1], 1);
  dup2(err.fd[1], 2);
  if (!o.cwd.empty() && chdir(o.cwd.c_str()) != 0) _exit(125);
  auto args = c_strings(argv);
  auto env = c_strings(o.env);
  signal(SIGPIPE, SIG_DFL);
  execve(args[0], args.data(), env.data());
  dprintf(2, "harness: cannot run %s: %s\n", args[0], strerror(errno));
  _exit(125);
}

// Feeds standard input and drains both outputs until they are closed (by the
// child and whatever it started) or the deadline passes; returns whether
// they were.
bool pump(Pipe& in, Pipe& out, Pipe& err, const std::string& input, RunResult& r,
          steady_clock::time_point deadline) {
  size_t written = 0;
  if (input.empty()) in.close_end(1);
  if (in.fd[1] >= 0) fcntl(in.fd[1], F_SETFL, O_NONBLOCK);
  while (out.fd[0] >= 0 || err.fd[0] >= 0) {
    pollfd p[3] = {{out.fd[0], POLLIN, 0}, {err.fd[0], POLLIN, 0}, {in.fd[1], POLLOUT, 0}};
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady_clock::now());
    if (left.count() <= 0) return false;
    if (poll(p, 3, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    Pipe* sources[2] = {&out, &err};
    std::string* sinks[2] = {&r.out, &r.err};
    for (int i = 0; i < 2; ++i) {
      if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[65536];
      ssize_t n = read(sources[i]->fd[0], buf, sizeof buf);
      if (n > 0)
        sinks[i]->append(buf, static_cast<size_t>(n));
      else if (n == 0 || errno != EINTR)
        sources[i]->close_end(0);
    }
    if (p[2].revents & (POLLOUT | POLLERR | POLLHUP)) {
      ssize_t n = write(in.fd[1], input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if (n < 0 && errno != EAGAIN && errno != EINTR)
        in.close_end(1);
      else if (written == input.size())
        in.close_end(1);
    }
  }
  return true;
}

// Waits for pid to end until the deadline, then kills it (and sets killed);
// returns its wait status.
int reap(pid_t pid, steady_clock::time_point deadline, bool& killed) {
  int status = 0;
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) return status;
    if (steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
  kill(pid, SIGKILL);
  killed = true;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// Waits up to the limit for fd to become readable; false when it did not.
bool readable_within(int fd, steady_clock::duration limit) {
  pollfd p{fd, POLLIN, 0};
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(limit).count();
  int n;
  while ((n = poll(&p, 1, static_cast<int>(ms))) < 0 && errno == EINTR) {
  }
  return n > 0;
}

// Whether process pid has each path open, by what its /proc/<pid>/fd links
// lead to.
bool holds_open(pid_t pid, const std::vector<std::string>& paths) {
  std::set<std::pair<dev_t, ino_t>> open_files;
  std::error_code ec;
  for (const auto& link : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    struct stat st;
    if (stat(link.path().c_str(), &st) == 0) open_files.insert({st.st_dev, st.st_ino});
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

}  // namespace

std::vector<std::string> current_environment() {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  return env;
}

RunResult run(const std::vector<std::string>& argv, const RunOptions& options) {
  RunResult r;
  Pipe in, out, err;
  auto old_sigpipe = signal(SIGPIPE, SIG_IGN);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error(std::string("fork: ") + strerror(errno));
  if (pid == 0) exec_child(wrapped(argv), options, in, out, err);
  in.close_end(0);
  out.close_end(1);
  err.close_end(1);
  auto deadline = steady_clock::now() + options.timeout;
  bool closed = pump(in, out, err, options.stdin_data, r, deadline);
  in.close_end(1);
  bool killed = false;
  int status = reap(pid, deadline, killed);
  signal(SIGPIPE, old_sigpipe);
  std::string limit = std::to_string(options.timeout.count()) + " ms";
  if (killed) {
    // What the child wrote before it died is still in the pipes.
    closed = pump(in, out, err, "", r, steady_clock::now() + KILL_GRACE);
    r.err += "\nharness: " + argv[0] + " still running after " + limit + ": killed\n";
  }
  if (!closed)
    r.err += "\nharness: " + argv[0] + "'s output still held open by another process after " +
             limit + ": not read further\n";
  if (WIFEXITED(status)) r.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
  return r;
}

// The child reports a failed exec through a pipe that a successful one closes.
Child::Child(const std::vector<std::string>& argv) {
  Pipe started;
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error(std::string("fork: ") + strerror(errno));
  if (pid_ == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    auto args = c_strings(argv);
    execvp(args[0], args.data());
    int error = errno;
    (void)!write(started.fd[1], &error, sizeof error);
    _exit(127);
  }
  started.close_end(1);
  int error = 0;
  if (!readable_within(started.fd[0], START_LIMIT))
    error = ETIMEDOUT;
  else if (read(started.fd[0], &error, sizeof error) <= 0)
    return;  // closed by exec: running
  stop(SIGKILL);
  throw std::runtime_error("cannot start " + argv[0] + ": " + strerror(error));
}

Child::~Child() {
  if (pid_ > 0) stop(SIGKILL);
}

int Child::stop(int sig) {
  if (pid_ <= 0) return -1;
  kill(pid_, sig);
  bool killed = false;
  int status = reap(pid_, steady_clock::now() + STOP_LIMIT, killed);
  if (killed)
    fprintf(stderr, "harness: process %d still running %lld s after signal %d: killed\n", pid_,
            static_cast<long long>(STOP_LIMIT.count()), sig);
  pid_ = -1;
  return status;
}

piped_child::piped_child(const std::vector<std::string>& argv, const options& o) {
  Pipe in;
  if (!o.backlog.empty()) {
    fcntl(in.fd[1], F_SETPIPE_SZ, static_cast<int>(o.backlog.size()));
    if (write(in.fd[1], o.backlog.data(), o.backlog.size()) !=
        static_cast<ssize_t>(o.backlog.size()))
      throw std::runtime_error("the backlog does not fit in the pipe");
  }
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error(std::string("fork: ") + strerror(errno));
  if (pid_ == 0) {
    int out = open(o.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = o.err == o.out ? out : open(o.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in.fd[0], 0);
    dup2(out, 1);
    dup2(err, 2);
    close_range(3, ~0u, 0);
    signal(SIGPIPE, SIG_DFL);
    if (o.in_child != nullptr && !o.in_child()) _exit(124);
    auto args = c_strings(argv);
    char* no_environment[] = {nullptr};
    execve(args[0], args.data(), no_environment);
    _exit(127);
  }
  input_ = in.fd[1];
  in.fd[1] = -1;
}

piped_child::~piped_child() {
  if (input_ >= 0) close(input_);
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

// SIGPIPE is held back on this thread while it writes: a program that has
// gone makes the write fail with EPIPE instead of ending the test.
bool piped_child::send(const std::string& text) {
  sigset_t pipe_signal, old_mask;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, &old_mask);
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(input_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  timespec no_wait = {0, 0};
  if (done < text.size()) sigtimedwait(&pipe_signal, nullptr, &no_wait);
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  return done == text.size();
}

int piped_child::finish(std::chrono::milliseconds limit, bool close_input) {
  if (close_input && input_ >= 0) {
    close(input_);
    input_ = -1;
  }
  int status = wait_for_exit(pid_, limit);
  if (status != -1) pid_ = -1;
  return status;
}

std::unique_ptr<Child> hold_open(const std::vector<std::string>& paths) {
  Pipe ready;
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error(std::string("fork: ") + strerror(errno));
  if (pid == 0) {
    // The descriptors are opened without O_CLOEXEC and kept for life.
    for (const auto& p : paths)
      if (open(p.c_str(), O_RDONLY | O_NONBLOCK) < 0) _exit(1);
    char ok = 'y';
    (void)!write(ready.fd[1], &ok, 1);
    for (;;) pause();
  }
  ready.close_end(1);
  auto child = std::make_unique<Child>(pid);
  char c = 0;
  if (!readable_within(ready.fd[0], START_LIMIT) || read(ready.fd[0], &c, 1) != 1)
    throw std::runtime_error("holder could not open its files");
  if (!holds_open(pid, paths))
    throw std::runtime_error("the files do not show in the holder's /proc/" + std::to_string(pid) +
                             "/fd");
  return child;
}

}  // namespace harness
