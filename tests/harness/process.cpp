// Starting the programs under test and collecting what they write.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "harness/sandbox.hpp"

extern char** environ;

namespace harness {
namespace {

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
  _exit(125);
}

// Feeds standard input and drains both outputs until the child closes them.
void pump(Pipe& in, Pipe& out, Pipe& err, const std::string& input, RunResult& r,
          std::chrono::steady_clock::time_point deadline, pid_t pid) {
  size_t written = 0;
  if (input.empty()) in.close_end(1);
  fcntl(in.fd[1], F_SETFL, O_NONBLOCK);
  while (out.fd[0] >= 0 || err.fd[0] >= 0) {
    pollfd p[3] = {{out.fd[0], POLLIN, 0}, {err.fd[0], POLLIN, 0}, {in.fd[1], POLLOUT, 0}};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      left = std::chrono::milliseconds(1000);
    }
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
  pump(in, out, err, options.stdin_data, r, std::chrono::steady_clock::now() + options.timeout,
       pid);
  in.close_end(1);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  signal(SIGPIPE, old_sigpipe);
  if (WIFEXITED(status)) r.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
  return r;
}

Child::Child(const std::vector<std::string>& argv) {
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error(std::string("fork: ") + strerror(errno));
  if (pid_ == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    auto args = c_strings(argv);
    execvp(args[0], args.data());
    _exit(127);
  }
}

Child::~Child() {
  if (pid_ > 0) stop(SIGKILL);
}

int Child::stop(int sig) {
  if (pid_ <= 0) return -1;
  kill(pid_, sig);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
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
  if (read(ready.fd[0], &c, 1) != 1) throw std::runtime_error("holder could not open its files");
  return child;
}

}  // namespace harness
