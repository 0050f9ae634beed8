// sessreap-dirs: sweeps several session directories as sessreap sweeps one,
// each with its own lifetime, against one reading of /proc.
//
//   sessreap-dirs [-v] <session_dir>:<lifetime_minutes> ...
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "session_reaper/in_use_scan.hpp"
#include "session_reaper/lifetime.hpp"
#include "session_reaper/options.hpp"
#include "session_reaper/standard_fds.hpp"
#include "session_reaper/sweep.hpp"

namespace {

const char USAGE[] = "usage: sessreap-dirs [-v] <session_dir>:<lifetime_minutes> ...\n";

// DIR:MINUTES, split at the last colon (a directory's name may hold one).
bool parse_listed(const std::string& operand, listed_dir& listed) {
  size_t colon = operand.rfind(':');
  if (colon == std::string::npos) {
    std::cerr << "Error: no lifetime in '" << operand << "'\n" << USAGE;
    return false;
  }
  listed = {operand.substr(0, colon), lifetime_from_operand(operand.substr(colon + 1))};
  return true;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (!open_standard_fds()) return 1;
  if (int status = read_options(argc, argv, USAGE); status >= 0) return status;
  std::vector<listed_dir> dirs(static_cast<size_t>(argc - optind));
  for (size_t i = 0; i < dirs.size(); ++i)
    if (!parse_listed(argv[optind + static_cast<int>(i)], dirs[i])) return 1;

  sweep_counts counts;
  int status = sweep_session_dirs(dirs, time, counts);
  if (verbose)
    std::cerr << "INFO: directories swept: " << counts.dirs << ", files removed: " << counts.removed
              << ", kept in use: " << counts.kept_in_use << ", failed: " << counts.failed << '\n';
  return status;
}
