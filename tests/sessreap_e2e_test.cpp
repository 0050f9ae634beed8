// sessreap end to end: the built program in a private mount namespace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "harness/process.hpp"
#include "harness/sessreap_run.hpp"
#include "harness/wait.hpp"

namespace {

using harness::ctime_of;
using harness::frozen_clock_env;
using harness::sessreap;
using namespace std::chrono_literals;

const std::string USAGE = "usage: [-v] <session_dir> <lifetime_minutes>\n";
const std::string NOT_ENOUGH = "Error: not enough arguments.\n" + USAGE;
const std::string ROOT_REFUSED = "Error: opendir() failed : No such file or directory\n";
const std::string LIFETIME_WARNING =
    "lifetime_minutes must be a positive number, using default 24 instead of ";

// Verbose output without the warnings about processes whose descriptors
// this run may not read (such as those of other namespaces' init), which
// depend on the machine.
std::string without_readlink_warnings(const std::string& err) {
  std::string kept, line;
  for (size_t at = 0; at < err.size();) {
    size_t end = err.find('\n', at);
    end = end == std::string::npos ? err.size() : end + 1;
    line = err.substr(at, end - at);
    if (line.rfind("Warning: readlink failed on /proc/", 0) != 0 &&
        line.rfind("Warning: cannot read the open files of process ", 0) != 0)
      kept += line;
    at = end;
  }
  return kept;
}

// Closes the standard descriptors of a child before its program starts.
bool close_standard_fds() { return close(0) == 0 && close(1) == 0 && close(2) == 0; }

// A directory name no other test process uses at the same time.
std::string own_dir(const std::string& base) { return base + "-" + std::to_string(getpid()); }

struct command_line_case {
  std::vector<std::string> args;
  int status;
  std::string out;
  std::string err;  // exact, or the ending when it starts with "..."
};

class Sessreap : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!box.ok()) GTEST_SKIP() << box.why();
    box.make_dirs("/tmp/sess", 0700);
  }
  // The scan sees the processes of every test running at the same time,
  // whose links show paths as seen in their own namespaces: tests that
  // check verbose output or hold files open use directories of their own
  // (see own_dir).
  std::string session(const std::string& name, const std::string& dir = "/tmp/sess") {
    box.write_file(dir + "/" + name, "x|s:1:\"y\";");
    return dir + "/" + name;
  }
  harness::sandbox box;
};

TEST_F(Sessreap, CommandLineRules) {
  const command_line_case cases[] = {
      {{}, 1, "", NOT_ENOUGH},
      {{"/tmp/sess"}, 1, "", NOT_ENOUGH},
      {{"-v", "/tmp/sess"}, 1, "", NOT_ENOUGH},
      {{"-h"}, 0, USAGE, ""},
      {{"-v", "-h", "/tmp/missing", "5"}, 0, USAGE, ""},
      {{"-h", "-x"}, 0, USAGE, ""},
      {{"-x", "-h"}, 1, "", "...invalid option -- 'x'\n" + USAGE},
      {{"-x", "/tmp/missing", "5"}, 1, "", "...invalid option -- 'x'\n" + USAGE},
      {{"/tmp/sess", "-5"}, 1, "", "...invalid option -- '5'\n" + USAGE},
      {{"/tmp/sess", "5", "extra"}, 0, "", ""},
      {{"/tmp/sess", "+10"}, 0, "", ""},
      {{"--", "/tmp/sess", "-5"}, 0, "", LIFETIME_WARNING + "'-5'\n"},
      {{"/tmp/sess", "-"}, 0, "", LIFETIME_WARNING + "'-'\n"},
      {{"/tmp/sess", ""}, 0, "", LIFETIME_WARNING + "''\n"},
      {{"/tmp/sess", " 5"}, 0, "", LIFETIME_WARNING + "' 5'\n"},
      {{"/tmp/sess", "35791395"}, 0, "", LIFETIME_WARNING + "'35791395'\n"},
      {{"/tmp/sess", "99999999999"}, 0, "", LIFETIME_WARNING + "'99999999999'\n"},
      {{"/tmp/sess", "35791394"}, 0, "", ""},
      {{"/tmp/missing", "5"},
       1,
       "",
       "Error: opendir(/tmp/missing) failed : No such file or directory\n"},
      {{"/tmp/missing/", "abc"},
       1,
       "",
       LIFETIME_WARNING +
           "'abc'\nError: opendir(/tmp/missing) failed : No such file or directory\n"},
      {{"/", "5"}, 1, "", ROOT_REFUSED},
      // The root directory however it is named: refused before /proc is read
      // (no verbose line), even with a lifetime under which nothing expires.
      {{"-v", "//", "35791394"}, 1, "", ROOT_REFUSED},
      {{"-v", "/.", "35791394"}, 1, "", ROOT_REFUSED},
      {{"-v", "/tmp/..", "35791394"}, 1, "", ROOT_REFUSED},
      {{"-v", "/tmp/root-link/", "35791394"}, 1, "", ROOT_REFUSED},
      // A link that a site owns, at the directory or above it, aims nothing.
      {{"-v", "/tmp/site-link", "5"},
       1,
       "",
       "Error: opendir(/tmp/site-link) failed : symbolic link not owned by root\n"},
      {{"/tmp/site-link/sess", "5"},
       1,
       "",
       "Error: opendir(/tmp/site-link/sess) failed : symbolic link not owned by root\n"},
  };
  ASSERT_EQ(symlink("/", "/tmp/root-link"), 0);
  ASSERT_EQ(symlink("/tmp", "/tmp/site-link"), 0);
  ASSERT_EQ(lchown("/tmp/site-link", 65534, 65534), 0);
  for (const auto& c : cases) {
    std::string shown;
    for (const auto& a : c.args) shown += "[" + a + "] ";
    auto r = sessreap(c.args);
    EXPECT_EQ(r.exit_status, c.status) << shown;
    EXPECT_EQ(r.out, c.out) << shown;
    if (c.err.rfind("...", 0) == 0) {
      std::string tail = c.err.substr(3);
      EXPECT_TRUE(r.err.size() >= tail.size() && r.err.ends_with(tail)) << shown << r.err;
    } else {
      EXPECT_EQ(r.err, c.err) << shown;
    }
  }
}

