#include "session_reaper/in_use_scan.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness/files.hpp"
#include "harness/sessreap_output.hpp"

namespace {

using harness::captured_stderr;

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
  harness::temp_tree dir;
  std::string held = dir.write("sess_held");
  dir.write("sess_idle");
  OpenFile first(held), second(held), directory(dir.root()), elsewhere("/proc/self/stat");
  captured_stderr captured(true);

  const dev_t dev = identity_of(dir.root()).dev;
  std::set<file_identity> in_use;
  ASSERT_EQ(collect_files_in_use(dir.root(), dev, in_use), 0);
  EXPECT_EQ(in_use.count(identity_of(held)), 1u);
  EXPECT_EQ(in_use.count(identity_of(dir.root() + "/sess_idle")), 0u);
  EXPECT_EQ(in_use.count(identity_of(dir.root())), 0u) << "a directory is no session";
  for (const file_identity& f : in_use) EXPECT_EQ(f.dev, dev) << "files of other devices";
  // Two descriptors: one element, one verbose line each.
  std::string line = "INFO: Session file '" + held + "' is in use.\n";
  std::string err = captured.err();
  size_t at = err.find(line);
  ASSERT_NE(at, std::string::npos) << err;
  EXPECT_NE(err.find(line, at + 1), std::string::npos) << err;
}

TEST(InUseScan, ReportsLinksByTheirTextButCollectsWhateverTheText) {
  harness::temp_tree dir;
  dir.make_dirs("sess2");
  std::string in_sibling = dir.write("sess2/x");
  OpenFile held(in_sibling);
  const dev_t dev = identity_of(dir.root()).dev;
  const std::string reported = "INFO: Session file '" + in_sibling + "' is in use.\n";
  for (const std::string& text :
       {dir.root() + "/sess", in_sibling + "/longer", dir.root().substr(1)}) {
    captured_stderr captured(true);
    std::set<file_identity> in_use;
    ASSERT_EQ(collect_files_in_use(text, dev, in_use), 0);
    EXPECT_EQ(in_use.count(identity_of(in_sibling)), 1u) << text;
    // A plain prefix of the text: a longer name counts, a shorter target never.
    EXPECT_EQ(captured.err().find(reported) != std::string::npos, text == dir.root() + "/sess")
        << text << captured.err();
  }
  captured_stderr quiet;
  std::set<file_identity> in_use;
  ASSERT_EQ(collect_files_in_use(dir.root(), dev, in_use), 0);
  EXPECT_EQ(in_use.count(identity_of(in_sibling)), 1u);
  EXPECT_EQ(quiet.err(), "") << "nothing is written without -v";
}

}  // namespace
