#include "session_reaper/sweep.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness/files.hpp"
#include "harness/sessreap_output.hpp"

namespace {

using harness::captured_stderr;
namespace fs = std::filesystem;

const std::string ROOT_REFUSED = "Error: opendir() failed : No such file or directory\n";

// The injected clock: a fixed instant, and an optional action run when the
// sweep reads it (after the scan, before the walk).
time_t g_now = 0;
void (*g_on_clock)() = nullptr;
time_t fake_clock(time_t*) {
  if (g_on_clock) g_on_clock();
  return g_now;
}
time_t failing_clock(time_t*) {
  errno = EOVERFLOW;
  return static_cast<time_t>(-1);
}

class Sweep : public ::testing::Test {
 protected:
  void TearDown() override { g_on_clock = nullptr; }
  // Moves the clock so that `path` is `age` seconds old.
  void age(const std::string& path, time_t seconds) { g_now = harness::ctime_of(path) + seconds; }
  bool exists(const std::string& path) { return fs::exists(fs::symlink_status(path)); }
  harness::temp_tree dir;
};

TEST_F(Sweep, RemovesOnlyFilesOlderThanTheLimit) {
  std::string at_limit = dir.write("sess_at_limit");
  std::string younger = dir.write("sess_younger");  // same ctime second or later
  captured_stderr captured(true);
  g_now = harness::ctime_of(at_limit) + 60;
  EXPECT_EQ(sweep_session_dir(dir.root(), 1, fake_clock), 0);
  EXPECT_TRUE(exists(at_limit)) << "an age equal to the limit is not expired";
  EXPECT_TRUE(exists(younger));
  EXPECT_NE(captured.err().find("INFO: Skip file '" + at_limit + "': not expired yet\n"),
            std::string::npos);

  const time_t younger_ctime = harness::ctime_of(younger);
  g_now += 1;
  EXPECT_EQ(sweep_session_dir(dir.root(), 1, fake_clock), 0);
  EXPECT_FALSE(exists(at_limit));
  EXPECT_NE(captured.err().find("INFO: Remove old session file: " + at_limit + "\n"),
            std::string::npos);
  EXPECT_EQ(exists(younger), younger_ctime > g_now - 61) << "kept while not past the limit";
}

TEST_F(Sweep, AFileFromTheFutureIsNotExpired) {
  std::string f = dir.write("sess_future");
  age(f, -3600);
  captured_stderr quiet;
  EXPECT_EQ(sweep_session_dir(dir.root(), 1, fake_clock), 0);
  EXPECT_TRUE(exists(f));
  EXPECT_EQ(quiet.err(), "");
}

TEST_F(Sweep, NeverRemovesWhatIsNotARegularFile) {
  std::string target = dir.write("target");
  std::string sub = dir.root() + "/sub", link = dir.root() + "/link", fifo = dir.root() + "/fifo";
  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
  std::ofstream(sub + "/inner") << "x";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  age(target, 1000000);
  captured_stderr captured;
  EXPECT_EQ(sweep_session_dir(dir.root() + "/", 1, fake_clock), 0);
  EXPECT_FALSE(exists(target));
  for (const auto& p : {sub, sub + "/inner", link, fifo}) EXPECT_TRUE(exists(p)) << p;
  EXPECT_EQ(captured.err(), "") << "other kinds of entry pass without a message";
}

TEST_F(Sweep, KeepsExpiredFilesHeldOpenHoweverTheDirectoryIsNamed) {
  std::string held = dir.write(".sess_held");
  int fd = open(held.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  std::string alias = dir.root() + "-alias";
  ASSERT_EQ(symlink(dir.root().c_str(), alias.c_str()), 0);
  std::string cwd = fs::current_path(), parent = fs::path(dir.root()).parent_path();
  ASSERT_EQ(chdir(parent.c_str()), 0);
  const std::string relative = fs::path(dir.root()).filename();
  for (const std::string& named :
       {dir.root(), relative, alias + "/", parent + "//" + relative + "//"}) {
    std::string expired = dir.write("sess_expired");
    age(held, 1000);
    captured_stderr captured(true);
    EXPECT_EQ(sweep_session_dir(named, 1, fake_clock), 0) << named;
    EXPECT_TRUE(exists(held)) << named;
    EXPECT_FALSE(exists(expired)) << named;
    std::string shown = named.back() == '/' ? named.substr(0, named.size() - 1) : named;
    EXPECT_NE(captured.err().find("INFO: Skip file '" + shown + "/.sess_held': still in use\n"),
              std::string::npos)
        << captured.err();
  }
  EXPECT_EQ(chdir(cwd.c_str()), 0);
  close(fd);
  unlink(alias.c_str());
}

// With -v, the links under the directory are reported by their text: a plain
// prefix of it, so a sibling with a longer name counts, a shorter one never.
TEST_F(Sweep, ReportsTheLinksWhoseTextBeginsWithTheDirectory) {
  dir.make_dirs("sess2");
  const std::string in_sibling = dir.write("sess2/x");
  int fd = open(in_sibling.c_str(), O_RDONLY);
  const std::string line = "INFO: Session file '" + in_sibling + "' is in use.\n";
  for (const char* swept : {"sess", "sess2/x2"}) {
    captured_stderr captured(true);
    EXPECT_EQ(sweep_session_dir(dir.make_dirs(swept), 1, fake_clock), 0);
    EXPECT_EQ(captured.err().find(line) != std::string::npos, swept == std::string("sess"))
        << swept << captured.err();
  }
  close(fd);
}

TEST_F(Sweep, FailuresToOpenOrReadTheClockRemoveNothing) {
  std::string f = dir.write("sess_old");
  struct failure_case {
    std::string dir;
    std::string message;
  } cases[] = {
      {"/", ROOT_REFUSED},
      {dir.root() + "/missing",
       "Error: opendir(" + dir.root() + "/missing) failed : No such file or directory\n"},
      {f, "Error: opendir(" + f + ") failed : Not a directory\n"},
  };
  for (const auto& c : cases) {
    captured_stderr captured;
    EXPECT_EQ(sweep_session_dir(c.dir, 1, fake_clock), 1);
    EXPECT_EQ(captured.err(), c.message);
  }
  captured_stderr captured;
  EXPECT_EQ(sweep_session_dir(dir.root(), 1, failing_clock), 1);
  EXPECT_EQ(captured.err(),
            "Error: time(NULL) failed : " + std::string(strerror(EOVERFLOW)) + "\n");
  EXPECT_TRUE(exists(f));
}

// Several directories against one scan and one clock: each with its own
// lifetime, each once whatever it is named (the first lifetime counts), a
// missing one passed over with a warning, and those that cannot be swept
// (a link not owned by root at or above one among them) failing the run
// after all the others were swept. A dry run first removes nothing and
// prints what the real run then removes, one path a line.
TEST_F(Sweep, SweepsEachListedDirectoryOnceWithItsOwnLifetime) {
  const std::string a = dir.make_dirs("a"), b = dir.make_dirs("b"), c = dir.make_dirs("c");
  const std::string a_old = dir.path("a/sess_old"), b_old = dir.path("b/sess_old");
  const std::string c_old = dir.path("c/sess_old"), held = dir.path("b/sess_held");
  harness::temp_tree victim;  // reached only through links that root does not own
  victim.make_dirs("sessions");
  dir.make_dirs("site");
  dir.make_dirs("rooted/sessions");
  const std::string odd = dir.path("rooted/sessions/sess_\n\\x");
  const std::string site_at = dir.path("site/sessions"), site_above = dir.path("site-above");
  const std::string root_link = dir.path("root-link");
  ASSERT_EQ(symlink(victim.path("sessions").c_str(), site_at.c_str()), 0);
  ASSERT_EQ(symlink(victim.root().c_str(), site_above.c_str()), 0);
  ASSERT_EQ(symlink(dir.path("rooted").c_str(), root_link.c_str()), 0);
  ASSERT_EQ(lchown(site_at.c_str(), 65534, 65534) | lchown(site_above.c_str(), 65534, 65534), 0);
  const std::vector<listed_dir> listed = {
      {a + "/", 1},
      {b, 1},
      {c, 60},
      {b + "/../a", 60},
      {dir.path("gone"), 1},
      {c_old, 1},
      {"/", 1},
      {a + "//", 60},
      {site_at, 1},
      {site_above + "/sessions", 1},
      {root_link + "/sessions", 1},
  };
  const std::string foreign = ") failed : symbolic link not owned by root\n";
  for (bool verbose_mode : {false, true}) {
    for (const std::string& f : {a_old, b_old, c_old, held, odd}) std::ofstream(f) << "x";
    const std::string decoy = victim.write("sessions/sess_old");
    int fd = open(held.c_str(), O_RDONLY);
    g_now = harness::ctime_of(held) + 120;
    for (bool dry_run : {true, false}) {
      captured_stderr captured(verbose_mode);
      sweep_counts counts;
      EXPECT_EQ(sweep_session_dirs(listed, dry_run, fake_clock, counts), 1);
      for (const std::string& f : {a_old, b_old, odd}) EXPECT_EQ(exists(f), dry_run) << f;
      EXPECT_TRUE(exists(c_old) && exists(held) && exists(decoy)) << "never removed";
      EXPECT_EQ(
          captured.out(),
          dry_run ? a_old + "\n" + b_old + "\n" + root_link + "/sessions/sess_\\n\\\\x\n" : "");
      if (!verbose_mode) {
        EXPECT_EQ(captured.err(), "Warning: session directory " + dir.path("gone") +
                                      " does not exist: skipped\nError: opendir(" + c_old +
                                      ") failed : Not a directory\n" + ROOT_REFUSED +
                                      "Error: opendir(" + site_at + foreign + "Error: opendir(" +
                                      site_above + "/sessions" + foreign);
      }
      EXPECT_EQ((std::vector<long>{counts.dirs, counts.removed, counts.kept_in_use, counts.failed}),
                (std::vector<long>{4, 3, 1, 4}));
    }
    close(fd);
  }
}

// The directory is replaced by a symbolic link to another directory after
// it was opened: removals still happen in the directory that was opened.
std::string g_victim, g_opened, g_moved;
void swap_directory_for_link() {
  ASSERT_EQ(rename(g_opened.c_str(), g_moved.c_str()), 0);
  ASSERT_EQ(symlink(g_victim.c_str(), g_opened.c_str()), 0);
}

TEST_F(Sweep, ADirectorySwappedForALinkDuringTheRunRedirectsNothing) {
  harness::temp_tree victim;
  std::string precious = victim.write("sess_old");
  g_victim = victim.root();
  g_opened = dir.root() + "/sessions";
  g_moved = dir.root() + "/moved";
  dir.make_dirs("sessions");
  // The victim's file too is far past the limit.
  g_now = harness::ctime_of(dir.write("sessions/sess_old")) + 100000;
  g_on_clock = swap_directory_for_link;
  captured_stderr quiet;
  EXPECT_EQ(sweep_session_dir(g_opened, 1, fake_clock), 0);
  EXPECT_TRUE(exists(precious)) << "the link's target was left alone";
  EXPECT_FALSE(exists(g_moved + "/sess_old")) << "the opened directory was swept";
  unlink(g_opened.c_str());
}

}  // namespace
