// phpgate's standard descriptors, made sure of before anything is opened.
#pragma once

// Opens /dev/null (read and write) on each of descriptors 0, 1 and 2 that
// is not open, as daemons do, so that no file opened later (the registry,
// or one of PHP's own after the exec) can be taken for a standard stream.
// One poll(2) tells which are open: only those it reports as not open
// (POLLNVAL) are replaced. Returns 0, or -1 with errno set when /dev/null
// cannot be opened.
int standard_streams_open();
