// Each site's PHP as the site's own user: a real Apache with suEXEC runs the
// shipped example wrapper (packaging/examples/phpgate-wrapper.in), one copy
// per site with its two VK_ lines, through mod_cgid (Action) and through
// mod_fcgid (FcgidWrapper), as phpgate(8) says to set them up. Two site
// users live in the sandbox's own /etc; /var/www is a tmpfs. Skipped when
// Apache, suEXEC, the modules, curl or php-cgi are missing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>

#include "harness/apache_conf.hpp"
#include "harness/files.hpp"
#include "harness/fixed_paths.hpp"
#include "harness/loopback.hpp"
#include "harness/process.hpp"
#include "harness/sandbox.hpp"
#include "harness/wait.hpp"

namespace {

using namespace std::chrono_literals;
const std::string WORK = "/tmp/apache";
const std::string SBIN = WORK + "/sbin";
const std::string WRAPPERS = "/var/www/php-wrappers";
const std::string SUEXEC = "/usr/lib/apache2/suexec";
const std::string SUEXEC_LOG = "/var/log/apache2/suexec.log";
const char* const MODULES[] = {"mpm_event", "authz_core", "alias",  "actions",
                               "cgid",      "env",        "suexec", "fcgid"};
// The site's uid, the memory_limit only its ini sets, the ini PHP loaded;
// and a line on PHP's standard error, which must not reach Apache's log.
const char* const INFO_PHP =
    "<?php file_put_contents('php://stderr', \"site-stderr\\n\");\n"
    "echo posix_getuid(), '|', ini_get('memory_limit'), '|', php_ini_loaded_file(), \"\\n\";\n";

struct site {
  std::string name;
  int uid;
  std::string ini;  // VK_CUSTOM_PHP_INI: site1 a file, site2 a directory
  std::string ini_file;
  std::string wrapper() const { return WRAPPERS + "/" + name + "/phpgate-wrapper"; }
  std::string docroot() const { return "/var/www/vhosts/" + name + "/httpdocs"; }
};
const std::string SYSTEM = harness::DOMAINS_DIR;
const site SITES[] = {
    {"site1.test", 2001, SYSTEM + "/site1.test/etc/php.ini", SYSTEM + "/site1.test/etc/php.ini"},
    {"site2.test", 2002, SYSTEM + "/site2.test/etc", SYSTEM + "/site2.test/etc/php-cgi-fcgi.ini"},
};

std::string replace(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

void run_in_sh(const std::string& command) {
  auto r = harness::run({"/bin/sh", "-c", command});
  EXPECT_EQ(r.exit_status, 0) << command << "\n" << r.err;
}

class PhpgateSuexec : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    for (const std::string& tool : {harness::APACHE, harness::CURL, harness::PHP_CGI, SUEXEC})
      if (access(tool.c_str(), X_OK) != 0) GTEST_SKIP() << tool << " is not installed";
    for (const char* module : MODULES)
      if (access((harness::APACHE_MODULES + "mod_" + module + ".so").c_str(), R_OK) != 0)
        GTEST_SKIP() << "mod_" << module << " is not installed";
    if (!box.ok()) GTEST_SKIP() << box.why();
    box.mount_tmpfs("/var/www", "mode=755");
    box.make_dirs("/var/log/apache2", 0750);
    box.make_dirs(SBIN, 0755);
    box.make_dirs(WORK + "/run", 0755);
    box.write_file(SBIN + "/phpgate", phpgate_image, 0755);
    box.write_file(harness::PHP_REGISTRY, R"({"php": [{"id": "cgi", "path": ")" + harness::PHP_CGI +
                                              R"(", "version": "8", "displayname": "PHP",
                                              "phpini": "", "type": "cgi"}]})");
    box.make_dirs(WRAPPERS, 0755);
    for (const site& s : SITES) add_site(s);
    box.write_file(WORK + "/httpd.conf", apache_config());
    start_apache();
  }

  void TearDown() override {
    if (apache) apache->stop(SIGTERM);
  }

  // The site's user, its ini (root's, readable by the site's group only),
  // its page and its wrapper, as the example's own instructions make them.
  void add_site(const site& s) {
    std::string id = std::to_string(s.uid), user = s.name.substr(0, 5);
    run_in_sh("echo '" + user + ":x:" + id + ":" + id + "::/nonexistent:/usr/sbin/nologin' " +
              ">>/etc/passwd && echo '" + user + ":x:" + id + ":' >>/etc/group");
    box.write_file(s.ini_file, "memory_limit = " + std::to_string(s.uid % 100 + 70) + "M\n", 0640);
    box.write_file(s.docroot() + "/info.php", INFO_PHP);
    std::string wrapper = replace(wrapper_example, "@SBINDIR@", SBIN);
    wrapper = replace(wrapper, "/var/www/vhosts/system/example.com/etc/php.ini", s.ini);
    box.write_file(s.wrapper(), wrapper, 0755);
    run_in_sh("chgrp " + user + " " + s.ini_file + " && chown -R " + user + ":" + user + " " +
              WRAPPERS + "/" + s.name);
  }

  void start_apache() {
    auto check = harness::run({harness::APACHE, "-t", "-f", WORK + "/httpd.conf"});
    ASSERT_EQ(check.exit_status, 0) << check.err << check.out;
    apache = std::make_unique<harness::child>(
        std::vector<std::string>{harness::APACHE, "-f", WORK + "/httpd.conf", "-DFOREGROUND"},
        harness::run_options{.env = harness::current_environment()});
    ASSERT_TRUE(harness::wait_until([&] { return harness::accepts_connections(port); }, 15s))
        << harness::read_file(WORK + "/error.log");
  }

  // The vhost lines phpgate(8) gives for the module, for the site.
  static std::string vhost_lines(const std::string& module, const site& s) {
    std::string dir = WRAPPERS + "/" + s.name;
    if (module == "cgid")
      return "  ScriptAlias /vrk-php-wrapper/ " + dir + "/\n  Action vrk-php-script " +
             "/vrk-php-wrapper/phpgate-wrapper\n  <Directory " + dir +
             ">\n    Require env REDIRECT_STATUS\n  </Directory>\n";
    return "  <FilesMatch \".+\\.ph(?:ar|p|tml)$\">\n    SetHandler fcgid-script\n" +
           ("    FcgidWrapper " + s.wrapper()) + "\n  </FilesMatch>\n  <Directory " + s.docroot() +
           ">\n    Options +ExecCGI\n  </Directory>\n";
  }

  std::string apache_config() {
    port = harness::free_loopback_port();
    std::ostringstream c;
    c << harness::apache_config_head(WORK, MODULES, port) << "<Directory /var/www/>\n"
      << "  Require all granted\n</Directory>\nFcgidIPCDir " << WORK << "/fcgid\n"
      << "FcgidProcessTableFile " << WORK << "/fcgid-shm\nFcgidMaxRequestsPerProcess 500\n"
      << "Define VAREK_SBINDIR " << SBIN << "\n"
      << phpgate_snippet;
    for (const site& s : SITES) {
      std::string user = s.name.substr(0, 5);
      c << "<VirtualHost 127.0.0.1:" << port << ">\n  ServerName " << s.name << "\n  DocumentRoot "
        << s.docroot() << "\n  SuexecUserGroup " << user << " " << user << "\n"
        << vhost_lines(GetParam(), s) << "</VirtualHost>\n";
    }
    // The shipped snippet alone: suEXEC will not run phpgate outside its docroot.
    c << "<VirtualHost 127.0.0.1:" << port << ">\n  ServerName shipped.test\n  DocumentRoot "
      << SITES[0].docroot() << "\n  SuexecUserGroup site1 site1\n</VirtualHost>\n";
    return c.str();
  }

  // The status and body of a GET of /info.php from the host.
  std::string get(const std::string& host) {
    auto r =
        harness::run({harness::CURL, "-s", "--max-time", "20", "-w", "%{http_code}", "-H",
                      "Host: " + host, "http://127.0.0.1:" + std::to_string(port) + "/info.php"});
    return r.out;
  }

  const std::string phpgate_image = harness::read_file(PHPGATE_PATH);
  const std::string phpgate_snippet =
      harness::read_file(VAREK_SOURCE_DIR "/packaging/apache2/vrk-phpgate.conf.in");
  const std::string wrapper_example =
      harness::read_file(VAREK_SOURCE_DIR "/packaging/examples/phpgate-wrapper.in");
  harness::sandbox box;
  int port = 0;
  std::unique_ptr<harness::child> apache;
};

