// Which files do running processes hold open? Read from /proc/<pid>/fd.
#pragma once

#include <sys/types.h>

#include <compare>
#include <string>
#include <unordered_set>
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

// The regular files that processes held open when /proc was read.
struct files_in_use {
  // Their identities as a stat through the descriptor gives them, on any
  // device, sorted: a directory entry's own identity is looked up here,
  // since it may lie on another device than its directory (overlayfs gives
  // its directories a device of its own and their files their layer's).
  std::vector<file_identity> identities;
  // The descriptor link texts, the paths by which the kernel names them, of
  // those on file systems that have no block device of their own (tmpfs,
  // overlays, network and FUSE file systems): where descriptors and path
  // lookups do not agree on identities, the file that a descriptor names by
  // its path is still protected.
  std::unordered_set<std::string> paths;
  // With `verbose` only: every descriptor's link text, of any kind of file,
  // repeats included, for the report of the sweep.
  std::vector<std::string> links;

  // True when the file with this identity, named `path` in the form of a
  // link text (absolute, from the root, no symbolic link), is held open.
  bool holds(const file_identity& file, const std::string& path) const;
};

// Fills `found` (empty on entry) from every /proc/<pid>/fd/<n> of the
// processes this one may inspect: each descriptor is stat-ed through to its
// file on cached attributes only (a descriptor on a hung network mount does
// not hang the scan), and the link of a regular file without a block device
// is read. A process whose descriptors may not be inspected (EACCES) is
// passed over at its first descriptor; with `verbose` every link is read,
// and one that cannot be gives a warning.
//
// Returns 0 once /proc has been walked (processes and descriptors that
// vanish meanwhile are passed over); 1, with an error line on standard
// error, when /proc cannot be opened or does not show even this process's
// own descriptors (an empty file system over it, a procfs that hides
// processes): such a scan would miss every file in use.
int collect_files_in_use(files_in_use& found);
