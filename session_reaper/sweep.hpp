// The expiry sweep: removes the expired session files nobody holds open.
#pragma once

#include <ctime>
#include <string>
#include <vector>

// Removes every regular file directly in session_dir whose status-change
// time lies more than lifetime_minutes (1 to MAX_LIFETIME_MINUTES) before
// the start of the walk, unless it is in use:
// - a running process holds it open, as the scan of /proc shows: the same
//   file (device and inode), by whatever path, bind mount or hard link it
//   was opened, or (without a block device) the file a descriptor names by
//   path;
// - or another process holds a lock on it (file_lock.hpp), which needs no
//   view of that process: each expired file is opened (O_RDONLY |
//   O_NOFOLLOW | O_NONBLOCK, never a FIFO or a device, since only what the
//   walk found a regular file is opened), checked to be the file that was
//   examined, tested, and removed while this run holds its flock.
// One trailing slash of session_dir is dropped first. The directory is
// reached by the link rule of dir_walk.hpp (a link is followed only when
// root owns it). The root directory, however named, is refused like a
// directory that cannot be opened, before /proc is read. Removals happen in
// the directory that was opened, whatever its path names meanwhile. Returns
// the exit status: 0 when the directory was walked to its end (files that
// could not be examined or removed give a warning), 1 when the directory,
// /proc or the clock could not be read (then nothing is removed).
int sweep_session_dir(std::string session_dir, int lifetime_minutes);

// The same with the clock supplied, so tests can move time.
using clock_reader = time_t (*)(time_t*);
int sweep_session_dir(std::string session_dir, int lifetime_minutes, clock_reader read_clock);

// A directory to sweep among several, with its own lifetime.
struct listed_dir {
  std::string session_dir;
  int lifetime_minutes;
};

// What a sweep of several directories did.
struct sweep_counts {
  long dirs = 0;         // directories swept
  long removed = 0;      // files removed (in a dry run: that would have been)
  long kept_in_use = 0;  // expired files kept because they are held open or locked
  long failed = 0;       // directories that could not be swept, files that could not be removed
  long unreadable = 0;   // processes whose open files could not be read
};

// Sweeps each directory as sweep_session_dir does, with the same messages and
// safety, against one reading of /proc and of the clock taken before the
// first one is opened, and adds to `counts`. With `verbose`, the line of a
// file kept in use says why: the process that holds it, or a lock. Each
// directory is swept once, with the lifetime of its first listing by
// whatever name; one that does not exist (a deleted site) is passed over
// with a warning. A dry run does everything but the removals (the scan,
// the lock test, the messages, the counts), and writes each file that it
// would have removed on standard output, one per line, a backslash in its
// path written as "\\" and a newline as "\n". Returns 1 when /proc or the
// clock could not be read (then nothing is removed) or when a directory
// could not be swept or a file not removed (after all the others were
// swept); 0 otherwise.
int sweep_session_dirs(const std::vector<listed_dir>& dirs, bool dry_run, clock_reader read_clock,
                       sweep_counts& counts);
