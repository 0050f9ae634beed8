// Which files do running processes hold open? Read from /proc/<pid>/fd.
#pragma once

#include <set>
#include <string>

// Adds to files_in_use every descriptor link target, over all processes this
// one may inspect, whose text begins with session_dir. Returns 0 once /proc
// has been walked (unreadable processes and links are passed over), 1 with
// an error line on standard error when /proc cannot be opened.
int collect_files_in_use(const std::string& session_dir, std::set<std::string>& files_in_use);
