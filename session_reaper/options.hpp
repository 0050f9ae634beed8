// The options of sessreap and sessreap-dirs: -v and -h.
#pragma once

// Reads the options with getopt: -v sets `verbose`; -h writes `usage` on
// standard output and ends the reading with status 0; any other option
// writes it on standard error (after getopt's own message) and ends it with
// status 1. Returns that status, or -1 when the operands are to be read
// (from argv[optind] on).
int read_options(int argc, char* argv[], const char* usage);
