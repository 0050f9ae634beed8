#include "session_reaper/command_line.hpp"

#include <unistd.h>

#include <iostream>

#include "session_reaper/lifetime.hpp"
#include "session_reaper/sweep.hpp"
#include "session_reaper/verbose.hpp"

namespace {

const char USAGE[] = "usage: [-v] <session_dir> <lifetime_minutes>\n";

}  // namespace

int sessreap_main(int argc, char* argv[]) {
  int ch;
  while ((ch = getopt(argc, argv, "vh")) != -1) {
    switch (ch) {
      case 'v':
        verbose = true;
        break;
      case 'h':
        std::cout << USAGE;
        return 0;
      default:
        std::cerr << USAGE;
        return 1;
    }
  }
  if (optind + 1 >= argc) {
    std::cerr << "Error: not enough arguments.\n" << USAGE;
    return 1;
  }
  std::string session_dir = argv[optind];
  int lifetime_minutes = lifetime_from_operand(argv[optind + 1]);
  return sweep_session_dir(session_dir, lifetime_minutes);
}
