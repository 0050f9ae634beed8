// Reaching a session directory by a path that site owners may aim: a site's
// sessions often sit in a directory that the site owns, where it can put a
// symbolic link in place of any component.
#pragma once

#include <string>

constexpr int DIR_WALK_MAX_LINKS = 40;
// The reason given for a link that is not followed.
constexpr char DIR_WALK_FOREIGN_LINK[] = "symbolic link not owned by root";

// Opens the directory `path` (O_RDONLY | O_DIRECTORY | O_CLOEXEC), walking
// it one component at a time from "/" (an absolute path) or the working
// directory, each opened without following a link; ".." is the parent of
// the directory reached so far, as the kernel resolves it. A symbolic link
// is followed only when root owns it, its target walked by the same rule,
// and at most DIR_WALK_MAX_LINKS of them (then ELOOP). Returns the
// descriptor, or -1 with errno set (ENOENT for the empty text); a link owned
// by anyone else sets `foreign_link` and errno to EPERM.
int open_dir_walking(const std::string& path, bool& foreign_link);
