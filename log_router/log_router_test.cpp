#include "log_router/log_router.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "harness/diag_recorder.hpp"
#include "harness/files.hpp"
#include "harness/logroute_run.hpp"
#include "harness/routing_model.hpp"
#include "harness/wait.hpp"
#include "log_router/input_stream.hpp"

namespace {

using harness::logged_message;
using namespace std::chrono_literals;

// The resolver under test maps each key to a file of its own in a scratch
// directory, so that routing is checked apart from path resolution:
//   "" -> server-wide; "missing*" -> a path in a missing directory;
//   "full" -> /dev/full; "slow" sleeps (a hung file system) until a signal;
//   anything else -> "<vhost>.ssl" or "<vhost>.plain".
//   Host names too long for a file name share "long<length>".
std::string scratch_root;
int resolve_calls = 0;

std::string file_name_for(const std::string& vhost, bool ssl) {
  if (vhost.empty()) return "server-wide";
  std::string name = vhost.size() > 200 ? "long" + std::to_string(vhost.size()) : vhost;
  return name + (ssl ? ".ssl" : ".plain");
}

std::string path_for(const std::string& vhost, bool ssl) {
  if (vhost.rfind("missing", 0) == 0) return scratch_root + "/missing-dir/" + vhost;
  if (vhost == "full") return "/dev/full";
  return scratch_root + "/" + file_name_for(vhost, ssl);
}

char* scratch_resolver(const char* vhost, bool ssl) {
  ++resolve_calls;
  struct timespec hung = {60, 0};
  if (std::strcmp(vhost, "slow") == 0) nanosleep(&hung, nullptr);
  return strdup(path_for(vhost, ssl).c_str());
}

// The same rule for the routing model.
harness::routing_rules scratch_rules() { return {path_for, scratch_root + "/missing-dir/"}; }

// Allocation by operator new refused while set (see the replacement below);
// recording a message is exempt.
bool refuse_new = false;

logged_message lost(const std::string& what) { return {LOG_ERR, harness::LOST_LINES + what}; }

using file_map = std::map<std::string, std::string>;

// The router reading a pipe in a fork of the test, fed by the test in steps;
// its reports go to the console sink, on standard error.
struct piped_router : harness::logroute {
  explicit piped_router(const harness::temp_tree& streams)
      : logroute(route_standard_input, {.out = streams.path("out"), .err = streams.path("err")}) {}
  static int route_standard_input() {
    diag_log_write = diag_console_write;
    return log_router_run(STDIN_FILENO, nullptr, scratch_resolver);
  }
  // The reports written so far.
  std::vector<logged_message> reports() const {
    std::vector<logged_message> found;
    std::string text = err();
    for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
      found.push_back({LOG_ERR, text.substr(at, end - at)});
    return found;
  }
};

class Router : public ::testing::Test {
 protected:
  void SetUp() override {
    scratch_root = tree.root();
    resolve_calls = 0;
  }

  // Routes input read from a file (pieces of up to the buffer size).
  int route(const std::string& input, const char* extra_port = nullptr) {
    tree.write("input", input);
    int fd = open(tree.path("input").c_str(), O_RDONLY);
    int status = log_router_run(fd, extra_port, scratch_resolver);
    close(fd);
    std::filesystem::remove(tree.path("input"));
    return status;
  }

  // Routes input written to a pipe in pieces of the given sizes (cycled).
  int route_in_pieces(const std::string& input, const std::vector<std::size_t>& sizes) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    std::thread writer([&] {
      std::size_t at = 0;
      for (std::size_t i = 0; at < input.size(); ++i) {
        std::size_t n = std::min(sizes[i % sizes.size()], input.size() - at);
        EXPECT_EQ(write(fds[1], input.data() + at, n), static_cast<ssize_t>(n));
        at += n;
      }
      close(fds[1]);
    });
    int status = log_router_run(fds[0], nullptr, scratch_resolver);
    writer.join();
    close(fds[0]);
    return status;
  }

  // Feeds text to the router and waits until `done` holds.
  template <typename Condition>
  void feed_until(piped_router& router, const std::string& text, Condition done) {
    ASSERT_TRUE(router.send(text));
    ASSERT_TRUE(harness::wait_until(done, 10s)) << "after " << text;
  }

  // The log files by path, and their removal.
  file_map files() const { return harness::files_under({tree.root()}); }
  void remove_files() {
    for (const auto& [path, content] : files()) std::filesystem::remove(path);
  }

  harness::temp_tree tree;
  harness::temp_tree streams;  // a piped router's standard output and error
  harness::diag_recorder log;
};

