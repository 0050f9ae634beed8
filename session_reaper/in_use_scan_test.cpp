#include "session_reaper/in_use_scan.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>

#include "harness/files.hpp"
#include "harness/sessreap_output.hpp"

namespace {

using harness::captured_stderr;

// Holds a file open in this very process, which the scan covers too.
struct open_file {
  int fd;
  explicit open_file(const std::string& path) : fd(open(path.c_str(), O_RDONLY)) {}
  ~open_file() { close(fd); }
};

file_identity identity_of(const std::string& path) {
  struct stat st;
  stat(path.c_str(), &st);
  return {st.st_dev, st.st_ino};
}

TEST(InUseScan, CollectsOpenRegularFilesOfEveryDeviceOnce) {
  harness::temp_tree dir;
  std::string held = dir.write("sess_held");
  dir.write("sess_idle");
  open_file first(held), second(held), directory(dir.root()), elsewhere("/proc/self/stat");
  for (bool verbose_mode : {false, true}) {
    captured_stderr captured(verbose_mode);
    files_in_use found;
    ASSERT_EQ(collect_files_in_use(found), 0);
    std::vector<file_identity> ids;
    for (const held_file& f : found.identities) ids.push_back(f.file);
    EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
    EXPECT_EQ(std::count(ids.begin(), ids.end(), identity_of(held)), 1);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), identity_of(dir.path("sess_idle"))), 0);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), identity_of(dir.root())), 0)
        << "a directory is no session";
    EXPECT_EQ(std::count(ids.begin(), ids.end(), identity_of("/proc/self/stat")), 1)
        << "a file of another device than the directory's";
    // Kept by link text too where there is no block device (procfs here).
    EXPECT_EQ(found.holder({}, "/proc/" + std::to_string(getpid()) + "/stat"), getpid());
    EXPECT_EQ(found.holder({}, held) != 0, major(identity_of(held).dev) == 0);
    EXPECT_EQ(found.holder({}, dir.root()), 0);
    EXPECT_EQ(found.holder(identity_of(held), ""), getpid()) << "the process that holds it";
    // Two descriptors: one element, but each link is kept for the report.
    EXPECT_EQ(std::count(found.links.begin(), found.links.end(), held), verbose_mode ? 2 : 0);
    EXPECT_EQ(std::count(found.links.begin(), found.links.end(), dir.root()), verbose_mode);
    if (!verbose_mode) {
      EXPECT_EQ(captured.err(), "") << "nothing is written without -v";
    }
  }
}

}  // namespace
