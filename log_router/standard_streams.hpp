// logroute's standard descriptors, made sure of before anything is opened.
#pragma once

// Opens /dev/null (read and write) on each of descriptors 0, 1 and 2 that
// is not open, as daemons do, so that no descriptor opened later (a log
// file, the pipe that wakes the wait for input at a stop signal) can be
// taken for a standard stream and get the diagnostic log's messages.
// Returns 0, or -1 with errno set when /dev/null cannot be opened.
int standard_streams_open();
