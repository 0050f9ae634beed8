// Which files do running processes hold open? Read from /proc/<pid>/fd.
#pragma once

#include <sys/types.h>

#include <compare>
#include <set>
#include <string>

// A file as the kernel knows it, whatever path leads to it: st_dev and
// st_ino. A file reached through a bind mount, a hard link, a chroot or
// another mount namespace has the same identity.
struct file_identity {
  dev_t dev;
  ino_t ino;
  auto operator<=>(const file_identity&) const = default;
};

// Adds to files_in_use the identity of every regular file on device `dev`
// that a process this one may inspect holds open, found by stat-ing each
// /proc/<pid>/fd/<n> (without waiting on a server: a descriptor on a hung
// network mount does not hang the scan). Files of other devices, and
// descriptors of pipes, sockets and directories, are left out.
//
// kernel_dir serves the messages only: with `verbose`, every descriptor
// link whose text begins with it is reported ("INFO: Session file ... is in
// use."), and a link that cannot be read gives a warning. Without
// `verbose` no link is read, and a process whose descriptors may not be
// inspected (EACCES) is passed over at its first descriptor.
//
// Returns 0 once /proc has been walked (processes and descriptors that
// vanish or cannot be inspected are passed over), 1 with an error line on
// standard error when /proc cannot be opened.
int collect_files_in_use(const std::string& kernel_dir, dev_t dev,
                         std::set<file_identity>& files_in_use);
