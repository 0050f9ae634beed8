// Test helper: a scratch directory tree, removed with everything in it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

class test_tree {
 public:
  test_tree() {
    std::string pattern = (std::filesystem::temp_directory_path() / "logroute.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    root_ = pattern;
  }
  ~test_tree() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  test_tree(const test_tree&) = delete;
  test_tree& operator=(const test_tree&) = delete;

  std::string path(const std::string& relative) const { return root_ + "/" + relative; }
  std::string make_dirs(const std::string& relative) const {
    std::filesystem::create_directories(path(relative));
    return path(relative);
  }
  void write(const std::string& relative, const std::string& content) const {
    std::ofstream(path(relative), std::ios::binary) << content;
  }
  std::string read(const std::string& relative) const {
    std::ifstream in(path(relative), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  bool exists(const std::string& relative) const {
    return std::filesystem::exists(std::filesystem::symlink_status(path(relative)));
  }

 private:
  std::string root_;
};
