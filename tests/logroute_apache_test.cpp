// logroute under a real Apache: the test starts Debian's apache2 with its
// own configuration on loopback ports, plain and SSL, with name-based
// virtual hosts that all log through
//   CustomLog "|logroute <ssl port>" "%v@@%p@@..."
// and checks that every request's line lands in the right file, once,
// across a restart, a graceful restart and a stop, also for a request still
// in flight then.  Runs inside the harness
// sandbox; skipped when apache2, curl or openssl is missing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness/apache_conf.hpp"
#include "harness/files.hpp"
#include "harness/fixed_paths.hpp"
#include "harness/loopback.hpp"
#include "harness/process.hpp"
#include "harness/sandbox.hpp"
#include "harness/wait.hpp"

namespace {

namespace fs = std::filesystem;
using harness::free_loopback_port;
using harness::read_file;
using harness::wait_until;
using namespace std::chrono_literals;

using harness::APACHE;
using harness::domain_log;
const std::string WORK = "/tmp/apache";
// Each request's line, as logroute writes it and as Apache writes it into a
// plain file beside the piped log: the reference of what Apache logged.
const std::string LINE_FORMAT = "%{local}p %U%q %>s";
const std::string REFERENCE_LOG = WORK + "/reference.log";

// One virtual host as Apache serves it and where its lines must land.
struct site {
  std::string name;  // ServerName (and Host header)
  bool ssl;
  std::string log;  // the file its lines go to
};

// Writes the configuration: one vhost per site, all logging through
// logroute, which Apache starts with the SSL port as argument.
std::string apache_config(const std::vector<site>& sites, int plain, int ssl,
                          const std::string& mpm = "event") {
  // mod_cgid's daemon lives across graceful restarts: it must not keep an
  // old logger's pipe open.
  const std::string mpm_module = "mpm_" + mpm;
  const char* const modules[] = {mpm_module.c_str(), "authz_core", "ssl", "socache_shmcb", "cgid"};
  std::ostringstream c;
  c << harness::apache_config_head(WORK, modules, plain) << "Listen 127.0.0.1:" << ssl << "\n"
    << "UseCanonicalName On\n"
    << "SSLSessionCache none\n"
    << "DocumentRoot " << WORK << "/htdocs\n"
    << "<Directory " << WORK << "/htdocs>\n  Require all granted\n</Directory>\n"
    << "CustomLog \"|" << LOGROUTE_PATH << " " << ssl << "\" \"%v@@%p@@" << LINE_FORMAT << "\"\n"
    << "CustomLog " << REFERENCE_LOG << " \"" << LINE_FORMAT << "\"\n";
  for (const site& s : sites) {
    int port = s.ssl ? ssl : plain;
    c << "<VirtualHost 127.0.0.1:" << port << ">\n  ServerName " << s.name << ":" << port << "\n";
    if (s.ssl)
      c << "  SSLEngine on\n  SSLCertificateFile " << WORK << "/cert.pem\n"
        << "  SSLCertificateKeyFile " << WORK << "/key.pem\n";
    c << "</VirtualHost>\n";
  }
  return c.str();
}

class ApacheLogging : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const std::string& tool : {APACHE, harness::CURL, harness::OPENSSL})
      if (access(tool.c_str(), X_OK) != 0) GTEST_SKIP() << tool << " is not installed";
    if (!fs::exists(harness::APACHE_MODULES + "mod_ssl.so"))
      GTEST_SKIP() << "mod_ssl is not installed";
    if (!box.ok()) GTEST_SKIP() << box.why();
    plain = free_loopback_port();
    ssl = free_loopback_port();
    while (ssl == plain) ssl = free_loopback_port();
    sites = {
        {"alpha.test", false, domain_log("alpha.test")},
        {"alpha.test", true, domain_log("alpha.test", true)},
        {"beta.test", false, domain_log("beta.test")},
        {"beta.test", true, domain_log("beta.test", true)},
        {"shop.alpha.test", true, domain_log("alpha.test", true)},  // parent domain
        {"nolog.test", false, harness::SERVER_LOG},  // no domain directory: server-wide log
    };
    box.make_dirs(harness::DOMAINS_DIR + "/alpha.test/logs");
    box.make_dirs(harness::DOMAINS_DIR + "/beta.test/logs");
    box.make_dirs("/var/log/apache2");
    box.make_dirs(WORK + "/htdocs");
    box.make_dirs(WORK + "/run");
    box.write_file(WORK + "/htdocs/index.html", "ok\n");
    // Larger than what the socket buffers hold: its download takes seconds.
    box.write_file(WORK + "/htdocs/big", "");
    ASSERT_EQ(truncate((WORK + "/htdocs/big").c_str(), 64 << 20), 0);
    auto cert = harness::run({harness::OPENSSL, "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                              "-days", "2", "-subj", "/CN=alpha.test", "-keyout", WORK + "/key.pem",
                              "-out", WORK + "/cert.pem"});
    ASSERT_EQ(cert.exit_status, 0) << cert.err;
    box.write_file(WORK + "/httpd.conf", apache_config(sites, plain, ssl));
    auto check = harness::run({APACHE, "-t", "-f", WORK + "/httpd.conf"});
    ASSERT_EQ(check.exit_status, 0) << check.err << check.out;
  }

  // An Apache still running when a test fails goes with all its children.
  ~ApacheLogging() override {
    if (apache && apache->pid() > 0) kill(-apache->pid(), SIGKILL);
  }

  // Apache leads a session of its own, as when apachectl or systemd starts
  // it: the prefork MPM signals its whole process group.
  void start_apache() {
    apache = std::make_unique<harness::child>(
        std::vector<std::string>{APACHE, "-f", WORK + "/httpd.conf", "-DFOREGROUND"},
        harness::run_options{.env = harness::current_environment(),
                             .in_child = [] { return setsid() != -1; }});
    wait_until_serving();
  }

  void wait_until_serving() {
    ASSERT_TRUE(wait_until(
        [&] { return harness::accepts_connections(plain) && harness::accepts_connections(ssl); },
        15s))
        << read_file(WORK + "/error.log");
  }

  // Requests `count` pages of every site; each request carries an id that
  // its log line shows.
  void request_all(const std::string& round, int count) {
    for (const site& s : sites) {
      int port = s.ssl ? ssl : plain;
      std::vector<std::string> argv = {
          harness::CURL, "-sk",
          "--max-time",  "10",
          "-w",          "%{http_code}\n",
          "--resolve",   s.name + ":" + std::to_string(port) + ":127.0.0.1"};
      for (int i = 0; i < count; ++i) {
        std::string id = round + "-" + s.name + (s.ssl ? "-ssl-" : "-plain-") + std::to_string(i);
        argv.push_back(std::string(s.ssl ? "https://" : "http://") + s.name + ":" +
                       std::to_string(port) + "/index.html?id=" + id);
        expected[s.log].insert(std::to_string(port) + " /index.html?id=" + id + " 200");
      }
      auto r = harness::run(argv);
      ASSERT_EQ(r.exit_status, 0) << s.name << ": " << r.err;
    }
  }

  // The log lines of every file that should have some.
  std::map<std::string, std::multiset<std::string>> logged() const {
    std::map<std::string, std::multiset<std::string>> found;
    for (const auto& [path, lines] : expected) {
      std::istringstream in(read_file(path));
      std::string line;
      while (std::getline(in, line)) found[path].insert(line);
    }
    return found;
  }

  std::map<std::string, std::multiset<std::string>> expected_lines() const {
    std::map<std::string, std::multiset<std::string>> want;
    for (const auto& [path, lines] : expected) want[path] = {lines.begin(), lines.end()};
    return want;
  }

  bool all_logged() const { return logged() == expected_lines(); }

  // The lines of every routed log, and those of the reference log.
  static std::multiset<std::string> lines_of(const std::string& text) {
    std::multiset<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.insert(line);
    return lines;
  }
  static std::multiset<std::string> routed_lines() {
    std::string all;
    for (const auto& [path, content] :
         harness::files_under({harness::DOMAINS_DIR, harness::SERVER_LOG_DIR}))
      all += content;
    return lines_of(all);
  }
  static std::multiset<std::string> reference_lines() { return lines_of(read_file(REFERENCE_LOG)); }

  // Starts downloading the big file from alpha.test at 8 MB/s, with `id`.
  std::unique_ptr<harness::child> start_slow_download(const std::string& id) {
    std::string host = "alpha.test:" + std::to_string(plain);
    return std::make_unique<harness::child>(std::vector<std::string>{
        harness::CURL, "-so", "/dev/null", "--limit-rate", "8M", "--max-time", "30", "--resolve",
        host + ":127.0.0.1", "http://" + host + "/big?id=" + id});
  }

  // The logroute processes that the Apache parent started.
  std::vector<pid_t> loggers() const {
    std::vector<pid_t> found;
    std::string program = fs::canonical(LOGROUTE_PATH).string();
    for (const auto& entry : fs::directory_iterator("/proc")) {
      std::error_code ec;
      if (fs::read_symlink(entry.path() / "exe", ec).string() != program) continue;
      std::istringstream stat(read_file((entry.path() / "stat").string()));
      std::string pid, comm, state;
      pid_t parent = 0;
      stat >> pid >> comm >> state >> parent;
      if (apache && parent == apache->pid()) found.push_back(std::stoi(pid));
    }
    return found;
  }

  // The in-flight cases with the MPM of the configuration written.
  void logs_in_flight_are_routed_once(bool prefork);

  harness::sandbox box;
  int plain = 0, ssl = 0;
  std::vector<site> sites;
  std::map<std::string, std::set<std::string>> expected;
  std::unique_ptr<harness::child> apache;
};

}  // namespace

