// Which files do running processes hold open? Read from /proc/<pid>/fd.
#pragma once

#include <sys/types.h>

#include <compare>
#include <string>
#include <unordered_map>
#include <vector>

// The verbosity of the whole process: set by -v, read by the scan and the
// sweep.
extern bool verbose;

// A file as the kernel knows it, whatever path leads to it: st_dev and
// st_ino. A file reached through a bind mount, a hard link, a chroot or
// another mount namespace has the same identity.
struct file_identity {
  dev_t dev;
  ino_t ino;
  auto operator<=>(const file_identity&) const = default;
};

// An open file and one process that holds it.
struct held_file {
  file_identity file;
  pid_t pid;
};

// The regular files that processes held open when /proc was read.
struct files_in_use {
  // Their identities as a stat through the descriptor gives them, on any
  // device, sorted, one per file: a directory entry's own identity is looked
  // up here, since it may lie on another device than its directory
  // (overlayfs gives its directories a device of its own and their files
  // their layer's).
  std::vector<held_file> identities;
  // The descriptor link texts, the paths by which the kernel names them, of
  // those on file systems that have no block device of their own (tmpfs,
  // overlays, network and FUSE file systems), and of those this process may
  // not examine (a FUSE mount without allow_other refuses even root): the
  // file that a descriptor names by its path is still protected.
  std::unordered_map<std::string, pid_t> paths;
  // With `verbose` only: every descriptor's link text, of any kind of file,
  // repeats included, sorted, for the report of the sweep.
  std::vector<std::string> links;
  // The processes whose descriptors could not be read at all.
  long unreadable = 0;

  // A process that holds open the file with this identity, named `path` in
  // the form of a link text (absolute, from the root, no symbolic link);
  // 0 when none does.
  pid_t holder(const file_identity& file, const std::string& path) const;
};

// Fills `found` (empty on entry) from every /proc/<pid>/fd/<n> of the
// processes this one may inspect: each descriptor is stat-ed through to its
// file on cached attributes only (a descriptor on a hung network mount does
// not hang the scan), and the link of a regular file without a block device
// is read. A descriptor that cannot be stat-ed (EACCES) is kept by its link
// text and the others are read on; when its link cannot be read either, the
// process may not be inspected at all (no CAP_SYS_PTRACE, or a process more
// privileged than this one): it is counted, and named with `verbose`, and
// its other descriptors are not tried. A process whose /proc/<pid>/fd is
// empty but which has other threads than its first (whose main thread has
// ended) is read through each of them. Processes and descriptors that
// vanish meanwhile are passed over silently. Verbosity changes only what is
// written, never what is found.
//
// Returns 0 once /proc has been walked; 1, with an error line on standard
// error, when /proc cannot be opened or does not show even this process's
// own descriptors (an empty file system over it, a procfs that hides
// processes): such a scan would miss every file in use.
int collect_files_in_use(files_in_use& found);
