// Records what the code under test writes to the diagnostic log
// (diag_log_write), from any thread, instead of letting it out.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "diag_log/diag_log.hpp"

namespace harness {

struct logged_message {
  int priority;
  std::string text;
  bool operator==(const logged_message&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const logged_message& m) {
  return out << m.priority << " \"" << m.text << "\"";
}

// Routes diag_log_write to itself while it lives (one at a time), then puts
// the sink that was there back.
class diag_recorder {
 public:
  diag_recorder() : saved_(diag_log_write) {
    clear();
    diag_log_write = record;
  }
  ~diag_recorder() { diag_log_write = saved_; }
  diag_recorder(const diag_recorder&) = delete;
  diag_recorder& operator=(const diag_recorder&) = delete;

  std::vector<logged_message> messages() const {
    std::lock_guard<std::mutex> hold(store().lock);
    return store().messages;
  }
  void clear() {
    std::lock_guard<std::mutex> hold(store().lock);
    store().messages.clear();
  }
  // True on the thread that is storing a message, so that a test which
  // refuses allocations can let the recorder's own through.
  static bool recording() { return busy(); }

 private:
  struct shared_store {
    std::mutex lock;
    std::vector<logged_message> messages;
  };
  static shared_store& store() {
    static shared_store s;
    return s;
  }
  static bool& busy() {
    thread_local bool b = false;
    return b;
  }
  static void record(int priority, const char* format, ...) {
    busy() = true;
    va_list args;
    va_start(args, format);
    char* text = nullptr;
    int length = vasprintf(&text, format, args);
    va_end(args);
    {
      std::lock_guard<std::mutex> hold(store().lock);
      store().messages.push_back({priority, length < 0 ? "(vasprintf failed)" : text});
    }
    std::free(text);
    busy() = false;
  }

  diag_write_fn saved_;
};

}  // namespace harness