TEST_F(ApacheLogging, EveryLineLandsInItsFileAcrossRestartsAndStop) {
  ASSERT_NO_FATAL_FAILURE(start_apache());
  ASSERT_NO_FATAL_FAILURE(request_all("first", 5));
  ASSERT_TRUE(wait_until([&] { return all_logged(); }, 10s)) << read_file(WORK + "/error.log");

  // Lines waiting unread in the pipe when Apache restarts: the old logroute
  // gets SIGTERM and must still route them.
  auto old_loggers = loggers();
  ASSERT_FALSE(old_loggers.empty());
  for (pid_t pid : old_loggers) kill(pid, SIGSTOP);
  ASSERT_NO_FATAL_FAILURE(request_all("held", 5));
  std::this_thread::sleep_for(300ms);  // the server writes its lines after the response
  kill(apache->pid(), SIGHUP);         // restart
  for (pid_t pid : old_loggers) kill(pid, SIGCONT);
  ASSERT_NO_FATAL_FAILURE(wait_until_serving());
  EXPECT_TRUE(wait_until([&] { return all_logged(); }, 10s));

  ASSERT_NO_FATAL_FAILURE(request_all("after-restart", 3));
  kill(apache->pid(), SIGUSR1);  // graceful restart
  std::this_thread::sleep_for(500ms);
  ASSERT_NO_FATAL_FAILURE(wait_until_serving());
  ASSERT_NO_FATAL_FAILURE(request_all("after-graceful", 3));
  std::this_thread::sleep_for(300ms);
  apache->stop(SIGTERM);
  EXPECT_TRUE(wait_until([&] { return all_logged(); }, 10s));
  EXPECT_EQ(logged(), expected_lines()) << read_file(WORK + "/error.log");
  EXPECT_EQ(read_file(WORK + "/error.log").find("logroute"), std::string::npos)
      << read_file(WORK + "/error.log");
}

