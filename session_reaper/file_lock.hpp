// Whether a session file is in use by the lock its writer holds on it.
#pragma once

// True when another open file holds a lock on the file open as `fd`: an
// flock (PHP's files session handler holds LOCK_EX on the session file for
// as long as a request has the session open), or a record lock, POSIX or
// OFD (on NFS the server sees an flock as one). When none does, this
// descriptor keeps an exclusive flock until it is closed, so that a writer
// that opened the file meanwhile waits for it. Tests only, never waits;
// needs no access to other processes, and changes no time of the file.
bool locked_elsewhere(int fd);
