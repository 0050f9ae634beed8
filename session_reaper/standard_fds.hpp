// The standard descriptors of a program started with some of them closed.
#pragma once

// Opens /dev/null on each of 0, 1 and 2 that is closed, as daemons do, so
// that no descriptor opened later is taken for a standard stream (a message
// written into a directory or a session file). Call it before opening
// anything. False, after a message on standard error when that is open,
// when /dev/null cannot be opened.
bool open_standard_fds();