// A slow download in flight when Apache restarts, gracefully or not, or
// stops gracefully, with the event and the prefork MPM (which sends its
// loggers two stop signals at a restart and at a stop): its old child logs
// it through the old logroute, which got SIGTERM.  A restart ends the
// request: the event MPM's child logs it as it dies, the prefork MPM's dies
// first.  Every line that Apache wrote into the reference log is routed
// once, and no line found the logger gone (AH00646).  After graceful
// restarts with nothing in flight, one logroute is left.
TEST_F(ApacheLogging, RequestsInFlightAcrossGracefulRestartAndStopAreLoggedOnce) {
  for (const std::string mpm : {"event", "prefork"}) {
    SCOPED_TRACE(mpm);
    for (const auto& [path, content] : harness::files_under({harness::DOMAINS_DIR}))
      fs::remove(path);
    fs::remove(REFERENCE_LOG);
    box.write_file(WORK + "/httpd.conf", apache_config(sites, plain, ssl, mpm));
    ASSERT_NO_FATAL_FAILURE(logs_in_flight_are_routed_once(mpm == "prefork"));
  }
}

void ApacheLogging::logs_in_flight_are_routed_once(bool prefork) {
  const struct {
    const char* what;
    int sig;
  } cases[] = {{"graceful", SIGUSR1}, {"graceful-stop", SIGWINCH}, {"restart", SIGHUP}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (!apache) {
      ASSERT_NO_FATAL_FAILURE(start_apache());
    }
    std::string line = std::to_string(plain) + " /big?id=" + c.what + " 200";
    auto times_logged = [&] {
      std::string log = read_file(domain_log("alpha.test"));
      std::size_t n = 0;
      for (std::size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1))
        ++n;
      return n;
    };
    auto download = start_slow_download(c.what);
    std::this_thread::sleep_for(1500ms);
    ASSERT_EQ(waitpid(download->pid(), nullptr, WNOHANG), 0)
        << "the download ended before the signal";
    ASSERT_EQ(times_logged(), 0u);
    if (c.sig == SIGWINCH) {
      apache->stop(c.sig);  // returns once the parent has ended
      apache.reset();
    } else {
      kill(apache->pid(), c.sig);
    }
    EXPECT_NE(download->finish(30s).signal, SIGKILL);
    // What Apache wrote is in the reference log: the line of a request that
    // a restart ended too, unless prefork's child died first.
    auto reference = [&] { return reference_lines().count(line); };
    bool may_die_first = prefork && c.sig == SIGHUP;
    EXPECT_TRUE(wait_until([&] { return times_logged() >= 1 || may_die_first; }, 10s));
    std::this_thread::sleep_for(500ms);  // time for a line logged twice
    EXPECT_EQ(times_logged(), reference());
    if (!may_die_first) {
      EXPECT_EQ(reference(), 1u);
    }
    // A dying child may write its line to the pipe and not to the file.
    std::multiset<std::string> routed = routed_lines();
    for (const std::string& logged : reference_lines())
      EXPECT_EQ(routed.count(logged), 1u) << logged;
  }
  ASSERT_NO_FATAL_FAILURE(wait_until_serving());
  for (int i = 0; i < 3; ++i) {
    kill(apache->pid(), SIGUSR1);
    std::this_thread::sleep_for(500ms);
    ASSERT_NO_FATAL_FAILURE(wait_until_serving());
  }
  EXPECT_TRUE(wait_until([&] { return loggers().size() == 1; }, 5s)) << loggers().size();
  apache->stop(SIGTERM);
  apache.reset();
  EXPECT_EQ(read_file(WORK + "/error.log").find("AH00646"), std::string::npos)
      << read_file(WORK + "/error.log");
}
