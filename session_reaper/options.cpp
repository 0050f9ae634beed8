#include "session_reaper/options.hpp"

#include <unistd.h>

#include <iostream>

#include "session_reaper/in_use_scan.hpp"

int read_options(int argc, char* argv[], const char* usage) {
  int ch;
  while ((ch = getopt(argc, argv, "vh")) != -1) {
    switch (ch) {
      case 'v':
        verbose = true;
        break;
      case 'h':
        std::cout << usage;
        return 0;
      default:
        std::cerr << usage;
        return 1;
    }
  }
  return -1;
}