struct routing_case {
  const char* what;
  std::string input;
  const char* extra_port;
  file_map expected;
};

}  // namespace

TEST_F(Router, RoutesEveryKindOfLine) {
  const routing_case cases[] = {
      {"ssl port",
       "a.example.com@@443@@GET / 200\n",
       nullptr,
       {{"a.example.com.ssl", "GET / 200\n"}}},
      {"plain port", "a.example.com@@80@@GET /\n", nullptr, {{"a.example.com.plain", "GET /\n"}}},
      {"extra ssl port",
       "a@@8443@@x\na@@443@@y\na@@80@@z\n",
       "8443",
       {{"a.ssl", "x\ny\n"}, {"a.plain", "z\n"}}},
      {"no extra port", "a@@8443@@x\n", nullptr, {{"a.plain", "x\n"}}},
      {"ports are exact texts",
       "a@@0443@@x\na@@443 @@y\na@@ 443@@z\n",
       nullptr,
       {{"a.plain", "x\ny\nz\n"}}},
      {"fewer than two separators",
       "none\na@@80@@x\none@@sep\na@@80 only\na@@80@@y\n",
       nullptr,
       {{"a.plain", "x\ny\n"}}},
      {"separators inside the log line",
       "a@@80@@GET /@@x@@ 200\n",
       nullptr,
       {{"a.plain", "GET /@@x@@ 200\n"}}},
      {"three at-signs",
       "a@@@80@@x\nb@@@@y\nc@@80@@@@\n",
       nullptr,
       {{"a.plain", "x\n"}, {"b.plain", "y\n"}, {"c.plain", "@@\n"}}},
      {"last line without newline", "a@@80@@x\na@@80@@tail", nullptr, {{"a.plain", "x\ntail"}}},
      {"empty log lines", "a@@80@@\nb@@80@@", nullptr, {{"a.plain", "\n"}, {"b.plain", ""}}},
      {"empty input", "", nullptr, {}},
      {"only blank lines", "\n\n\n", nullptr, {}},
      {"empty host name", "@@80@@x\n@@443@@y\n", nullptr, {{"server-wide", "x\ny\n"}}},
      {"host name with a NUL byte",
       std::string("a\0b@@80@@x\n", 11),
       nullptr,
       {{"server-wide", "x\n"}}},
      {"carriage return and binary bytes kept",
       std::string("a@@80@@x\r\0\xff\n", 12),
       nullptr,
       {{"a.plain", std::string("x\r\0\xff\n", 5)}}},
  };
  for (const routing_case& c : cases) {
    SCOPED_TRACE(c.what);
    remove_files();
    EXPECT_EQ(route(c.input, c.extra_port), 0);
    file_map expected;
    for (const auto& [name, content] : c.expected) expected[tree.path(name)] = content;
    EXPECT_EQ(files(), expected);
  }
  // Lines without tags: the first reported at once, the rest at the end.
  auto untagged = [](const char* count) {
    return lost(count + std::string(" lines without host@@port@@ tags skipped"));
  };
  std::vector<logged_message> reports = {untagged("1"), untagged("2"), untagged("1"),
                                         untagged("2")};
  EXPECT_EQ(log.messages(), reports);
}

TEST_F(Router, ResolvesOnEveryKeyChangeOnly) {
  const struct {
    const char* input;
    int resolutions;
  } cases[] = {
      {"A@@80@@1\nB@@80@@2\nA@@80@@3\nB@@80@@4\n", 4},
      {"A@@80@@1\nA@@80@@2\nA@@80@@3\n", 1},
      {"A@@80@@1\nA@@443@@2\nA@@80@@3\n", 3},
      {"A@@80@@1\nbroken line\nA@@80@@2\n", 1},
      // Two unknown hosts that share a file still count as two keys.
      {"@@80@@1\n@@443@@2\n", 2},
  };
  for (const auto& c : cases) {
    resolve_calls = 0;
    route(c.input);
    EXPECT_EQ(resolve_calls, c.resolutions) << c.input;
  }
  EXPECT_EQ(tree.read("A.plain"),
            "1\n3\n"
            "1\n2\n3\n"
            "1\n3\n"
            "1\n2\n");
}

TEST_F(Router, FailedOpenDropsLineReportsPathOnceAndRetries) {
  route("A@@80@@1\nmissing@@80@@2\nA@@80@@3\nmissing@@80@@4\nmissing@@80@@5\nA@@80@@6\n");
  EXPECT_EQ(tree.read("A.plain"), "1\n3\n6\n");
  EXPECT_EQ(resolve_calls, 6);  // a failed open leaves no key behind
  std::vector<logged_message> expected = {
      lost("cannot open " + scratch_root + "/missing-dir/missing: No such file or directory")};
  EXPECT_EQ(log.messages(), expected);
}

