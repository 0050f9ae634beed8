// The expiry sweep: removes the expired session files nobody holds open.
#pragma once

#include <ctime>
#include <string>

// Removes every regular file directly in session_dir whose status-change
// time lies more than lifetime_minutes (1 to MAX_LIFETIME_MINUTES) before
// the start of the walk, unless a running process holds it open: the same
// file (device and inode), by whatever path, bind mount or hard link it was
// opened. One trailing slash of session_dir is dropped first. The root
// directory, however named, is refused like a directory that cannot be
// opened, before /proc is read. Returns the exit status: 0 when the
// directory was walked to its end, 1 when the directory, /proc or the clock
// could not be read (then nothing is removed).
int sweep_session_dir(std::string session_dir, int lifetime_minutes);

// The same with the clock supplied, so tests can move time.
using clock_reader = time_t (*)(time_t*);
int sweep_session_dir(std::string session_dir, int lifetime_minutes, clock_reader read_clock);
