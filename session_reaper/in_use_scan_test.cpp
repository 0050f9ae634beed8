#include "session_reaper/in_use_scan.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
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

TEST(InUseScan, CollectsOpenFilesUnderTheDirectoryOnce) {
  ScratchDir dir;
  std::string held = dir.file("sess_held");
  dir.file("sess_idle");
  OpenFile first(held), second(held);
  CapturedStderr captured(true);

  std::set<std::string> in_use;
  ASSERT_EQ(collect_files_in_use(dir.path(), in_use), 0);
  EXPECT_EQ(in_use.count(held), 1u);
  EXPECT_EQ(in_use.count(dir.path() + "/sess_idle"), 0u);
  // Two descriptors: one element, one verbose line each.
  std::string line = "INFO: Session file '" + held + "' is in use.\n";
  std::string err = captured.err();
  size_t at = err.find(line);
  ASSERT_NE(at, std::string::npos) << err;
  EXPECT_NE(err.find(line, at + 1), std::string::npos) << err;
}

TEST(InUseScan, MatchesByPlainPrefixOfTheDirectoryText) {
  ScratchDir dir;
  std::string sibling_dir = dir.path() + "/sess2";
  mkdir(sibling_dir.c_str(), 0700);
  std::string in_sibling = sibling_dir + "/x";
  std::ofstream(in_sibling) << "x";
  OpenFile held(in_sibling);
  CapturedStderr quiet;

  std::set<std::string> in_use;
  ASSERT_EQ(collect_files_in_use(dir.path() + "/sess", in_use), 0);
  EXPECT_EQ(in_use.count(in_sibling), 1u) << "a longer name with the same prefix counts";
  in_use.clear();
  ASSERT_EQ(collect_files_in_use(in_sibling + "/longer-than-the-target", in_use), 0);
  EXPECT_EQ(in_use.count(in_sibling), 0u) << "a target shorter than the directory never counts";
  EXPECT_EQ(quiet.err(), "") << "nothing is written without -v";
}

TEST(InUseScan, ARelativeDirectoryTextMatchesNoTarget) {
  ScratchDir dir;
  std::string held = dir.file("sess_held");
  OpenFile open_file(held);
  CapturedStderr quiet;
  std::set<std::string> in_use;
  ASSERT_EQ(collect_files_in_use(dir.path().substr(1), in_use), 0);
  EXPECT_TRUE(in_use.empty());
}

}  // namespace