TEST_F(Router, EachFailingPathIsReportedOnce) {
  route("missing1@@80@@a\nmissing2@@80@@b\nmissing1@@80@@c\nmissing2@@80@@d\n");
  EXPECT_EQ(log.messages().size(), 2u);
}

TEST_F(Router, FailedWriteIsReportedOncePerPath) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  route("full@@80@@a\nfull@@80@@b\nA@@80@@c\nfull@@80@@d\n");
  std::vector<logged_message> expected = {lost("cannot write /dev/full: No space left on device")};
  EXPECT_EQ(log.messages(), expected);
  EXPECT_EQ(tree.read("A.plain"), "c\n");
}

// A path that fails, works and fails again within a minute is reported once.
TEST_F(Router, PathIsReportedAtMostOnceAMinute) {
  piped_router router(streams);
  std::string missing = "missing-dir/missing";
  feed_until(router, "missing@@80@@1\n", [&] { return router.reports().size() == 1; });
  tree.make_dirs("missing-dir");
  feed_until(router, "other@@80@@x\nmissing@@80@@2\n", [&] { return tree.read(missing) == "2\n"; });
  std::filesystem::remove_all(tree.path("missing-dir"));
  feed_until(router, "missing@@80@@3\nother@@80@@y\n",
             [&] { return tree.read("other.plain") == "x\ny\n"; });
  EXPECT_EQ(router.finish().exit_status, 0);
  EXPECT_EQ(router.reports().size(), 1u);
}

TEST_F(Router, LongLinesAreNeverCutOrSplit) {
  auto tagged = [](const std::string& vhost, const std::string& body) {
    return vhost + "@@80@@" + body + "\n";
  };
  std::string huge(1 << 20, 'h');
  std::string body4096(4096, 'b');
  // A host name that makes the tags end exactly at the limit, and one past.
  std::string at_limit(LOG_ROUTER_TAG_LIMIT - 6, 'L');
  std::string past_limit(LOG_ROUTER_TAG_LIMIT - 5, 'P');
  std::string untagged(5000, 'u');
  std::string input = tagged("a", huge) + tagged("a", body4096) + tagged(at_limit, "fits") +
                      tagged(past_limit, "dropped") + untagged + "x@@80@@fake\n" +
                      tagged("b", "after") + tagged("a", "");
  route(input);
  EXPECT_EQ(tree.read("a.plain"), huge + "\n" + body4096 + "\n" + "\n");
  EXPECT_EQ(tree.read(file_name_for(at_limit, false)), "fits\n");
  EXPECT_EQ(tree.read("b.plain"), "after\n");
  EXPECT_FALSE(tree.exists(file_name_for(past_limit, false)));
  EXPECT_FALSE(tree.exists("x.plain"));
}

namespace {

// "" when equal, else the first file whose content differs (kept short).
std::string first_difference(const file_map& actual, const file_map& expected) {
  for (const auto& [name, content] : expected) {
    auto found = actual.find(name);
    std::string shown = name.substr(scratch_root.size() + 1, 80);
    if (found == actual.end()) return "missing " + shown;
    if (found->second != content)
      return shown + ": " + std::to_string(found->second.size()) + " bytes, expected " +
             std::to_string(content.size());
  }
  if (actual.size() != expected.size()) return "unexpected files";
  return "";
}

std::string random_stream(std::mt19937& rng, int lines) {
  const char* hosts[] = {"a", "b", "c.example.com"};
  const char* ports[] = {"80", "443"};
  std::string input;
  for (int i = 0; i < lines; ++i) {
    std::size_t length = rng() % 4 == 0 ? rng() % 9000 : rng() % 200;
    std::string body(length, 'x');
    for (char& ch : body) ch = "abc@ \t"[rng() % 6];
    switch (rng() % 8) {
      case 0:
        input += body;
        break;  // no tags
      case 1:
        input += std::string(rng() % 4100, 'h') + "@@80@@";
        break;  // long host
      default:
        input += std::string(hosts[rng() % 3]) + "@@" + ports[rng() % 2] + "@@";
        break;
    }
    input += body + "\n";
  }
  return input;
}

}  // namespace

