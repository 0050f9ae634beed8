#include "session_reaper/options.hpp"

#include <unistd.h>

#include <cstring>
#include <iostream>
#include <string>

#include "session_reaper/in_use_scan.hpp"

int read_options(int argc, char* argv[], const char* usage, const char* more,
                 const std::function<void(int option)>& take) {
  const std::string options = std::string("vh") + more;
  int ch;
  while ((ch = getopt(argc, argv, options.c_str())) != -1) {
    if (ch == 'v') {
      verbose = true;
    } else if (ch == 'h') {
      std::cout << usage;
      return 0;
    } else if (ch != '?' && ch != ':' && std::strchr(more, ch) != nullptr) {
      take(ch);
    } else {
      std::cerr << usage;
      return 1;
    }
  }
  return -1;
}
