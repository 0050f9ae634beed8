// sessreap-dirs: sweeps several session directories as sessreap sweeps one,
// each with its own lifetime, against one reading of /proc.
//
//   sessreap-dirs [-nv] [-f list] [<session_dir>:<lifetime_minutes> ...]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "session_reaper/in_use_scan.hpp"
#include "session_reaper/lifetime.hpp"
#include "session_reaper/options.hpp"
#include "session_reaper/standard_fds.hpp"
#include "session_reaper/sweep.hpp"
#include "session_reaper/unique_fd.hpp"

namespace {

const char USAGE[] =
    "usage: sessreap-dirs [-nv] [-f list] [<session_dir>:<lifetime_minutes> ...]\n";

// Appends all that fd gives to `text`; false, with errno set, on an error.
bool read_whole(int fd, std::string& text) {
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n > 0)
      text.append(buffer, static_cast<size_t>(n));
    else if (errno != EINTR)
      return false;
  }
}

// Adds the lines of the file `path` ("-": standard input) to `operands`,
// less the empty ones; the last may lack its newline. False, after an error
// line, when it cannot be read whole or holds a NUL byte, which no path can.
bool read_list(const char* path, std::vector<std::string>& operands) {
  const bool from_input = std::strcmp(path, "-") == 0;
  unique_fd opened(from_input ? -1 : open(path, O_RDONLY | O_CLOEXEC));
  std::string text;
  if ((!from_input && opened.get() < 0) || !read_whole(from_input ? 0 : opened.get(), text)) {
    std::cerr << "Error: cannot read list " << path << " : " << strerror(errno) << '\n';
    return false;
  }
  if (text.find('\0') != std::string::npos) {
    std::cerr << "Error: NUL byte in list " << path << '\n';
    return false;
  }
  for (size_t at = 0, end; at < text.size(); at = end + 1) {
    end = std::min(text.find('\n', at), text.size());
    if (end > at) operands.push_back(text.substr(at, end - at));
  }
  return true;
}

// DIR:MINUTES, split at the last colon (a directory's name may hold one).
enum class listing { taken, bad_lifetime, no_lifetime };

listing parse_listed(const std::string& operand, std::vector<listed_dir>& dirs) {
  size_t colon = operand.rfind(':');
  if (colon == std::string::npos) {
    std::cerr << "Error: no lifetime in '" << operand << "'\n" << USAGE;
    return listing::no_lifetime;
  }
  int minutes;
  if (!lifetime_of(operand.substr(colon + 1), minutes)) {
    std::cerr << "Error: invalid lifetime in '" << operand << "'\n";
    return listing::bad_lifetime;
  }
  dirs.push_back({operand.substr(0, colon), minutes});
  return listing::taken;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (!open_standard_fds()) return 1;
  bool dry_run = false;
  const char* list = nullptr;
  auto take = [&](int option) {
    if (option == 'n')
      dry_run = true;
    else
      list = optarg;
  };
  if (int status = read_options(argc, argv, USAGE, "nf:", take); status >= 0) return status;
  std::vector<std::string> operands(argv + optind, argv + argc);
  if (list != nullptr && !read_list(list, operands)) return 1;

  int status = 0;
  std::vector<listed_dir> dirs;
  for (const std::string& operand : operands) {
    listing parsed = parse_listed(operand, dirs);
    if (parsed == listing::no_lifetime) return 1;
    if (parsed == listing::bad_lifetime) status = 1;
  }
  sweep_counts counts;
  if (sweep_session_dirs(dirs, dry_run, time, counts) != 0) status = 1;
  if (verbose)
    std::cerr << "INFO: directories swept: " << counts.dirs << ", files removed: " << counts.removed
              << ", kept in use: " << counts.kept_in_use << ", failed: " << counts.failed
              << ", processes not read: " << counts.unreadable << '\n';
  if (!(std::cout << std::flush)) {
    std::cerr << "Error: cannot write the list of files to remove\n";
    status = 1;
  }
  return status;
}
