// sessreap's command line: sessreap [-v] <session_dir> <lifetime_minutes>
#pragma once

// Parses the options and operands, runs the sweep and returns the exit
// status (0 after -h or a completed sweep, 1 otherwise).
int sessreap_main(int argc, char* argv[]);
