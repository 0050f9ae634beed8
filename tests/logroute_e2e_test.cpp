// End-to-end tests of the built logroute against its real fixed paths
// ("/etc/vrk/vrk.conf", "/var/www/vhosts", "/var/log/apache2"), inside the
// harness's private mount namespace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "harness/files.hpp"
#include "harness/fixed_paths.hpp"
#include "harness/logroute_run.hpp"
#include "harness/process.hpp"
#include "harness/sandbox.hpp"
#include "harness/wait.hpp"

namespace {

namespace fs = std::filesystem;
using harness::domain_log;
using harness::DOMAINS_DIR;
using harness::SERVER_LOG;
using namespace std::chrono_literals;

harness::run_result logroute(const std::string& input, const std::vector<std::string>& args = {}) {
  return harness::run_logroute(LOGROUTE_PATH, input, args);
}

harness::run_result check(std::vector<std::string> args) {
  args.insert(args.begin(), LOGROUTE_CHECK_PATH);
  return harness::run(args);
}

// The file logroute-check names for a host and port, from its first line.
std::string checked_file(const std::vector<std::string>& args) {
  std::string out = check(args).out;
  return out.substr(0, out.find('\n'));
}

// A sandbox with example.com (with logs), nolog.example.com (without) and
// the web server's log directory.
class Logroute : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!box.ok()) GTEST_SKIP() << box.why();
    box.make_dirs(DOMAINS_DIR + "/example.com/logs");
    box.make_dirs(DOMAINS_DIR + "/nolog.example.com");
    box.make_dirs("/var/log/apache2");
    before_ = all_files();
  }
  // Files under /var/www and /var/log written since the start of the test.
  std::map<std::string, std::string> routed() const {
    std::map<std::string, std::string> changed;
    for (const auto& [path, content] : all_files()) {
      auto old = before_.find(path);
      if (old == before_.end() || old->second != content) changed[path] = content;
    }
    return changed;
  }
  harness::sandbox box;

 private:
  std::map<std::string, std::string> all_files() const {
    return harness::files_under({"/var/www", "/var/log", "/var/lib/vhosts"});
  }
  std::map<std::string, std::string> before_;
};

const std::string EVERY_KIND_OF_LINE =
    "a.example.com@@443@@ssl line\n"
    "example.com@@80@@plain line\n"
    "shop.example.com@@8443@@extra ssl port\n"
    "example.com@@0443@@not ssl: leading zero\n"
    "nolog.example.com@@443@@domain without logs\n"
    "unknown.test@@443@@unknown host\n"
    "@@80@@empty host\n"
    "no separators at all\n"
    "example.com@@80 one separator\n"
    "example.com@@80@@GET /a@@b HTTP/1.1\n"
    "example.com@@80@@last line without newline";

}  // namespace

TEST_F(Logroute, RoutesEveryKindOfLineWithDefaults) {
  auto r = logroute(EVERY_KIND_OF_LINE, {"8443"});
  EXPECT_EQ(r.exit_status, 0);
  // A missing configuration file is retried at every key change, silently.
  // Lines without tags are reported: the first at once, the rest at the end.
  std::string untagged = harness::lost_untagged(1) + "\n";
  EXPECT_EQ(r.out, untagged + untagged);
  EXPECT_EQ(r.err, untagged + untagged);
  std::map<std::string, std::string> expected = {
      {domain_log("example.com", true), "ssl line\nextra ssl port\n"},
      {domain_log("example.com"),
       "plain line\nnot ssl: leading zero\nGET /a@@b HTTP/1.1\nlast line without newline"},
      {SERVER_LOG, "domain without logs\nunknown host\nempty host\n"},
  };
  EXPECT_EQ(routed(), expected);
}