TEST_F(Sessreap, OptionsMayFollowTheOperands) {
  const std::string dir = own_dir("/tmp/sess-options");
  std::string fresh = session("sess_fresh", dir);
  auto r = sessreap({dir, "5", "-v"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(without_readlink_warnings(r.err), "INFO: Session file '" + dir +
                                                  "' is in use.\n"
                                                  "INFO: Skip file '" +
                                                  dir + "/sess_fresh': not expired yet\n");
}

TEST_F(Sessreap, RemovesExpiredFilesAndKeepsFreshOnesAtTheExactBoundary) {
  const std::string dir = own_dir("/tmp/sess-boundary");
  std::string old_file = session("sess_old", dir);
  std::string hidden = session(".hidden_old", dir);
  // Timestamps come from a coarse clock that may lag a little behind the
  // one sleep measures: three seconds keep two whole ones between the files.
  sleep(3);
  std::string fresh = session("sess_fresh", dir);
  time_t t_old = ctime_of(old_file), t_fresh = ctime_of(fresh);
  ASSERT_GE(t_fresh - t_old, 2);

  // Exactly 60 s after the fresh file: it stays, the older ones go.
  auto r = sessreap({dir, "1"}, frozen_clock_env(t_fresh + 60));
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "") << "a quiet run writes nothing";
  EXPECT_FALSE(box.exists(old_file));
  EXPECT_FALSE(box.exists(hidden));
  EXPECT_TRUE(box.exists(fresh));

  r = sessreap({"-v", dir, "1"}, frozen_clock_env(t_fresh + 61));
  EXPECT_EQ(without_readlink_warnings(r.err), "INFO: Session file '" + dir +
                                                  "' is in use.\n"
                                                  "INFO: Remove old session file: " +
                                                  dir + "/sess_fresh\n");
  EXPECT_FALSE(box.exists(fresh));
}

TEST_F(Sessreap, KeepsFilesHeldOpenByARunningProcessHoweverTheDirectoryIsNamed) {
  const std::string dir = own_dir("/tmp/live"), base = dir.substr(5);
  std::string held = session("sess_held", dir);
  auto holder = harness::hold_open({held});
  box.make_dirs("/tmp/elsewhere");
  ASSERT_EQ(symlink(dir.c_str(), "/tmp/elsewhere/link"), 0);
  const std::vector<std::pair<std::vector<std::string>, std::string>> namings = {
      {{"-v", dir, "1"}, dir},
      {{"-v", base + "/", "1"}, base},                        // relative, run from /tmp
      {{"-v", "../tmp/./" + base, "1"}, "../tmp/./" + base},  // dot components
      {{"-v", "/tmp/elsewhere/link", "1"}, "/tmp/elsewhere/link"},
      {{"-v", "/tmp//" + base + "//", "1"}, "/tmp//" + base + "/"},
  };
  for (const auto& [args, shown] : namings) {
    session("sess_unused", dir);
    auto r = sessreap(args, frozen_clock_env(ctime_of(held) + 3600), "/tmp");
    EXPECT_EQ(r.exit_status, 0) << shown;
    EXPECT_TRUE(box.exists(held)) << shown;
    EXPECT_FALSE(box.exists(dir + "/sess_unused")) << shown;
    EXPECT_NE(r.err.find("INFO: Session file '" + dir + "/sess_held' is in use.\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("INFO: Skip file '" + shown + "/sess_held': still in use\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("INFO: Remove old session file: " + shown + "/sess_unused\n"),
              std::string::npos)
        << r.err;
  }
}

// An overlay at `merged` over an empty lower directory of /tmp, whose upper
// layer is a tmpfs of its own: a device apart from both /tmp and the overlay.
void mount_overlay(harness::sandbox& box, const std::string& merged, const std::string& xino) {
  const std::string lower = merged + "-lower", layer = merged + "-upper";
  box.mount_tmpfs(layer);
  for (const auto& d : {lower, layer + "/upper", layer + "/work", merged}) box.make_dirs(d);
  const std::string options =
      "lowerdir=" + lower + ",upperdir=" + layer + "/upper,workdir=" + layer + "/work,xino=" + xino;
  ASSERT_EQ(mount("overlay", merged.c_str(), "overlay", 0, options.c_str()), 0) << strerror(errno);
}

// A FUSE mount that no one serves, of user nobody without allow_other (a
// site user's sshfs): root may hold its root directory but not stat it.
// Returns the connection, to be closed after the unmount.
int mount_foreign_fuse(harness::sandbox& box, const std::string& at) {
  box.make_dirs(at);
  int fuse = open("/dev/fuse", O_RDWR | O_CLOEXEC);
  const std::string options =
      "fd=" + std::to_string(fuse) + ",rootmode=40000,user_id=65534,group_id=65534";
  return mount("varek-test", at.c_str(), "fuse.varek-test", 0, options.c_str()) == 0 ? fuse : -1;
}

// Who holds the session, and how this run looks at it.
enum class held_by {
  process,          // a process that opened it by held_as
  other_namespace,  // one that sees the directory at /mnt only
  other_user,       // nobody, with PHP's flock, read without CAP_SYS_PTRACE
  fuse_first,       // a process whose descriptor before it root may not examine
  leader_gone,      // a thread of a process whose main thread has ended
  unseen,           // a process with a record lock, outside this run's PID namespace
};

// The same file reached by another path than the swept one: a bind mount
// (PrivateTmp, a chroot, a container), a hard link, another mount namespace;
// a file of an overlay (a container's root, a live image) whose upper layer
// lies on another device than the overlay's directories report; and a
// session whose holder the scan cannot read or see, kept by its lock. Each
// case runs sessreap and sessreap-dirs, quiet and verbose, and once more
// with the standard descriptors closed.
TEST_F(Sessreap, KeepsFilesHeldOpenThroughAnyPathToThem) {
  const std::string dir = own_dir("/tmp/paths"), alias = dir + "-alias", hard = dir + "-link";
  const std::string xino_off = dir + "-xino-off", xino_on = dir + "-xino-on", fuse = dir + "-fuse";
  std::string held = session("sess_held", dir);
  box.make_dirs(alias);
  ASSERT_EQ(mount(dir.c_str(), alias.c_str(), nullptr, MS_BIND, nullptr), 0);
  ASSERT_EQ(link(held.c_str(), hard.c_str()), 0);
  mount_overlay(box, xino_off, "off");
  mount_overlay(box, xino_on, "on");
  const int fuse_connection = mount_foreign_fuse(box, fuse);
  ASSERT_GE(fuse_connection, 0) << "FUSE: " << strerror(errno);
  struct {
    std::string made_in, held_as, swept_as;
    held_by by;
  } const rows[] = {
      {dir, alias + "/sess_held", dir, held_by::process},
      {dir, held, alias, held_by::process},
      {dir, hard, dir, held_by::process},
      {dir, "/mnt/sess_held", dir, held_by::other_namespace},
      {xino_off, session("sess_held", xino_off), xino_off, held_by::process},
      {xino_on, session("sess_held", xino_on), xino_on, held_by::process},
      {dir, held, dir, held_by::other_user},
      {dir, held, dir, held_by::fuse_first},
      {dir, held, dir, held_by::leader_gone},
      {dir, held, dir, held_by::unseen},
  };
  const auto clock = frozen_clock_env(ctime_of(held) + 3600);
  for (const auto& [made_in, held_as, swept_as, by] : rows) {
    const bool locks = by == held_by::other_user || by == held_by::unseen;
    session("sess_held", made_in);  // the same file, even after a row that failed to keep it
    std::unique_ptr<harness::child> holder;
    if (by == held_by::other_namespace) {
      holder = std::make_unique<harness::child>(
          std::vector<std::string>{"unshare", "-m", "sh", "-c",
                                   "mount --bind " + dir + " /mnt && exec sleep 60 9<" + held_as},
          harness::run_options{.env = harness::current_environment()});
      const std::string fd = "/proc/" + std::to_string(holder->pid()) + "/fd/9";
      ASSERT_TRUE(harness::wait_until([&] { return access(fd.c_str(), F_OK) == 0; }, 5s))
          << "the holder never opened /mnt/sess_held";
    } else {
      const auto lock = by == held_by::other_user ? harness::held_lock::flock
                        : by == held_by::unseen   ? harness::held_lock::record
                                                  : harness::held_lock::none;
      holder = harness::hold_open({held_as}, {.lock = lock,
                                              .uid = by == held_by::other_user ? 65534u : 0u,
                                              .first = by == held_by::fuse_first ? fuse : "",
                                              .leader_exits = by == held_by::leader_gone});
    }
    std::vector<std::string> wrapper;
    if (by == held_by::other_user)
      wrapper = {"capsh", "--drop=cap_sys_ptrace", "--", "-c", "exec \"$0\" \"$@\""};
    if (by == held_by::unseen) wrapper = {"unshare", "-pf", "--mount-proc"};
    struct {
      bool dirs, verbose_mode, closed;
    } const runs[] = {{false, false, false},
                      {false, true, false},
                      {true, true, false},
                      {false, false, true},
                      {true, false, true}};
    for (const auto& [dirs, verbose_mode, closed] : runs) {
      // valgrind keeps descriptor 2 for its own messages, even when closed.
      if (closed && getenv("VAREK_E2E_WRAPPER") != nullptr) continue;
      session("sess_unused", made_in);
      std::vector<std::string> argv = wrapper;
      argv.push_back(dirs ? SESSREAP_DIRS_PATH : SESSREAP_PATH);
      if (verbose_mode) argv.push_back("-v");
      if (dirs)
        argv.push_back(swept_as + ":1");
      else
        argv.insert(argv.end(), {swept_as, "1"});
      auto r =
          harness::run(argv, {.env = clock, .in_child = closed ? close_standard_fds : nullptr});
      const std::string shown = held_as + " " + std::to_string(int(by)) + " " + argv.back();
      EXPECT_EQ(r.exit_status, 0) << shown << r.err;
      EXPECT_TRUE(box.exists(made_in + "/sess_held")) << shown;
      EXPECT_FALSE(box.exists(made_in + "/sess_unused")) << shown;
      if (!verbose_mode) {
        EXPECT_EQ(r.err, "") << shown;
      }
      const std::string kept = "INFO: Skip file '" + swept_as + "/sess_held': still in use";
      EXPECT_EQ(r.err.find(kept) != std::string::npos, verbose_mode) << shown << r.err;
      if (dirs && verbose_mode) {
        EXPECT_NE(r.err.find(kept + (locks ? " (locked)" : " (open in process ")),
                  std::string::npos)
            << shown << r.err;
      }
      const std::string unread = "Warning: cannot read the open files of process " +
                                 std::to_string(holder->pid()) + " (uid 65534) : Permission denied";
      EXPECT_EQ(r.err.find(unread) != std::string::npos, by == held_by::other_user && verbose_mode)
          << shown << r.err;
    }
  }
  for (const auto& mounted : {fuse, xino_on, xino_off, alias}) umount2(mounted.c_str(), MNT_DETACH);
  close(fuse_connection);
}

TEST_F(Sessreap, NeverRemovesLinksDirectoriesOrPipes) {
  std::string target = session("sess_target");
  ASSERT_EQ(symlink("/tmp/sess/sess_target", "/tmp/sess/sess_link"), 0);
  ASSERT_EQ(mkfifo("/tmp/sess/sess_fifo", 0600), 0);
  box.write_file("/tmp/sess/sess_dir/sess_inner", "x");
  auto r = sessreap({"/tmp/sess", "1"}, frozen_clock_env(ctime_of(target) + 3600));
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(box.exists(target));
  for (const char* p :
       {"/tmp/sess/sess_link", "/tmp/sess/sess_fifo", "/tmp/sess/sess_dir/sess_inner"})
    EXPECT_TRUE(box.exists(p)) << p;
}

TEST_F(Sessreap, AFailedRemovalIsReportedButTheSweepSucceeds) {
  std::string stuck = session("sess_stuck");
  box.make_read_only("/tmp/sess");
  auto r = sessreap({"/tmp/sess", "1"}, frozen_clock_env(ctime_of(stuck) + 3600));
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "Warning: failed to remove /tmp/sess/sess_stuck : Read-only file system\n");
  EXPECT_TRUE(box.exists(stuck));
}

// The sweep of several directories: a removal that fails, fails the run,
// after the directories listed after it were swept; a missing directory (a
// deleted site) is only a warning.
TEST_F(Sessreap, SessreapDirsFailsAfterSweepingTheOthers) {
  const std::string stuck_dir = own_dir("/tmp/sess-ro"), dir = own_dir("/tmp/sess-many");
  std::string stuck = session("sess_stuck", stuck_dir), old_file = session("sess_old", dir);
  box.make_read_only(stuck_dir);
  const auto clock = frozen_clock_env(ctime_of(old_file) + 3600);
  auto r = harness::sessreap_dirs({stuck_dir + ":1", "/tmp/gone:1", dir + ":1"}, clock);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err, "Warning: failed to remove " + stuck +
                       " : Read-only file system\n"
                       "Warning: session directory /tmp/gone does not exist: skipped\n");
  EXPECT_TRUE(box.exists(stuck));
  EXPECT_FALSE(box.exists(old_file));

  session("sess_old", dir);
  r = harness::sessreap_dirs({"-v", "/tmp/gone:1", dir + ":1"}, clock);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_NE(r.err.find("INFO: directories swept: 1, files removed: 1, kept in use: 0, "
                       "failed: 0, processes not read: "),
            std::string::npos)
      << r.err;
  // A lifetime that sessreap would not take fails its entry alone; the list
  // comes on the standard input too.
  session("sess_old", dir);
  r = harness::run({SESSREAP_DIRS_PATH, "/tmp/sess:2h", "-f", "-"},
                   {.env = clock, .input = dir + ":1\n\n"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err, "Error: invalid lifetime in '/tmp/sess:2h'\n");
  EXPECT_FALSE(box.exists(old_file));
  r = harness::sessreap_dirs({dir});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_TRUE(r.err.starts_with("Error: no lifetime in '" + dir + "'\n")) << r.err;
}

TEST_F(Sessreap, ABlindProcRemovesNothing) {
  std::string old_file = session("sess_old");
  // The sanitizer runtime reads its options from /proc and its leak check
  // needs it, so a sanitized build can take neither the clock preload nor a
  // clean exit here: it only shows the refusal, on a merely fresh file.
#if defined(__SANITIZE_ADDRESS__)
  std::vector<std::string> env;
  const bool sanitized = true;
#else
  auto env = frozen_clock_env(ctime_of(old_file) + 3600);
  const bool sanitized = false;
#endif
  // An empty file system over /proc opens fine but shows no process: the
  // run cannot tell open sessions from idle ones and must not guess.
  box.mount_tmpfs("/proc", "size=4k");
  auto r = sessreap({"/tmp/sess", "1"}, env);  // the sandbox unmounts it again
  const std::string refusal = "Error: unable to read /proc/self/fd : No such file or directory\n";
  EXPECT_EQ(r.exit_status, 1);
  if (sanitized)
    EXPECT_NE(r.err.find(refusal), std::string::npos) << r.err;
  else
    EXPECT_EQ(r.err, refusal);
  EXPECT_TRUE(box.exists(old_file));
}

}  // namespace
