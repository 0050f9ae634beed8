// sessreap: removes the expired PHP session files of one directory that no
// running process holds open.
//
//   sessreap [-v] <session_dir> <lifetime_minutes>
#include <unistd.h>

#include <iostream>

#include "session_reaper/lifetime.hpp"
#include "session_reaper/options.hpp"
#include "session_reaper/standard_fds.hpp"
#include "session_reaper/sweep.hpp"

namespace {

const char USAGE[] = "usage: [-v] <session_dir> <lifetime_minutes>\n";

}  // namespace

int main(int argc, char* argv[]) {
  if (!open_standard_fds()) return 1;
  if (int status = read_options(argc, argv, USAGE); status >= 0) return status;
  if (optind + 1 >= argc) {
    std::cerr << "Error: not enough arguments.\n" << USAGE;
    return 1;
  }
  const char* session_dir = argv[optind];
  int lifetime_minutes = lifetime_from_operand(argv[optind + 1]);
  return sweep_session_dir(session_dir, lifetime_minutes);
}