TEST_F(Logroute, TakesDirectoriesFromPanelConfiguration) {
  box.write_file("/etc/vrk/vrk.conf",
                 "# panel settings\r\n"
                 "HTTPD_VHOSTS_D\t/var/lib/vhosts   # moved\r\n"
                 "  HTTPD_LOG_D /var/log/httpd\n"
                 "BROKEN=line\n");
  box.make_dirs("/var/lib/vhosts/system/example.com/logs");
  box.make_dirs("/var/log/httpd");
  auto r = logroute(EVERY_KIND_OF_LINE);
  EXPECT_EQ(r.exit_status, 0);
  auto settings = check({});
  EXPECT_EQ(settings.out,
            "HTTPD_VHOSTS_D /var/lib/vhosts\t# /etc/vrk/vrk.conf\n"
            "HTTPD_LOG_D /var/log/httpd\t# /etc/vrk/vrk.conf\n");
  EXPECT_EQ(settings.err,
            "Invalid variable definition BROKEN=line\n\nExpected a space after variable name\n");
  // nolog.example.com has no directory of its own in this tree.
  std::map<std::string, std::string> expected = {
      {"/var/lib/vhosts/system/example.com/logs/access_ssl_log", "ssl line\ndomain without logs\n"},
      {"/var/lib/vhosts/system/example.com/logs/access_log",
       "plain line\nextra ssl port\nnot ssl: leading zero\nGET /a@@b HTTP/1.1\n"
       "last line without newline"},
      {"/var/log/httpd/access_log", "unknown host\nempty host\n"},
  };
  EXPECT_EQ(routed(), expected);
}

TEST_F(Logroute, SslPortsAreFourFourThreeAndTheArgument) {
  const struct {
    std::vector<std::string> args;
    const char* port;
    bool ssl;
  } cases[] = {
      {{}, "443", true},
      {{}, "8443", false},
      {{}, "80", false},
      {{"8443"}, "8443", true},
      {{"8443"}, "443", true},
      {{"8443"}, "80", false},
      {{"8443", "80"}, "80", false},  // further arguments are ignored
      {{}, " 443", false},
      {{}, "443 ", false},
      {{}, "", false},
  };
  for (const auto& c : cases) {
    fs::remove_all(DOMAINS_DIR + "/example.com/logs");
    box.make_dirs(DOMAINS_DIR + "/example.com/logs");
    std::vector<std::string> check_args = {"example.com", c.port};
    check_args.insert(check_args.end(), c.args.begin(), c.args.end());
    std::string checked = checked_file(check_args);
    auto r = logroute(std::string("example.com@@") + c.port + "@@line\n", c.args);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(box.read_file(domain_log("example.com", c.ssl)), "line\n")
        << "port \"" << c.port << "\" with " << c.args.size() << " argument(s)";
    EXPECT_FALSE(box.exists(domain_log("example.com", !c.ssl)));
    if (c.args.size() < 2) {
      EXPECT_EQ(checked, domain_log("example.com", c.ssl)) << "port \"" << c.port << "\"";
    }
  }
}

TEST_F(Logroute, ParentDomainsAndFallback) {
  box.make_dirs(DOMAINS_DIR + "/shop.example.org");  // a domain without logs
  box.make_dirs(DOMAINS_DIR + "/example.org/logs");
  const struct {
    const char* vhost;
    std::string log;
  } cases[] = {
      {"a.b.example.com", domain_log("example.com")},
      {".example.com", domain_log("example.com")},
      {"x.shop.example.org", SERVER_LOG},  // first existing domain decides
      {"example.", SERVER_LOG},
      {"com", SERVER_LOG},
      {"EXAMPLE.COM", SERVER_LOG},
  };
  for (const auto& c : cases) {
    for (const auto& [path, content] : routed()) fs::remove(path);
    auto checked = check({c.vhost});  // creates nothing
    EXPECT_EQ(checked.out.substr(0, checked.out.find('\n')), c.log) << c.vhost;
    EXPECT_NE(checked.out.find("file: missing, the first line creates it\n"), std::string::npos);
    EXPECT_TRUE(routed().empty()) << c.vhost;
    logroute(std::string(c.vhost) + "@@80@@x\n");
    std::map<std::string, std::string> expected = {{c.log, "x\n"}};
    EXPECT_EQ(routed(), expected) << c.vhost;
  }
}

