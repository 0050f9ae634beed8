// libFuzzer target for the log router's input handling.
//
// Input: one option byte, one chunking byte, then the byte stream that the
// web server would write (separators, NULs, long lines, no last newline:
// anything). The stream is read from a memory file; every read the router
// makes goes through __wrap_read (the target links with --wrap=read), which
// cuts it to a size drawn from the chunking byte, so lines and separators
// arrive split at any point.
//
// The resolver maps host names to a handful of files in a private directory
// (hosts that share a file interleave there), to a path whose directory
// does not exist (hosts starting with 'x': the open fails) and to /dev/full
// (hosts starting with 'y': every write fails). The routing model of
// tests/harness/routing_model.hpp, written apart from the router, says what
// each file must hold, which keys are resolved and which failures are
// reported (all of them at LOG_ERR). At the first reads, and at every power
// of two after, the files must hold every line read so far whole and
// nothing of the line still arriving (each line goes out in one write, and
// no ended line waits for more input); at the end they must hold exactly
// the model's output, and no descriptor is left open.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "harness/diag_recorder.hpp"
#include "harness/fuzz_check.hpp"
#include "harness/routing_model.hpp"
#include "log_router/log_router.hpp"

namespace {

std::string work_dir;      // private directory of the log files
std::string missing_path;  // a path whose directory does not exist
bool have_dev_full = false;
constexpr int FILES = 3;  // host name groups; times two for the SSL flag

// The resolver's rule, used by the resolver and by the model alike.
std::string path_for(const std::string& vhost, bool ssl) {
  if (!vhost.empty() && vhost[0] == 'x') return missing_path + (ssl ? "_ssl" : "");
  if (!vhost.empty() && vhost[0] == 'y' && have_dev_full) return "/dev/full";
  uint32_t hash = 2166136261u;
  for (unsigned char c : vhost) hash = (hash ^ c) * 16777619u;
  return work_dir + "/log" + std::to_string(hash % FILES) + (ssl ? "_ssl" : "");
}

std::vector<std::pair<std::string, bool>> resolved;  // the resolver's calls

char* resolve(const char* vhost, bool ssl) {
  resolved.emplace_back(vhost, ssl);
  return strdup(path_for(vhost, ssl).c_str());
}

harness::diag_recorder* recorder = nullptr;

// ---------------------------------------------------------------------------
// The run.

int input_file = -1;
struct run_state {
  const char* extra_ssl_port = nullptr;
  const char* stream = nullptr;
  size_t size = 0;
  size_t consumed = 0;  // stream bytes handed to the router so far
  size_t reads = 0;
  bool cut = false;  // reads are cut to sizes drawn from chunk_seed
  uint32_t chunk_seed = 0;
} run;

size_t next_chunk_limit() {
  run.chunk_seed = run.chunk_seed * 1103515245u + 12345u;
  const uint32_t r = run.chunk_seed >> 8;
  switch (r % 4) {
    case 0:
      return 1 + r / 4 % 3;  // a byte or three: separators split
    case 1:
      return 1 + r / 4 % 64;
    case 2:
      return 1 + r / 4 % 1024;
    default:
      return 1 + r / 4 % 8192;
  }
}

std::string read_file(const std::string& path, bool* exists) {
  std::string text;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  *exists = fd >= 0;
  if (fd < 0) return text;
  char buffer[8192];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  CHECK(n == 0);
  close(fd);
  return text;
}

// The files, the resolver's calls and the messages against the model of
// the bytes read so far.
void check_against_model(size_t stream_bytes, bool input_ended) {
  const harness::routing_model m(std::string(run.stream, stream_bytes),
                                 {path_for, missing_path, run.extra_ssl_port}, input_ended);
  CHECK(resolved == m.resolved);
  std::vector<std::string> logged, untagged;
  for (const harness::logged_message& message : recorder->messages()) {
    CHECK(message.priority == LOG_ERR);
    bool tags = message.text.find("tags skipped") != std::string::npos;
    (tags ? untagged : logged).push_back(message.text);
  }
  CHECK(logged == m.messages);
  CHECK(untagged == m.untagged_reports);
  for (int i = 0; i < FILES; ++i) {
    for (bool ssl : {false, true}) {
      const std::string path = work_dir + "/log" + std::to_string(i) + (ssl ? "_ssl" : "");
      bool exists = false;
      const std::string text = read_file(path, &exists);
      auto it = m.files.find(path);
      CHECK(exists == (it != m.files.end()));
      if (exists) CHECK(text == it->second);
    }
  }
}

void remove_logs() {
  for (int i = 0; i < FILES; ++i)
    for (const char* suffix : {"", "_ssl"})
      unlink((work_dir + "/log" + std::to_string(i) + suffix).c_str());
}

void remove_work_dir() {
  remove_logs();
  rmdir(work_dir.c_str());
}

}  // namespace

extern "C" ssize_t __real_read(int fd, void* buffer, size_t size);

extern "C" ssize_t __wrap_read(int fd, void* buffer, size_t size) {
  if (fd != input_file || run.stream == nullptr) return __real_read(fd, buffer, size);
  // Every line read so far is in its file, and none of the line still
  // arriving is. Checked at the first reads and then at every power of two,
  // to stay fast; only while the whole stream fits in the router's buffer,
  // since a line that fills the buffer goes out in parts.
  const size_t read_number = ++run.reads;
  if (run.size < LOG_ROUTER_BUFFER_SIZE &&
      (read_number < 8 || (read_number & (read_number - 1)) == 0))
    check_against_model(run.consumed, false);
  if (run.cut) size = std::min(size, next_chunk_limit());
  const ssize_t n = __real_read(fd, buffer, size);
  if (n > 0) run.consumed += static_cast<size_t>(n);
  return n;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char dir[] = "/dev/shm/log_router_fuzz.XXXXXX";
  char fallback[] = "/tmp/log_router_fuzz.XXXXXX";
  const char* made = mkdtemp(dir);
  if (made == nullptr) made = mkdtemp(fallback);
  CHECK(made != nullptr);
  work_dir = made;
  missing_path = work_dir + "/missing/access_log";
  std::atexit(remove_work_dir);
  have_dev_full = access("/dev/full", W_OK) == 0;
  input_file = memfd_create("log_router_fuzz", 0);
  CHECK(input_file >= 0);
  recorder = new harness::diag_recorder;  // for the whole run
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  static const char* const extra_ports[] = {nullptr, "8443", "80", ""};
  run = run_state{};
  run.extra_ssl_port = extra_ports[data[0] % 4];
  run.cut = data[1] != 0;
  run.chunk_seed = data[1];
  run.stream = reinterpret_cast<const char*>(data + 2);
  const size_t stream_size = run.size = size - 2;

  CHECK(ftruncate(input_file, 0) == 0);
  CHECK(pwrite(input_file, run.stream, stream_size, 0) == static_cast<ssize_t>(stream_size));
  CHECK(lseek(input_file, 0, SEEK_SET) == 0);
  resolved.clear();
  recorder->clear();

  const int probe = dup(input_file);  // the lowest free descriptor
  close(probe);
  CHECK(log_router_run(input_file, run.extra_ssl_port, resolve) == 0);
  CHECK(run.consumed == stream_size);
  check_against_model(stream_size, true);
  const int after = dup(input_file);
  close(after);
  CHECK(after == probe);

  run.stream = nullptr;
  remove_logs();
  return 0;
}