TEST_P(PhpgateSuexec, EachSiteRunsAsItsUserWithItsIni) {
  for (const site& s : SITES)
    EXPECT_EQ(get(s.name), std::to_string(s.uid) + "|" + std::to_string(s.uid % 100 + 70) + "M|" +
                               s.ini_file + "\n200")
        << harness::read_file(WORK + "/error.log") << harness::read_file(SUEXEC_LOG);

  std::string shipped = get("shipped.test");
  EXPECT_EQ(shipped.substr(shipped.size() - 3), "500");
  EXPECT_NE(harness::read_file(SUEXEC_LOG).find("command not in docroot (" + SBIN + "/phpgate)"),
            std::string::npos)
      << harness::read_file(SUEXEC_LOG);
  apache->stop(SIGTERM);
  apache.reset();
  EXPECT_EQ(harness::read_file(WORK + "/error.log").find("site-stderr"), std::string::npos);
}

TEST_P(PhpgateSuexec, TheSiteCannotChangeItsImmutableWrapper) {
  const site& s = SITES[0];
  std::string dir = WRAPPERS + "/" + s.name;
  if (harness::run({"/usr/bin/chattr", "+i", s.wrapper(), dir}).exit_status != 0)
    GTEST_SKIP() << "this kernel or file system cannot make files immutable";
  std::string before = harness::read_file(s.wrapper());
  auto attempt = harness::run(
      {"/usr/bin/setpriv", "--reuid=2001", "--regid=2001", "--clear-groups", "/bin/sh", "-c",
       "echo x >>" + s.wrapper() + " || chmod 777 " + s.wrapper() + " || rm -f " + s.wrapper() +
           " || mv " + dir + " " + dir + ".x || touch " + dir + "/new || exit 0; exit 1"});
  EXPECT_EQ(attempt.exit_status, 0) << "the site user changed its wrapper";
  EXPECT_EQ(harness::read_file(s.wrapper()), before);
  EXPECT_EQ(get(s.name).substr(0, 5), "2001|") << harness::read_file(SUEXEC_LOG);
  harness::run({"/usr/bin/chattr", "-i", s.wrapper(), dir});
}

INSTANTIATE_TEST_SUITE_P(Module, PhpgateSuexec, testing::Values("cgid", "fcgid"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
