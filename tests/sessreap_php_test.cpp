// sessreap against real PHP sessions: files written by php-cli, one of them
// held open by a PHP process that is still running.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "harness/fixed_paths.hpp"
#include "harness/process.hpp"
#include "harness/sessreap_run.hpp"
#include "harness/wait.hpp"

namespace {

using harness::sessreap;
using namespace std::chrono_literals;

const char SAVE_PATH[] = "/tmp/php-sessions";

std::vector<std::string> php_args(const std::string& code) {
  return {
      harness::PHP_CLI,           "-n", "-d", std::string("session.save_path=") + SAVE_PATH, "-d",
      "session.gc_probability=0", "-r", code};
}

std::string start_session(const std::string& id, const std::string& then = "") {
  return "session_id('" + id + "'); session_start(); $_SESSION['user'] = '" + id + "';" + then;
}

bool holds_open(pid_t pid, const std::string& path) {
  std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(fd_dir, ec))
    if (std::filesystem::read_symlink(e.path(), ec) == path) return true;
  return false;
}

TEST(SessreapWithPhp, RemovesExactlyTheExpiredSessionsNoPhpProcessHolds) {
  if (access(harness::PHP_CLI.c_str(), X_OK) != 0) GTEST_SKIP() << "php-cli is not installed";
  harness::sandbox box;
  if (!box.ok()) GTEST_SKIP() << box.why();
  box.make_dirs(SAVE_PATH, 0733);

  for (const char* id : {"idle1", "idle2", "idle3"}) {
    auto r = harness::run(php_args(start_session(id)), {.env = harness::current_environment()});
    ASSERT_EQ(r.exit_status, 0) << r.err;
  }
  const std::string held = std::string(SAVE_PATH) + "/sess_busy1";
  harness::child busy(php_args(start_session("busy1", "sleep(120);")),
                      {.env = harness::current_environment()});
  ASSERT_TRUE(harness::wait_until([&] { return holds_open(busy.pid(), held); }, 20s))
      << "PHP never opened its session file";

  // With the real clock every session is fresh.
  auto r = sessreap({SAVE_PATH, "24"}, harness::current_environment());
  EXPECT_EQ(r.exit_status, 0) << r.err;
  for (const char* id : {"idle1", "idle2", "idle3", "busy1"})
    EXPECT_TRUE(box.exists(std::string(SAVE_PATH) + "/sess_" + id)) << id;

  // An hour on, with a lifetime of 24 minutes, the idle ones have expired.
  r = sessreap({SAVE_PATH, "24"}, harness::frozen_clock_env(harness::ctime_of(held) + 3600));
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  for (const char* id : {"idle1", "idle2", "idle3"})
    EXPECT_FALSE(box.exists(std::string(SAVE_PATH) + "/sess_" + id)) << id;
  EXPECT_TRUE(box.exists(held));
}

}  // namespace