TEST_F(Router, AnySplitOfTheInputRoutesTheSame) {
  std::mt19937 rng(20261208);
  const std::vector<std::vector<std::size_t>> splits = {{1},    {7, 3, 11},     {4095}, {4096},
                                                        {4097}, {100, 5000, 1}, {65536}};
  for (const auto& sizes : splits) {
    remove_files();
    resolve_calls = 0;
    std::string input = random_stream(rng, sizes[0] == 1 ? 60 : 400);
    route_in_pieces(input, sizes);
    harness::routing_model model(input, scratch_rules());
    EXPECT_EQ(first_difference(files(), model.files), "") << "pieces of " << sizes[0];
    EXPECT_EQ(resolve_calls, static_cast<int>(model.resolved.size())) << "pieces of " << sizes[0];
  }
}

// Two stop signals with the writer still connected: the router routes what
// the pipe holds and returns instead of waiting for more.  A line cut short
// there is not written; when its start is in the file already (a line
// longer than the buffer), it is ended with a newline.  Either way it is
// reported as not routed.
TEST_F(Router, PromptStopDrainsPipeWithoutWaitingAndLeavesNoCutLine) {
  const std::string long_start = "a@@80@@" + std::string(LOG_ROUTER_BUFFER_SIZE + 100, 'x');
  const struct {
    std::string cut;       // the unfinished last line
    std::string in_file;   // what of it the file gets
    const char* reported;  // the report
  } cases[] = {
      {"a@@80@@cut", "", "1 lines (3 bytes)"},
      {long_start, std::string(LOG_ROUTER_BUFFER_SIZE, 'x') + "\n", "1 lines (100 bytes)"}};
  for (const auto& c : cases) {
    remove_files();
    auto routed_after_stop = [&] {
      ASSERT_EQ(input_stream_setup(), 0);
      int fds[2];
      ASSERT_EQ(pipe(fds), 0);
      fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
      std::string input, expected;
      for (int i = 0; i < 200; ++i) input += "a@@80@@line " + std::to_string(i) + "\n";
      expected = harness::routing_model(input, scratch_rules()).files[tree.path("a.plain")];
      input += c.cut;
      ASSERT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
      kill(getpid(), SIGTERM);  // a first one changes nothing
      kill(getpid(), SIGHUP);   // the prompt stop: the router only drains from then on
      int status = log_router_run(fds[0], nullptr, scratch_resolver);
      std::vector<logged_message> report = {
          lost(std::string(c.reported) + " not routed within 1000 ms of the stop signal")};
      bool right = tree.read("a.plain") == expected + c.in_file && log.messages() == report;
      std::exit(status == 0 && right ? 0 : 2);
    };
    EXPECT_EXIT(routed_after_stop(), ::testing::ExitedWithCode(0), "") << c.reported;
  }
}

// A key change that outlasts the drain's time (the resolver hangs until the
// alarm): the router stops there, writes nothing more, and says how many
// lines it leaves unrouted.
TEST_F(Router, DrainOutOfTimeStopsAndCountsTheLinesLeft) {
  auto stopped_in_time = [&] {
    ASSERT_EQ(input_stream_setup(), 0);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string input = "a@@80@@1\nslow@@80@@s\n";
    for (int i = 0; i < 100; ++i) input += "a@@80@@x\n";
    ASSERT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    kill(getpid(), SIGTERM);
    kill(getpid(), SIGTERM);
    log_router_run(fds[0], nullptr, scratch_resolver);
    std::vector<logged_message> expected = {
        lost("101 lines (902 bytes) not routed within 1000 ms of the stop signal")};
    std::exit(tree.read("a.plain") == "1\n" && log.messages() == expected ? 0 : 2);
  };
  EXPECT_EXIT(stopped_in_time(), ::testing::ExitedWithCode(0), "");
}

