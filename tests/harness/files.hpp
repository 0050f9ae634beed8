// Files for tests: a private directory tree removed at the end, and reading
// whole files and trees.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace harness {

// The whole content of a file; empty when it cannot be read.
inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every regular file under the given trees with its content.
inline std::map<std::string, std::string> files_under(const std::vector<std::string>& trees) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> found;
  for (const auto& tree : trees) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(tree, ec); !ec && it != fs::end(it);
         it.increment(ec))
      if (it->is_regular_file()) found[it->path().string()] = read_file(it->path().string());
  }
  return found;
}

// The status-change time of path itself (a link is not followed); 0 when
// it does not exist.
inline time_t ctime_of(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_ctime : 0;
}

// A fresh directory under the system's temporary directory, by its real
// path (no link on the way), removed with everything in it at the end.
// Paths are given relative to it.
class temp_tree {
 public:
  temp_tree() {
    std::string pattern = (std::filesystem::temp_directory_path() / "varek-test.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
      throw std::runtime_error("mkdtemp " + pattern + ": " + std::strerror(errno));
    root_ = std::filesystem::canonical(pattern).string();
  }
  ~temp_tree() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  temp_tree(const temp_tree&) = delete;
  temp_tree& operator=(const temp_tree&) = delete;

  const std::string& root() const { return root_; }
  std::string path(const std::string& relative) const { return root_ + "/" + relative; }
  std::string make_dirs(const std::string& relative) const {
    std::filesystem::create_directories(path(relative));
    return path(relative);
  }
  // Writes content to the file (made or emptied first) and returns its path.
  std::string write(const std::string& relative, const std::string& content = "") const {
    std::ofstream(path(relative), std::ios::binary) << content;
    return path(relative);
  }
  std::string read(const std::string& relative) const { return read_file(path(relative)); }
  bool exists(const std::string& relative) const {
    return std::filesystem::exists(std::filesystem::symlink_status(path(relative)));
  }

 private:
  std::string root_;
};

}  // namespace harness
