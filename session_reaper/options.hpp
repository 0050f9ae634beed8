// The options of sessreap and sessreap-dirs: -v and -h, and those of
// sessreap-dirs alone.
#pragma once

#include <functional>

// Reads the options with getopt: -v sets `verbose`; -h writes `usage` on
// standard output and ends the reading with status 0; each option of `more`
// (getopt's syntax, e.g. "nf:") is handed to `take`, its argument in optarg;
// any other option writes the usage on standard error (after getopt's own
// message) and ends the reading with status 1. Returns that status, or -1
// when the operands are to be read (from argv[optind] on).
int read_options(int argc, char* argv[], const char* usage, const char* more = "",
                 const std::function<void(int option)>& take = {});