// A line reaches its file in one write once its newline is read, even when
// it arrives in pieces: until then nothing of it is written, so another
// logger appending to the same file can never come between its parts. An
// unfinished last line is still written at the end of input.
TEST_F(Router, UnfinishedLineWaitsForItsNewlineAndIsWrittenWhole) {
  piped_router router(streams);
  auto holds = [&](const std::string& content) {
    return [this, content] { return tree.read("A.plain") == content; };
  };
  feed_until(router, "A@@80@@first\nA@@80@@sec", holds("first\n"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(tree.read("A.plain"), "first\n");  // "sec" is held back
  ASSERT_TRUE(router.send("ond half"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(tree.read("A.plain"), "first\n");
  feed_until(router, "\nA@@80@@no newline", holds("first\nsecond half\n"));
  EXPECT_EQ(router.finish().exit_status, 0);
  EXPECT_EQ(tree.read("A.plain"), "first\nsecond half\nno newline");
}

// The open log file is removed (its directory with it): the lines that
// follow go to the file the key leads to now instead of into the removed
// file; when none can be opened, that is reported and the lines dropped.
TEST_F(Router, RemovedLogFileIsReopened) {
  piped_router router(streams);
  tree.make_dirs("missing-dir");
  std::string missing = "missing-dir/missing";
  feed_until(router, "A@@80@@1\n", [&] { return tree.read("A.plain") == "1\n"; });
  std::filesystem::remove(tree.path("A.plain"));
  feed_until(router, "A@@80@@2\n", [&] { return tree.read("A.plain") == "2\n"; });
  feed_until(router, "missing@@80@@m1\n", [&] { return tree.read(missing) == "m1\n"; });
  std::filesystem::remove_all(tree.path("missing-dir"));
  feed_until(router, "missing@@80@@lost\nA@@80@@3\n",
             [&] { return tree.read("A.plain") == "2\n3\n"; });
  EXPECT_EQ(router.finish().exit_status, 0);
  std::vector<logged_message> expected = {
      lost("cannot open " + scratch_root + "/missing-dir/missing: No such file or directory")};
  EXPECT_EQ(router.reports(), expected);
}

// A write that fails inside a line (the file size limit stands in for a
// full disk) takes back the part of the line already written: the file
// ends with whole lines only.
TEST_F(Router, FailedWriteLeavesOnlyWholeLines) {
  std::string input;
  for (int i = 0; i < 10; ++i) input += "A@@80@@line " + std::to_string(i) + " of thirty bytes..\n";
  tree.write("input", input);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {100, 100};
    setrlimit(RLIMIT_FSIZE, &limit);
    int fd = open(tree.path("input").c_str(), O_RDONLY);
    _exit(log_router_run(fd, nullptr, scratch_resolver));
  }
  int status = harness::reap_within(child, 30s);
  EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::string line = "line 0 of thirty bytes..\n";
  ASSERT_EQ(line.size(), 25u);
  std::string stored = tree.read("A.plain");
  EXPECT_EQ(stored,
            "line 0 of thirty bytes..\nline 1 of thirty bytes..\n"
            "line 2 of thirty bytes..\nline 3 of thirty bytes..\n");
}

// The replacement pairs operator new with malloc and operator delete with
// free, which the compiler cannot see across the two.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  bool refused = refuse_new && !harness::diag_recorder::recording();
  void* block = refused ? nullptr : std::malloc(size ? size : 1);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
#pragma GCC diagnostic pop

namespace {

// scratch_resolver without operator new: paths through asprintf only.
char* resolver_without_new(const char* vhost, bool) {
  char* path = nullptr;
  int n = std::strncmp(vhost, "missing", 7) == 0
              ? asprintf(&path, "%s/missing-dir/%s", scratch_root.c_str(), vhost)
              : asprintf(&path, "%s/%s.plain", scratch_root.c_str(), vhost);
  return n < 0 ? nullptr : path;
}

}  // namespace

// Key changes allocate nothing but the path; when memory for the record of
// a failing path cannot be had, the failure is reported all the same (and
// again at the next one) instead of ending the program.
TEST_F(Router, KeyChangesNeedNoMemoryForFailingPathRecords) {
  log_target target;
  log_target_init(&target, nullptr, resolver_without_new);
  ASSERT_FALSE(log_target_switch(&target, "missing1", 8, "80", 2));  // remembered
  refuse_new = true;
  bool opened[5];
  opened[0] = log_target_switch(&target, "A", 1, "80", 2);
  opened[1] = log_target_switch(&target, "missing1", 8, "80", 2);  // already reported
  opened[2] = log_target_switch(&target, "missing2", 8, "80", 2);  // cannot be remembered
  opened[3] = log_target_switch(&target, "missing2", 8, "80", 2);
  opened[4] = log_target_switch(&target, "A", 1, "80", 2);
  log_target_write(&target, "x\n", 2);
  refuse_new = false;
  log_target_close(&target);
  EXPECT_TRUE(opened[0]);
  EXPECT_FALSE(opened[1]);
  EXPECT_FALSE(opened[2]);
  EXPECT_FALSE(opened[3]);
  EXPECT_TRUE(opened[4]);
  EXPECT_EQ(tree.read("A.plain"), "x\n");
  auto missing = [&](const char* name) {
    return lost("cannot open " + scratch_root + "/missing-dir/" + name +
                ": No such file or directory");
  };
  std::vector<logged_message> expected = {missing("missing1"), missing("missing2"),
                                          missing("missing2")};
  EXPECT_EQ(log.messages(), expected);
}
