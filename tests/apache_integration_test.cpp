// The shipped Apache snippets under a real Apache: the test's configuration
// includes packaging/apache2/vrk-logroute.conf.in and vrk-phpgate.conf.in
// unchanged (VAREK_SBINDIR defined first, as an administrator may), and curl asks for PHP pages
// through Apache -> mod_actions -> mod_cgid -> phpgate -> php-cgi, each site choosing its handler
// and php.ini with SetEnv; the access log goes through logroute into the per-domain logs. Runs
// inside the harness sandbox on a loopback port; skipped when apache2, its modules, curl or php-cgi
// are missing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "harness/apache_conf.hpp"
#include "harness/files.hpp"
#include "harness/fixed_paths.hpp"
#include "harness/loopback.hpp"
#include "harness/process.hpp"
#include "harness/sandbox.hpp"
#include "harness/syslog_capture.hpp"
#include "harness/wait.hpp"

namespace {

namespace fs = std::filesystem;
using harness::read_file;
using harness::wait_until;
using namespace std::chrono_literals;

using harness::APACHE;
using harness::domain_log;
using harness::DOMAINS_DIR;
using harness::PHP_CGI;
using harness::SERVER_LOG;
const std::string SNIPPETS = VAREK_SOURCE_DIR "/packaging/apache2/";
const std::string WORK = "/tmp/apache";
const std::string SBIN = WORK + "/sbin";  // the programs, as the snippets find them
const std::string ALPHA_INI = DOMAINS_DIR + "/alpha.test/etc/php.ini";

const char* const REQUIRED_MODULES[] = {"mpm_event", "authz_core", "alias",
                                        "actions",   "cgid",       "env"};

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Tells which handler ran, with which php.ini, and echoes the request's id.
const char* const INFO_PHP =
    "<?php\n"
    "echo getenv('VRK_TEST_HANDLER') ?: 'cgi', '|', php_ini_loaded_file() ?: 'none', '|',\n"
    "     ini_get('memory_limit'), '|', $_GET['id'] ?? '', \"\\n\";\n";

// One site: its ServerName and the SetEnv lines of its <VirtualHost>.
struct site {
  std::string name;
  std::vector<std::string> set_env;
};

class ApacheIntegration : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const std::string& tool : {APACHE, harness::CURL, PHP_CGI})
      if (access(tool.c_str(), X_OK) != 0) GTEST_SKIP() << tool << " is not installed";
    for (const char* module : REQUIRED_MODULES)
      if (!fs::exists(harness::APACHE_MODULES + "mod_" + module + ".so"))
        GTEST_SKIP() << "mod_" << module << " is not installed";
    if (!box.ok()) GTEST_SKIP() << box.why();
    port = harness::free_loopback_port();

    // The programs where the snippets' VAREK_SBINDIR says, readable by the
    // web server's user (the build tree need not be).
    box.make_dirs(WORK, 0755);
    box.make_dirs(WORK + "/run", 0755);
    box.make_dirs(SBIN, 0755);
    ASSERT_FALSE(logroute_image.empty() || phpgate_image.empty());
    box.write_file(SBIN + "/logroute", logroute_image, 0755);
    box.write_file(SBIN + "/phpgate", phpgate_image, 0755);
    ASSERT_TRUE(contains(logroute_snippet, "GlobalLog") && contains(phpgate_snippet, "Action"));
    box.write_file(WORK + "/conf/vrk-logroute.conf", logroute_snippet);
    box.write_file(WORK + "/conf/vrk-phpgate.conf", phpgate_snippet);
    // Two PHP handlers: Debian's php-cgi as "cgi", and "alt", the same PHP
    // behind a wrapper that marks its runs; "gone" names no executable.
    box.write_file(WORK + "/php-alt",
                   "#!/bin/sh\nVRK_TEST_HANDLER=alt exec " + PHP_CGI + " \"$@\"\n", 0755);
    box.write_file(
        harness::PHP_REGISTRY, R"({ "php": [
  { "id": "cgi", "path": ")" + PHP_CGI +
                                   R"(", "version": "8", "displayname": "PHP",
    "phpini": "/etc/php/8.2/cgi/php.ini", "type": "cgi" },
  { "id": "alt", "path": ")" + WORK +
                                   R"(/php-alt", "version": "8", "displayname": "PHP alt",
    "phpini": ")" + ALPHA_INI + R"(", "type": "cgi", "system": false },
  { "id": "gone", "path": ")" + WORK +
                                   R"(/no-such-php", "version": "8", "displayname": "gone",
    "phpini": "", "type": "cgi" }
] }
)");
    box.write_file("/etc/vrk/vrk.conf",
                   "HTTPD_VHOSTS_D " + harness::VHOSTS_DIR + "\nHTTPD_LOG_D /var/log/apache2\n");
    box.write_file(ALPHA_INI, "memory_limit = 77M\ncgi.force_redirect = 1\n");
    box.make_dirs(DOMAINS_DIR + "/alpha.test/logs");
    box.make_dirs(DOMAINS_DIR + "/beta.test/logs");
    box.make_dirs("/var/log/apache2");

    sites = {
        {"alpha.test", {"VK_CUSTOM_PHP_CGI_INDEX alt", "VK_CUSTOM_PHP_INI " + ALPHA_INI}},
        {"beta.test", {}},  // the default handler "cgi" with PHP's own php.ini
        {"gamma.test",
         {"VK_CUSTOM_PHP_CGI_INDEX missing"}},             // no such handler, no domain directory
        {"delta.test", {"VK_CUSTOM_PHP_CGI_INDEX gone"}},  // a handler without its executable
    };
    for (const site& s : sites) box.write_file(docroot(s.name) + "/info.php", INFO_PHP);

    box.write_file(WORK + "/httpd.conf", apache_config());
    auto check = harness::run({APACHE, "-t", "-f", WORK + "/httpd.conf"});
    ASSERT_EQ(check.exit_status, 0) << check.err << check.out;

    syslog = std::make_unique<harness::syslog_capture>();
    chmod("/dev/log", 0666);  // phpgate runs as the web server's user
    apache = std::make_unique<harness::child>(
        std::vector<std::string>{APACHE, "-f", WORK + "/httpd.conf", "-DFOREGROUND"},
        harness::run_options{.env = harness::current_environment()});
    ASSERT_TRUE(wait_until([&] { return harness::accepts_connections(port); }, 15s))
        << read_file(WORK + "/error.log");
  }

  void TearDown() override {
    if (apache) apache->stop(SIGTERM);
  }

  static std::string docroot(const std::string& name) {
    return harness::VHOSTS_DIR + "/" + name + "/httpdocs";
  }

  // Apache's configuration: the shipped snippets, included as they are (a
  // copy made before the sandbox hid /tmp, where a checkout may be), and one
  // name-based virtual host per site.
  std::string apache_config() const {
    std::ostringstream c;
    c << harness::apache_config_head(WORK, REQUIRED_MODULES, port) << "Define VAREK_SBINDIR "
      << SBIN << "\n"
      << "Include " << WORK << "/conf/vrk-logroute.conf\n"
      << "Include " << WORK << "/conf/vrk-phpgate.conf\n";
    for (const site& s : sites) {
      c << "<VirtualHost 127.0.0.1:" << port << ">\n  ServerName " << s.name << "\n"
        << "  DocumentRoot " << docroot(s.name) << "\n"
        << "  <Directory " << docroot(s.name) << ">\n    Require all granted\n  </Directory>\n";
      for (const std::string& line : s.set_env) c << "  SetEnv " << line << "\n";
      // A log of its own, as Debian's 000-default.conf has: logroute must still get its lines.
      if (s.name == "beta.test") c << "  CustomLog " << WORK << "/beta.log \"%U%q\"\n";
      c << "</VirtualHost>\n";
    }
    return c.str();
  }

  struct response {
    std::string status;
    std::string body;
  };

  // GET path from the site, with the Host header given (default: the site's name).
  response get(const std::string& path, const std::string& host) {
    auto r =
        harness::run({harness::CURL, "-s", "--max-time", "20", "-o", "-", "-w", "\n%{http_code}",
                      "-H", "Host: " + host, "http://127.0.0.1:" + std::to_string(port) + path});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    auto cut = r.out.rfind('\n');
    if (cut == std::string::npos) return {r.out, ""};
    return {r.out.substr(cut + 1), r.out.substr(0, cut)};
  }

  // Read before the sandbox hides /tmp, where a build tree may be.
  const std::string logroute_image = read_file(LOGROUTE_PATH);
  const std::string phpgate_image = read_file(PHPGATE_PATH);
  const std::string logroute_snippet = read_file(SNIPPETS + "vrk-logroute.conf.in");
  const std::string phpgate_snippet = read_file(SNIPPETS + "vrk-phpgate.conf.in");
  harness::sandbox box;
  std::unique_ptr<harness::syslog_capture> syslog;  // made once the sandbox stands
  int port = 0;
  std::vector<site> sites;
  std::unique_ptr<harness::child> apache;
};