namespace {

// Counts how often files in a directory were opened for writing and closed
// again, through inotify: shows how often logroute opened a log.
class write_sessions {
 public:
  explicit write_sessions(const std::string& dir) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    // Opens are watched too so that successive closes are never merged.
    inotify_add_watch(fd_, dir.c_str(), IN_OPEN | IN_CLOSE_WRITE);
  }
  ~write_sessions() { close(fd_); }
  // Closes after writing, per file name, since the start.
  std::map<std::string, int> count() {
    alignas(inotify_event) char buffer[4096];
    ssize_t n;
    while ((n = read(fd_, buffer, sizeof buffer)) > 0) {
      for (char* p = buffer; p < buffer + n;) {
        auto* event = reinterpret_cast<inotify_event*>(p);
        if (event->len > 0 && (event->mask & IN_CLOSE_WRITE)) ++counts_[event->name];
        p += sizeof(inotify_event) + event->len;
      }
    }
    return counts_;
  }

 private:
  int fd_;
  std::map<std::string, int> counts_;
};

}  // namespace

TEST_F(Logroute, ReopensOnEveryKeyChangeAndKeepsFileOpenOtherwise) {
  const struct {
    const char* input;
    int opens;
    const char* content;
  } cases[] = {
      {"example.com@@80@@1\nb.example.com@@80@@2\nexample.com@@80@@3\nb.example.com@@80@@4\n", 4,
       "1\n2\n3\n4\n"},
      {"example.com@@80@@1\nexample.com@@80@@2\nexample.com@@80@@3\n", 1, "1\n2\n3\n"},
      {"example.com@@80@@1\nbroken\nexample.com@@80@@2\n", 1, "1\n2\n"},
      // Same vhost, other port: a key change even though the file is the same.
      {"example.com@@80@@1\nexample.com@@81@@2\n", 2, "1\n2\n"},
  };
  for (const auto& c : cases) {
    fs::remove(domain_log("example.com"));
    write_sessions sessions(DOMAINS_DIR + "/example.com/logs");
    auto r = logroute(c.input);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(box.read_file(domain_log("example.com")), c.content) << c.input;
    std::map<std::string, int> expected = {{"access_log", c.opens}};
    EXPECT_EQ(sessions.count(), expected) << c.input;
  }
}

namespace {

// A symbolic link at path, owned by `owner` (the link itself).
void make_link(const std::string& target, const std::string& path, uid_t owner) {
  std::filesystem::create_directories(fs::path(path).parent_path());
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
  ASSERT_EQ(lchown(path.c_str(), owner, owner), 0) << path;
}

}  // namespace

