// The process-wide table: built-in defaults, values from the file, the
// per-variable cache and retried loads.  Each case runs in a child process,
// since a loaded table stays for the life of the process.
#include "panel_config/panel_config.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "harness/diag_recorder.hpp"
#include "harness/files.hpp"
#include "harness/process.hpp"
#include "harness/sandbox.hpp"
#include "panel_config/panel_config_known.hpp"

namespace {

using harness::diag_recorder;
using harness::run;
using harness::run_result;
using harness::temp_tree;

// Prints what the sink recorded, one "<priority> <text>" per message.
void print_logged(const diag_recorder& log) {
  for (const harness::logged_message& m : log.messages())
    std::printf("%d %s|", m.priority, m.text.c_str());
}

std::string unknown_name_message(const std::string& name) {
  return "3 variable '" + name +
         "' was found neither in /etc/vrk/vrk.conf, nor in compile-time defaults|";
}

TEST(ProcessWide, EveryVariableHasItsDefault) {
  temp_tree dir;
  std::string path = dir.write("vrk.conf", "# nothing set\n");
  run_result r = run([&] {
    if (panel_config_load_path(path.c_str()) != 0) return 1;
    for (int i = 0; i <= _MAX_POSSIBLE_VRK_CONF_VAR_NAME; i++)
      std::printf("%s\n", panel_config_get(static_cast<panel_config_var>(i)));
    return 0;
  });
  ASSERT_EQ(r.exit_status, 0);
  std::string expected;
  for (const auto& known : PANEL_CONFIG_KNOWN) expected += std::string(known.default_value) + "\n";
  EXPECT_EQ(r.out, expected);
}

TEST(ProcessWide, GetByNameMatchesGetByIndex) {
  temp_tree dir;
  std::string path = dir.write("vrk.conf", "HTTPD_VHOSTS_D /srv/vhosts\nSNI_SUPPORT false\n");
  run_result r = run([&] {
    if (panel_config_load_path(path.c_str()) != 0) return 1;
    for (int i = 0; i < _MAX_POSSIBLE_VRK_CONF_VAR_NAME; i++)
      if (panel_config_get_by_name(PANEL_CONFIG_KNOWN[i].name) !=
          panel_config_get(static_cast<panel_config_var>(i)))
        return 10 + i;
    return 0;
  });
  EXPECT_EQ(r.exit_status, 0) << "mismatch at index " << r.exit_status - 10;
}

struct by_name_case {
  const char* name;
  const char* expected;  // null: unknown, logged
};

TEST(ProcessWide, GetByNameOfUnknownNamesLogsAndReturnsNull) {
  temp_tree dir;
  std::string path = dir.write("vrk.conf", "HTTPD_VHOSTS_D /srv/vhosts\nMY_OWN x\n");
  const by_name_case cases[] = {
      {"HTTPD_VHOSTS_D", "/srv/vhosts"},
      {"HTTPD_SERVICE", "apache2"},
      {"MY_OWN", nullptr},  // stored, but not a known variable
      {"httpd_vhosts_d", nullptr},
      {"", nullptr},
      {"_MAX_POSSIBLE_VRK_CONF_VAR_NAME", nullptr},
      {"_MIN_POSSIBLE_VRK_CONF_VAR_NAME", "_MIN_POSSIBLE_VRK_CONF_VAR_VALUE"},
      {nullptr, nullptr},
  };
  for (const by_name_case& c : cases) {
    run_result r = run([&] {
      diag_recorder log;
      if (panel_config_load_path(path.c_str()) != 0) return 1;
      const char* value = panel_config_get_by_name(c.name);
      std::printf("%s|", value ? value : "(null)");
      print_logged(log);
      return 0;
    });
    std::string shown = c.name != nullptr ? c.name : "(null)";
    EXPECT_EQ(r.exit_status, 0) << shown;
    std::string expected =
        c.expected ? std::string(c.expected) + "|" : "(null)|" + unknown_name_message(shown);
    EXPECT_EQ(r.out, expected) << shown;
  }
}

TEST(ProcessWide, FileValuesAreCachedAndUnsetOnesAreNot) {
  temp_tree dir;
  std::string path = dir.write("vrk.conf", "HTTPD_LOG_D /var/log/httpd\nhttpd_service x\n");
  run_result r = run([&] {
    if (panel_config_load_path(path.c_str()) != 0) return 1;
    const char* cached = panel_config_cached(HTTPD_LOG_D);
    if (cached == nullptr || std::strcmp(cached, "/var/log/httpd") != 0) return 2;
    if (panel_config_get(HTTPD_LOG_D) != cached || panel_config_cached(HTTPD_LOG_D) != cached)
      return 3;
    if (panel_config_cached(HTTPD_SERVICE) != nullptr) return 4;
    if (std::strcmp(panel_config_get(HTTPD_SERVICE), "apache2") != 0) return 5;
    if (std::strcmp(panel_config_lookup("httpd_service"), "x") != 0) return 6;
    return panel_config_lookup("HTTPD_SERVICE") == nullptr ? 0 : 7;
  });
  EXPECT_EQ(r.exit_status, 0);
}

TEST(ProcessWide, IndexesOutsideTheTableGiveNull) {
  run_result r = run([] {
    const panel_config_var outside[] = {static_cast<panel_config_var>(-1),
                                        static_cast<panel_config_var>(31),
                                        static_cast<panel_config_var>(1000)};
    for (panel_config_var var : outside)
      if (panel_config_get(var) != nullptr || panel_config_cached(var) != nullptr) return 1;
    return 0;
  });
  EXPECT_EQ(r.exit_status, 0);
}

TEST(ProcessWide, FailedLoadIsRetriedAndTheFirstSuccessStays) {
  temp_tree dir;
  std::string missing = dir.root() + "/missing.conf";
  std::string first = dir.write("first.conf", "HTTPD_LOG_D /first\n");
  std::string second = dir.write("second.conf", "HTTPD_LOG_D /second\n");
  run_result r = run([&] {
    diag_recorder log;
    for (const std::string* path : {&missing, &missing, &first, &second})
      std::printf("%d ", panel_config_load_path(path->c_str()));
    std::printf("%s|", panel_config_get(HTTPD_LOG_D));
    print_logged(log);
    return 0;
  });
  ASSERT_EQ(r.exit_status, 0);
  std::string open_failure =
      "12 unable to open configuration file " + missing + ": " + std::strerror(ENOENT) + "\n|";
  EXPECT_EQ(r.out, "-1 -1 0 0 /first|" + open_failure + open_failure);
}

// The fixed path, inside a sandbox so that the host's file is never read.
TEST(FixedPath, MissingFileGivesDefaultsAndIsTriedAgainUntilItAppears) {
  harness::sandbox box;
  if (!box.ok()) GTEST_SKIP() << box.why();
  run_result r = run([] {
    diag_recorder log;
    std::printf("%s|", panel_config_get(HTTPD_VHOSTS_D));
    std::printf("%s|", panel_config_get(HTTPD_VHOSTS_D));
    mkdir("/etc/vrk", 0755);
    std::ofstream("/etc/vrk/vrk.conf") << "HTTPD_VHOSTS_D /srv/vhosts\n";
    std::printf("%s|", panel_config_get(HTTPD_VHOSTS_D));
    std::printf("%d|", panel_config_load());
    print_logged(log);
    return 0;
  });
  ASSERT_EQ(r.exit_status, 0);
  std::string open_failure = "12 unable to open configuration file /etc/vrk/vrk.conf: " +
                             std::string(std::strerror(ENOENT)) + "\n|";
  EXPECT_EQ(r.out, "/var/www/vhosts|/var/www/vhosts|/srv/vhosts|0|" + open_failure + open_failure);
}

TEST(FixedPath, LoadReadsTheFixedFile) {
  harness::sandbox box;
  if (!box.ok()) GTEST_SKIP() << box.why();
  box.write_file("/etc/vrk/vrk.conf", "HTTPD_LOG_D\t/var/log/httpd   # inline\r\n");
  run_result r = run([] {
    diag_recorder log;
    int loaded = panel_config_load();
    std::printf("%d %s|", loaded, panel_config_get_by_name("HTTPD_LOG_D"));
    print_logged(log);
    return 0;
  });
  ASSERT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, "0 /var/log/httpd|");
}

}  // namespace