// The access-log line Apache writes for a GET of path answered with status.
std::string request_text(const std::string& path, const std::string& status) {
  return "\"GET " + path + " HTTP/1.1\" " + status + " ";
}

}  // namespace

TEST_F(ApacheIntegration, SitesChooseTheirPhpHandlerAndIniAndLogToTheirDomain) {
  const std::string alpha_log = domain_log("alpha.test"), beta_log = domain_log("beta.test");

  // alpha.test: the handler "alt" with the site's php.ini.
  auto alpha = get("/info.php?id=a1", "alpha.test");
  EXPECT_EQ(alpha.status, "200") << alpha.body << read_file(WORK + "/error.log");
  EXPECT_EQ(alpha.body, "alt|" + ALPHA_INI + "|77M|a1\n");

  // beta.test sets nothing: the handler "cgi" with PHP's own php.ini.
  auto beta = get("/info.php?id=b1", "beta.test");
  EXPECT_EQ(beta.status, "200") << beta.body << read_file(WORK + "/error.log");
  EXPECT_EQ(beta.body.rfind("cgi|/etc/php/", 0), 0u) << beta.body;
  EXPECT_TRUE(contains(beta.body, "/cgi/php.ini|")) << beta.body;
  EXPECT_FALSE(contains(beta.body, "77M")) << beta.body;

  // A handler the registry lacks, and one whose executable is missing: no
  // page, and phpgate says why in syslog.
  auto gamma = get("/info.php?id=g1", "gamma.test");
  EXPECT_EQ(gamma.status, "500") << gamma.body;
  EXPECT_FALSE(contains(gamma.body, "<?php")) << gamma.body;
  auto delta = get("/info.php?id=d1", "delta.test");
  EXPECT_EQ(delta.status, "500") << delta.body;
  std::vector<std::string> messages;
  ASSERT_TRUE(wait_until(
      [&] {
        for (const auto& record : syslog->drain())
          messages.push_back(record.ident + ": " + record.message);
        return messages.size() >= 2;
      },
      10s))
      << ::testing::PrintToString(messages);
  EXPECT_EQ(messages,
            (std::vector<std::string>{
                "phpgate: can not find appropriate version of php ~ `missing' in `" +
                    harness::PHP_REGISTRY + "'",
                SBIN + "/phpgate: exec " + WORK + "/no-such-php:No such file or directory"}));

  // phpgate is reachable only through the handler, never directly; PHP
  // files that do not exist are Apache's 404, not PHP's.
  EXPECT_EQ(get("/vrk-phpgate", "alpha.test").status, "403");
  EXPECT_EQ(get("/vrk-phpgate/info.php", "alpha.test").status, "403");
  EXPECT_EQ(get("/nothing.php?id=a2", "alpha.test").status, "404");

  // A plain request whose Host header claims port 443 still goes to the
  // plain log: the snippet logs the port the request came in on.
  EXPECT_EQ(get("/info.php?id=a3", "alpha.test:443").status, "200");

  // Every request's line in its domain's log (gamma.test and delta.test
  // have no domain directory: the server-wide log).
  struct expected_line {
    std::string file, text;
  };
  const std::vector<expected_line> expected = {
      {alpha_log, request_text("/info.php?id=a1", "200")},
      {alpha_log, request_text("/vrk-phpgate", "403")},
      {alpha_log, request_text("/vrk-phpgate/info.php", "403")},
      {alpha_log, request_text("/nothing.php?id=a2", "404")},
      {alpha_log, request_text("/info.php?id=a3", "200")},
      {beta_log, request_text("/info.php?id=b1", "200")},
      {SERVER_LOG, request_text("/info.php?id=g1", "500")},
      {SERVER_LOG, request_text("/info.php?id=d1", "500")},
  };
  auto all_logged = [&] {
    for (const auto& line : expected)
      if (!contains(read_file(line.file), line.text)) return false;
    return true;
  };
  EXPECT_TRUE(wait_until(all_logged, 10s))
      << "alpha:\n"
      << read_file(alpha_log) << "beta:\n"
      << read_file(beta_log) << "server:\n"
      << read_file(SERVER_LOG) << read_file(WORK + "/error.log");
  for (const auto& line : expected) {
    std::istringstream lines(read_file(line.file));
    std::string first;
    std::getline(lines, first);
    // The snippet's format after the two tags: client, identity, user, time, request...
    EXPECT_EQ(first.rfind("127.0.0.1 - - [", 0), 0u) << line.file << ": " << first;
  }
  EXPECT_FALSE(fs::exists(domain_log("alpha.test", true)));
  EXPECT_EQ(read_file(WORK + "/beta.log"), "/info.php?id=b1\n");

  apache->stop(SIGTERM);
  apache.reset();
  EXPECT_FALSE(contains(read_file(WORK + "/error.log"), "logroute"))
      << read_file(WORK + "/error.log");
  EXPECT_FALSE(contains(read_file(WORK + "/error.log"), "Lost access log lines"));
  // phpgate writes nothing on standard error (mod_cgid would log it as
  // AH01215); Apache only notes that the failed requests produced no output.
  EXPECT_FALSE(contains(read_file(WORK + "/error.log"), "AH01215"))
      << read_file(WORK + "/error.log");
  EXPECT_TRUE(
      contains(read_file(WORK + "/error.log"), "End of script output before headers: phpgate"));
}