// What a site owner may plant at a domain's log, and what the lines of the
// other hosts must not notice: a failed or refused open, reported once.
TEST_F(Logroute, FailedOpenDropsLinesReportsOnceAndRetries) {
  const uid_t SITE_OWNER = 1000;
  box.make_dirs(domain_log("dir.test"));  // the log file is a directory
  box.make_dirs(DOMAINS_DIR + "/ro.test/logs");
  box.make_read_only(DOMAINS_DIR + "/ro.test/logs");
  box.make_dirs(DOMAINS_DIR + "/fifo.test/logs");
  ASSERT_EQ(mkfifo(domain_log("fifo.test").c_str(), 0666), 0);  // no reader: open would wait
  box.make_dirs(DOMAINS_DIR + "/reader.test/logs");
  ASSERT_EQ(mkfifo(domain_log("reader.test").c_str(), 0666), 0);
  int reader = open(domain_log("reader.test").c_str(), O_RDONLY | O_NONBLOCK);
  box.write_file("/etc/secret", "root's\n");
  make_link("/etc/secret", domain_log("link.test"), SITE_OWNER);
  make_link("/etc", DOMAINS_DIR + "/linkdir.test/logs", SITE_OWNER);
  // Root's links into a directory the site owner writes, who plants a link
  // there; and a loop of root's links.
  make_link("/etc/secret", "/var/www/owned/access_log", SITE_OWNER);
  make_link("/var/www/owned/access_log", domain_log("chain.test"), 0);
  make_link("/var/www/owned", DOMAINS_DIR + "/chaindir.test/logs", 0);
  make_link("access_log", domain_log("loop.test"), 0);
  const struct {
    const char* domain;
    const char* error;
  } cases[] = {{"dir.test", "Is a directory"},
               {"ro.test", "Read-only file system"},
               {"fifo.test", "not a regular file or character device"},
               {"reader.test", "not a regular file or character device"},
               {"link.test", "symbolic link not owned by root"},
               {"linkdir.test", "symbolic link not owned by root"},
               {"chain.test", "symbolic link not owned by root"},
               {"chaindir.test", "symbolic link not owned by root"},
               {"loop.test", "Too many levels of symbolic links"}};
  for (const auto& c : cases) {
    fs::remove(domain_log("example.com"));
    std::string b = std::string(c.domain) + "@@80@@";
    auto r = logroute("example.com@@80@@1\n" + b + "lost\nexample.com@@80@@2\n" + b + "lost\n" + b +
                      "lost\nexample.com@@80@@3\n");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(box.read_file(domain_log("example.com")), "1\n2\n3\n");
    std::string report = harness::lost_at("open", domain_log(c.domain), c.error) + "\n";
    EXPECT_EQ(r.err, report);
    EXPECT_EQ(r.out, report);
    auto checked = check({c.domain});
    EXPECT_EQ(checked.exit_status, 1) << c.domain;
    EXPECT_NE(checked.out.find("\nfile: " + report), std::string::npos) << checked.out;
  }
  char byte;
  EXPECT_LE(read(reader, &byte, 1), 0);
  close(reader);
  EXPECT_EQ(box.read_file("/etc/secret"), "root's\n");
  EXPECT_FALSE(box.exists("/etc/access_log"));

  // Root's links are followed: a domain silenced through /dev/null, a logs
  // directory kept elsewhere.
  make_link("/dev/null", domain_log("null.test"), 0);
  make_link("/var/log/kept", DOMAINS_DIR + "/kept.test/logs", 0);
  box.make_dirs("/var/log/kept");
  EXPECT_EQ(check({"kept.test"}).exit_status, 0);
  auto r = logroute("null.test@@80@@gone\nkept.test@@80@@kept\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(box.read_file("/var/log/kept/access_log"), "kept\n");
  auto appended = check({"null.test"});
  EXPECT_EQ(appended.out.substr(appended.out.rfind("file: ")),
            "file: there, lines are appended to it\n");
}

TEST_F(Logroute, CreatesLogsWithModeSixFourFourUnderUmaskAndAppends) {
  const struct {
    mode_t umask;
    int existing_mode;  // -1: no file yet
    mode_t expected_mode;
  } cases[] = {
      {022, -1, 0644}, {0, -1, 0644}, {077, -1, 0600}, {022, 0600, 0600}, {0, 0640, 0640},
  };
  for (const auto& c : cases) {
    std::string log = domain_log("example.com");
    fs::remove(log);
    std::string before;
    if (c.existing_mode >= 0) box.write_file(log, before = "old\n", c.existing_mode);
    mode_t saved = umask(c.umask);
    logroute("example.com@@80@@new\n");
    umask(saved);
    struct stat st = {};
    ASSERT_EQ(stat(log.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.expected_mode) << "umask " << std::oct << c.umask;
    EXPECT_EQ(box.read_file(log), before + "new\n");
  }
}

TEST_F(Logroute, LongLinesAreWrittenWholeOrSkippedWhole) {
  std::string huge(3 << 20, 'x');
  std::string host_at_limit = std::string(4095 - 6 - 12, 'a') + ".example.com";  // tags end at 4095
  std::string host_past_limit = "b" + host_at_limit;
  std::string input = "example.com@@80@@" + huge + "\n" + host_at_limit + "@@80@@fits\n" +
                      host_past_limit + "@@80@@skipped\n" + std::string(10000, 'u') +
                      "example.com@@80@@inside a skipped line\n" + "example.com@@80@@after\n";
  auto r = logroute(input);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(box.read_file(domain_log("example.com")), huge + "\n" + "fits\n" + "after\n");
  EXPECT_FALSE(box.exists(SERVER_LOG));
}

TEST_F(Logroute, HostNamesCannotReachOutsideTheDomainTree) {
  // Logs directories where "." and ".." candidates would lead.
  box.make_dirs(DOMAINS_DIR + "/logs");
  box.make_dirs("/var/www/vhosts/logs");
  box.make_dirs("/var/www/logs");
  box.make_dirs("/var/log/logs");
  const char* unsafe[] = {"..",
                          ".",
                          "x..",
                          "...",
                          "../..",
                          "../../../log",
                          "example.com/../..",
                          "example.com/",
                          "/etc",
                          "a/../../../../tmp"};
  std::string input;
  for (const char* vhost : unsafe) input += std::string(vhost) + "@@443@@" + vhost + "\n";
  auto r = logroute(input);
  EXPECT_EQ(r.exit_status, 0);
  std::string all_lines;
  for (const char* vhost : unsafe) all_lines += std::string(vhost) + "\n";
  std::map<std::string, std::string> expected = {{SERVER_LOG, all_lines}};
  EXPECT_EQ(routed(), expected);
  EXPECT_TRUE(harness::files_under({"/var/log/logs", "/tmp/logs"}).empty());
}

TEST_F(Logroute, EmptyOrUnroutableInputOpensNothing) {
  for (const char* input : {"", "\n", "no tags\n", "one@@tag\n"}) {
    auto r = logroute(input);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_TRUE(routed().empty()) << input;
  }
}

// The web server sends SIGTERM to its piped loggers at every restart while
// its old children may still write: a first stop signal changes nothing, and
// nor does the pair that Apache's prefork MPM sends (SIGHUP or SIGTERM, then
// SIGTERM, from the parent within a second).  A second one from elsewhere is
// an administrator's, the prompt stop: what the pipe already holds is still
// routed, and logroute ends within two seconds with status 0 although the
// pipe is still open.
TEST_F(Logroute, FirstStopSignalChangesNothingSecondDrainsThePipeAndExits) {
  const struct {
    int first, second;
    bool parents_pair;
  } cases[] = {{SIGTERM, SIGTERM, false},
               {SIGINT, SIGINT, false},
               {SIGHUP, SIGHUP, false},
               {SIGHUP, SIGTERM, true},
               {SIGTERM, SIGTERM, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(strsignal(c.first)) + (c.parents_pair ? ", the parent's pair" : ""));
    fs::remove(domain_log("example.com"));
    harness::logroute p(LOGROUTE_PATH);
    std::string expected = "before the stop\n";
    ASSERT_TRUE(p.send("example.com@@80@@before the stop\n"));
    // Once the first line is routed, logroute is up and waits for input.
    ASSERT_TRUE(harness::wait_until(
        [&] { return box.read_file(domain_log("example.com")) == expected; }, 10s));
    kill(p.pid(), c.first);
    if (c.parents_pair) {
      kill(p.pid(), c.second);
      std::this_thread::sleep_for(300ms);  // a prompt stop would be over
    }
    expected += "after the first signal\n";
    ASSERT_TRUE(p.send("example.com@@80@@after the first signal\n"));
    ASSERT_TRUE(harness::wait_until(
        [&] { return box.read_file(domain_log("example.com")) == expected; }, 10s));
    if (c.parents_pair) {  // routes on to the end of its input
      EXPECT_EQ(p.finish(10s).exit_status, 0);
      continue;
    }
    kill(p.pid(), SIGSTOP);  // the rest waits in the pipe, unread, when the signal comes
    std::string held;
    for (int i = 0; i < 500; ++i) {
      held += "example.com@@80@@held " + std::to_string(i) + "\n";
      expected += "held " + std::to_string(i) + "\n";
    }
    ASSERT_TRUE(p.send(held));
    p.stop_from_outside(c.second);
    kill(p.pid(), SIGCONT);
    harness::run_result r = p.finish(2s, false);
    ASSERT_NE(r.signal, SIGKILL) << "still waiting for input";
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(box.read_file(domain_log("example.com")), expected);
  }
}

// A forced rotation by the real logrotate, with the shipped file (and with
// "nocreate", where logroute makes the new file itself), while lines keep
// arriving: every line is in exactly one of the two generations, in order,
// and the lines after the rotation reach the new file.
TEST_F(Logroute, LogrotateRotationLosesAndRepeatsNothing) {
  const std::string LOGROTATE = "/usr/sbin/logrotate";
  if (access(LOGROTATE.c_str(), X_OK) != 0) GTEST_SKIP() << "logrotate is not installed";
  std::string shipped = box.read_file(VAREK_SOURCE_DIR "/packaging/logrotate/vrk-logroute.in");
  ASSERT_NE(shipped.find("    create\n"), std::string::npos);
  box.write_file("/tmp/logrotate.conf", shipped);
  auto check = harness::run({LOGROTATE, "-d", "-s", "/tmp/state", "/tmp/logrotate.conf"});
  EXPECT_EQ(check.exit_status, 0) << check.err;
  EXPECT_EQ(check.err.find("error"), std::string::npos) << check.err;
  for (const char* create : {"create", "nocreate"}) {
    SCOPED_TRACE(create);
    std::string conf = shipped;
    conf.replace(conf.find("    create\n"), 11, std::string("    ") + create + "\n");
    box.write_file("/tmp/logrotate.conf", conf);
    for (const auto& [path, content] : routed()) fs::remove(path);
    const std::string hosts[] = {"example.com@@80@@", "example.com@@443@@", "unknown.test@@80@@"};
    const std::string logs[] = {domain_log("example.com"), domain_log("example.com", true),
                                SERVER_LOG};
    std::map<std::string, std::string> sent;
    harness::logroute p(LOGROUTE_PATH);
    std::thread writer([&] {
      for (int i = 0; i < 700; ++i) {
        std::string input;
        for (int h = 0; h < 3; ++h) {
          input += hosts[h] + std::to_string(i) + "\n";
          sent[logs[h]] += std::to_string(i) + "\n";
        }
        if (!p.send(input)) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    auto rotation = harness::run({LOGROTATE, "-f", "-s", "/tmp/state", "/tmp/logrotate.conf"});
    writer.join();
    EXPECT_EQ(rotation.exit_status, 0) << rotation.err;
    EXPECT_NE(p.finish(10s).signal, SIGKILL);
    for (const auto& log : logs) {
      std::string rotated = box.read_file(log + ".1"), current = box.read_file(log);
      EXPECT_EQ(rotated + current, sent[log]) << log;
      EXPECT_NE(rotated, "") << log;
      EXPECT_NE(current, "") << log << ": nothing after the rotation";
      fs::remove(log + ".1");
    }
  }
}

// The shipped file run as root over a domain's logs directory that its site
// owner may write: rotated when only the owner may (logrotate refuses only
// directories writable by a group other than root's, or by anyone).
TEST_F(Logroute, LogrotateRotatesALogsDirectoryOnlyItsOwnerMayWrite) {
  const std::string LOGROTATE = "/usr/sbin/logrotate";
  if (access(LOGROTATE.c_str(), X_OK) != 0) GTEST_SKIP() << "logrotate is not installed";
  box.write_file("/tmp/logrotate.conf",
                 box.read_file(VAREK_SOURCE_DIR "/packaging/logrotate/vrk-logroute.in"));
  const std::string logs = DOMAINS_DIR + "/example.com/logs", log = domain_log("example.com");
  for (auto [mode, rotated] : {std::pair{0755, true}, std::pair{0775, false}}) {
    SCOPED_TRACE(mode);
    box.write_file(log, "a line\n");
    ASSERT_EQ(chown(logs.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(logs.c_str(), mode), 0);
    auto rotation = harness::run({LOGROTATE, "-f", "-s", "/tmp/state", "/tmp/logrotate.conf"});
    EXPECT_EQ(fs::exists(log + ".1"), rotated) << rotation.err;
    EXPECT_EQ(rotation.err.find("insecure permissions") == std::string::npos, rotated)
        << rotation.err;
    fs::remove(log + ".1");
  }
}
