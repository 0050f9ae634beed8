// Opening an access-log file on a server where site owners may plant files
// in their domains' "logs" directories.
//
// The file is opened with O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK |
// O_NOCTTY | O_CLOEXEC and mode 0644 (less the umask), so the open never
// waits: a FIFO without a reader fails at once instead of blocking.  The file
// and the directory that holds it (a domain's "logs") are followed when they
// are symbolic links only if root owns the link, as the kernel's
// protected_symlinks rule does in shared directories: an administrator's
// links work, a link planted by anyone else is refused.  The directories
// above are followed as they are.  What opens but is neither a regular file
// nor a character device (a FIFO with a reader, say) is closed and refused,
// so that every write goes to a file or to a device such as /dev/null.
#pragma once

#include <sys/stat.h>

// The reasons given for a refusal (other failures give strerror's text).
constexpr const char* LOG_FILE_FOREIGN_LINK = "symbolic link not owned by root";
constexpr const char* LOG_FILE_NOT_A_FILE = "not a regular file or character device";
constexpr int LOG_FILE_MAX_LINKS = 40;

// Opens the log file at `path`, which it changes while it works and restores
// before it returns.  Returns the descriptor, with the file's status in *st,
// or -1 with *why telling the reason.
int log_file_open(char* path, struct stat* st, const char** why);

// For a check: whether log_file_open would succeed, creating and writing
// nothing.  The file is opened as above but without O_CREAT, and closed; a
// missing one counts as one the open would create when the directory that
// holds it may be written to.  Returns 1 when the file is there and would
// be appended to, 0 when it would be created, -1 with *why as
// log_file_open gives it.
int log_file_check(char* path, const char** why);
