#include "log_router/access_log_path.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "harness/files.hpp"
#include "panel_config/panel_config.hpp"

namespace {

struct free_deleter {
  void operator()(char* p) const { std::free(p); }
};
using owned_text = std::unique_ptr<char, free_deleter>;

std::string text_or_null(char* allocated) {
  owned_text owned(allocated);
  return owned ? std::string(owned.get()) : std::string("(server-wide)");
}

// vhosts/system holds example.com with its logs, nolog.example.com without,
// a symbolic link alias.test -> example.com, and "logs" directories at the
// two places that "." and ".." candidates would reach.
class DomainLogPath : public ::testing::Test {
 protected:
  void SetUp() override {
    tree.make_dirs("vhosts/system/example.com/logs");
    tree.make_dirs("vhosts/system/nolog.example.com");
    tree.make_dirs("vhosts/system/logs");
    tree.make_dirs("vhosts/logs");
    std::filesystem::create_directory_symlink("example.com", tree.path("vhosts/system/alias.test"));
  }
  std::string resolve(const char* vhost, bool ssl) {
    return text_or_null(resolve_domain_log_path(tree.path("vhosts").c_str(), vhost, ssl));
  }
  harness::temp_tree tree;
};

struct path_case {
  const char* vhost;
  bool ssl;
  const char* expected;  // relative to the vhosts directory, or "(server-wide)"
};

constexpr bool SSL = true, PLAIN = false;

}  // namespace

TEST_F(DomainLogPath, CandidatesAndFallback) {
  const path_case cases[] = {
      {"example.com", SSL, "system/example.com/logs/access_ssl_log"},
      {"example.com", PLAIN, "system/example.com/logs/access_log"},
      {"shop.example.com", PLAIN, "system/example.com/logs/access_log"},
      {"a.shop.example.com", SSL, "system/example.com/logs/access_ssl_log"},
      {".example.com", PLAIN, "system/example.com/logs/access_log"},
      {"alias.test", SSL, "system/alias.test/logs/access_ssl_log"},
      // The first existing domain decides, even without a logs directory.
      {"nolog.example.com", SSL, "(server-wide)"},
      {"a.nolog.example.com", PLAIN, "(server-wide)"},
      {"unknown.test", SSL, "(server-wide)"},
      {"", PLAIN, "(server-wide)"},
      {"example.", PLAIN, "(server-wide)"},
      {"EXAMPLE.COM", PLAIN, "(server-wide)"},
  };
  for (const path_case& c : cases) {
    std::string expected = c.expected[0] == '(' ? c.expected : tree.path("vhosts/") + c.expected;
    EXPECT_EQ(resolve(c.vhost, c.ssl), expected) << "vhost \"" << c.vhost << "\" ssl " << c.ssl;
  }
}

// Host names come from outside; none may lead to a logs directory other
// than that of a domain directly under vhosts/system.
TEST_F(DomainLogPath, HostNamesCannotLeaveTheDomainTree) {
  const char* unsafe[] = {
      "..",
      ".",
      "x..",
      "...",
      "a...",
      "../logs",
      "../system/example.com",
      "example.com/../example.com",
      "example.com/",
      "/example.com",
      "/",
      "a.b/../../..",
      "../../../../tmp",
  };
  for (const char* vhost : unsafe)
    EXPECT_EQ(resolve(vhost, PLAIN), "(server-wide)") << "vhost \"" << vhost << "\"";
}

TEST(AccessLogPath, TakesDirectoriesFromPanelConfiguration) {
  harness::temp_tree tree;
  tree.make_dirs("srv/system/example.com/logs");
  tree.write("vrk.conf", "HTTPD_VHOSTS_D " + tree.path("srv") + "\nHTTPD_LOG_D\t" +
                             tree.path("httpd") + "   # web server logs\n");
  ASSERT_EQ(panel_config_load_path(tree.path("vrk.conf").c_str()), 0);
  EXPECT_EQ(text_or_null(resolve_access_log_path("www.example.com", SSL)),
            tree.path("srv/system/example.com/logs/access_ssl_log"));
  EXPECT_EQ(text_or_null(resolve_access_log_path("unknown.test", SSL)),
            tree.path("httpd/access_log"));
  EXPECT_EQ(text_or_null(resolve_access_log_path("../system/example.com", PLAIN)),
            tree.path("httpd/access_log"));
}

TEST(AsprintfOrExit, FormatsIntoNewString) {
  EXPECT_EQ(text_or_null(asprintf_or_exit("%s/system/%s", "/var/www/vhosts", "a.test")),
            "/var/www/vhosts/system/a.test");
  std::string long_name(10000, 'x');
  EXPECT_EQ(text_or_null(asprintf_or_exit("%s/%s", "d", long_name.c_str())), "d/" + long_name);
}

#if !defined(__SANITIZE_ADDRESS__)
// Out of memory: the program's base name, the message with the system error
// text, the system-error suffix, and exit status 1.
TEST(AsprintfOrExitDeathTest, EndsProcessWhenMemoryRunsOut) {
  auto run_out_of_memory = [] {
    diag_program_path = "/usr/sbin/logroute";
    struct rlimit limit = {std::size_t{512} << 20, std::size_t{512} << 20};
    setrlimit(RLIMIT_AS, &limit);
    char* never = asprintf_or_exit("%*s", 1 << 30, "");
    std::free(never);
    std::exit(0);
  };
  EXPECT_EXIT(run_out_of_memory(), ::testing::ExitedWithCode(1),
              "logroute: Cannot allocate memory: Cannot allocate memory\n"
              "System error 12: Cannot allocate memory\n");
}
#endif
