// Test helpers: a sink that records what the configuration module logs, and
// temporary configuration files.
#pragma once

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "diag_log/diag_log.hpp"
#include "panel_config/panel_config.hpp"

struct logged_message {
  int priority;
  std::string text;
  bool operator==(const logged_message&) const = default;
};

inline std::vector<logged_message>& logged_messages() {
  static std::vector<logged_message> messages;
  return messages;
}

inline void recording_sink(int priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  char text[8192];
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  logged_messages().push_back({priority, text});
}

// Routes diag_log_write to recording_sink while it lives.
class recorded_log {
 public:
  recorded_log() : saved_(diag_log_write) {
    logged_messages().clear();
    diag_log_write = recording_sink;
  }
  ~recorded_log() { diag_log_write = saved_; }
  recorded_log(const recorded_log&) = delete;
  recorded_log& operator=(const recorded_log&) = delete;

 private:
  diag_write_fn saved_;
};

// A private directory under the system's temporary directory, removed with
// everything in it at the end.
class temp_dir {
 public:
  temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "panel_config.XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~temp_dir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;

  // Writes content to a file of that name and returns its path.
  std::string write(const std::string& name, const std::string& content) const {
    std::string file = path_ + "/" + name;
    std::ofstream(file, std::ios::binary) << content;
    return file;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A zero-filled table record, freed with panel_config_free.
using table_ptr = std::unique_ptr<panel_config, void (*)(panel_config*)>;

inline table_ptr new_table() {
  return table_ptr(static_cast<panel_config*>(std::calloc(1, sizeof(panel_config))),
                   panel_config_free);
}
