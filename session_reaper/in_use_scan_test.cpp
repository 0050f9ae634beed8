#include "session_reaper/in_use_scan.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "session_reaper/scratch_test.hpp"

namespace {

using test_support::CapturedStderr;
using test_support::ScratchDir;

// Holds a file open in this very process, which the scan covers too.
struct OpenFile {
  int fd;
  explicit OpenFile(const std::string& path) : fd(open(path.c_str(), O_RDONLY)) {}
  ~OpenFile() { close(fd); }
};

file_identity identity_of(const std::string& path) {
  struct stat st;
  stat(path.c_str(), &st);
  return {st.st_dev, st.st_ino};
}

TEST(InUseScan, CollectsOpenRegularFilesOfTheDeviceOnce) {
  ScratchDir dir;
  std::string held = dir.file("sess_held");
  dir.file("sess_idle");
  OpenFile first(held), second(held), directory(dir.path()), elsewhere("/proc/self/stat");
  CapturedStderr captured(true);

  const dev_t dev = identity_of(dir.path()).dev;
  std::set<file_identity> in_use;
  ASSERT_EQ(collect_files_in_use(dir.path(), dev, in_use), 0);
  EXPECT_EQ(in_use.count(identity_of(held)), 1u);
  EXPECT_EQ(in_use.count(identity_of(dir.path() + "/sess_idle")), 0u);
  EXPECT_EQ(in_use.count(identity_of(dir.path())), 0u) << "a directory is no session";
  for (const file_identity& f : in_use) EXPECT_EQ(f.dev, dev) << "files of other devices";
  // Two descriptors: one element, one verbose line each.
  std::string line = "INFO: Session file '" + held + "' is in use.\n";
  std::string err = captured.err();
  size_t at = err.find(line);
  ASSERT_NE(at, std::string::npos) << err;
  EXPECT_NE(err.find(line, at + 1), std::string::npos) << err;
}

TEST(InUseScan, ReportsLinksByTheirTextButCollectsWhateverTheText) {
  ScratchDir dir;
  std::string sibling_dir = dir.path() + "/sess2";
  ASSERT_EQ(mkdir(sibling_dir.c_str(), 0700), 0);
  std::string in_sibling = sibling_dir + "/x";
  std::ofstream(in_sibling) << "x";
  OpenFile held(in_sibling);
  const dev_t dev = identity_of(dir.path()).dev;
  const std::string reported = "INFO: Session file '" + in_sibling + "' is in use.\n";
  for (const std::string& text :
       {dir.path() + "/sess", in_sibling + "/longer", dir.path().substr(1)}) {
    CapturedStderr captured(true);
    std::set<file_identity> in_use;
    ASSERT_EQ(collect_files_in_use(text, dev, in_use), 0);
    EXPECT_EQ(in_use.count(identity_of(in_sibling)), 1u) << text;
    // A plain prefix of the text: a longer name counts, a shorter target never.
    EXPECT_EQ(captured.err().find(reported) != std::string::npos, text == dir.path() + "/sess")
        << text << captured.err();
  }
  CapturedStderr quiet;
  std::set<file_identity> in_use;
  ASSERT_EQ(collect_files_in_use(dir.path(), dev, in_use), 0);
  EXPECT_EQ(in_use.count(identity_of(in_sibling)), 1u);
  EXPECT_EQ(quiet.err(), "") << "nothing is written without -v";
}

}  // namespace
