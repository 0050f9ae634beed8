// sessreap under load and races: many files, hundreds of processes holding
// sessions open, and files appearing and vanishing while the walk runs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>

#include "harness/process.hpp"
#include "harness/sessreap_run.hpp"

namespace {

using harness::sessreap;

// The scan sees every process of the machine, those of other tests' mount
// namespaces included, and their descriptor links show paths as seen there:
// each test keeps its sessions under a name of its own.
std::string kDir;

void create_files(const std::string& prefix, int count) {
  for (int i = 0; i < count; ++i) {
    std::string path = kDir + "/" + prefix + std::to_string(i);
    int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0) << path;
    close(fd);
  }
}

int count_with_prefix(const std::string& prefix, int count) {
  int present = 0;
  for (int i = 0; i < count; ++i)
    present += access((kDir + "/" + prefix + std::to_string(i)).c_str(), F_OK) == 0;
  return present;
}

// Expired files "old<i>", then, two seconds later, fresh files "new<i>";
// returns the clock at which the old ones are 61 s old and the new ones not
// yet 60 s.
time_t make_session_dir(harness::sandbox& box, int old_count, int new_count) {
  box.make_dirs(kDir, 0733);
  create_files("old", old_count);
  time_t last_old = harness::ctime_of(kDir + "/old" + std::to_string(old_count - 1));
  sleep(2);
  create_files("new", new_count);
  return last_old + 61;
}

// Holds old<first> .. old<first + count*per_holder - 1>, per_holder each.
std::vector<std::unique_ptr<harness::child>> start_holders(int count, int per_holder) {
  std::vector<std::unique_ptr<harness::child>> holders;
  for (int h = 0; h < count; ++h) {
    std::vector<std::string> paths;
    for (int k = 0; k < per_holder; ++k)
      paths.push_back(kDir + "/old" + std::to_string(h * per_holder + k));
    holders.push_back(harness::hold_open(paths));
  }
  return holders;
}

TEST(SessreapStress, HundredsOfHoldersOverAHundredThousandFiles) {
  kDir = "/tmp/sess-many-holders-" + std::to_string(getpid());
  harness::sandbox box;
  if (!box.ok()) GTEST_SKIP() << box.why();
  const int half = 50000, holders = 300, per_holder = 2;
  time_t now = make_session_dir(box, half, half);
  auto held = start_holders(holders, per_holder);

  auto r = sessreap({kDir, "1"}, harness::frozen_clock_env(now));
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(count_with_prefix("old", holders * per_holder), holders * per_holder)
      << "every held file kept";
  EXPECT_EQ(count_with_prefix("old", half), holders * per_holder)
      << "every other expired file removed";
  EXPECT_EQ(count_with_prefix("new", half), half) << "every fresh file kept";
}

// A process that keeps creating and removing files in the directory, as
// PHP does while sessions start and end.
pid_t start_churn() {
  pid_t pid = fork();
  if (pid != 0) return pid;
  for (unsigned i = 0;; ++i) {
    std::string path = kDir + "/churn" + std::to_string(i % 500);
    if (i % 2 == 0)
      close(open(path.c_str(), O_CREAT | O_WRONLY, 0600));
    else
      unlink((kDir + "/churn" + std::to_string((i * 7) % 500)).c_str());
  }
}

TEST(SessreapStress, FilesAppearingAndVanishingDuringTheWalk) {
  kDir = "/tmp/sess-churn-" + std::to_string(getpid());
  harness::sandbox box;
  if (!box.ok()) GTEST_SKIP() << box.why();
  box.write_file("/tmp/outside/old0", "not a session of this directory");
  time_t now = make_session_dir(box, 20000, 5000);
  auto held = start_holders(50, 3);
  pid_t churn = start_churn();

  auto r = sessreap({kDir, "1"}, harness::frozen_clock_env(now));
  kill(churn, SIGKILL);
  waitpid(churn, nullptr, 0);

  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "") << "vanished files pass silently";
  EXPECT_EQ(count_with_prefix("old", 150), 150);
  EXPECT_EQ(count_with_prefix("old", 20000), 150);
  EXPECT_EQ(count_with_prefix("new", 5000), 5000);
  EXPECT_TRUE(box.exists("/tmp/outside/old0"));
}

}  // namespace
