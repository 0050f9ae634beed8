// A model of logroute's routing, written apart from the router, for the
// unit tests and the fuzz target: what each log file must hold, which keys
// the resolver is asked for, and which failures are reported.
//   - a line whose two "@@" separators end within its first 4095 bytes goes
//     whole, from after the second separator to its newline (or to the end
//     of the stream), to the file of its host name and port; any other line
//     is skipped whole;
//   - the file is resolved again exactly when the key (host name, port)
//     changes or the last open failed, with the SSL flag of the port (443,
//     or the extra SSL port) and the host name ("" when it holds a NUL);
//   - each failing path is reported once, in order;
//   - lines skipped for want of tags are counted: the first is reported at
//     once, the rest at the end of input (a run takes less than the minute
//     between two reports); a line still arriving counts once its tags can
//     no longer come (its newline, or the limit);
//   - the start of a line still arriving (no newline, input not ended) is
//     held back, so that each line goes out in one write.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "harness/logroute_run.hpp"

namespace harness {

struct routing_rules {
  // The resolver's rule: the log file of a host name and SSL flag.
  std::function<std::string(const std::string& vhost, bool ssl)> path_for;
  // Paths that start with this cannot be opened (their directory is missing).
  std::string unopenable;
  const char* extra_ssl_port = nullptr;
};

class routing_model {
 public:
  static constexpr size_t TAG_LIMIT = 4095;
  static constexpr const char* FULL_DEVICE = "/dev/full";  // every write fails

  // The routing of `stream`; with input_ended false, more may follow it.
  routing_model(const std::string& stream, routing_rules rules, bool input_ended = true)
      : rules_(std::move(rules)) {
    size_t start = 0;
    while (start < stream.size()) {
      const size_t newline = stream.find('\n', start);
      const size_t end = newline == std::string::npos ? stream.size() : newline + 1;
      route(stream.substr(start, end - start), newline != std::string::npos || input_ended);
      start = end;
    }
    if (input_ended && untagged_ > 0) report_untagged();
  }

  std::map<std::string, std::string> files;  // every path opened, and its contents
  std::vector<std::pair<std::string, bool>> resolved;
  std::vector<std::string> messages;
  std::vector<std::string> untagged_reports;  // apart: they need not keep order with the rest

 private:
  void report(const std::string& what, const std::string& at, const char* error) {
    if (!reported_.insert(at).second) return;
    messages.push_back(lost_at(what, at, error));
  }

  void report_untagged() {
    untagged_reports.push_back(lost_untagged(untagged_));
    untagged_ = 0;
  }

  void skip(const std::string& line, bool ended) {
    if (!ended && line.size() < TAG_LIMIT) return;
    ++untagged_;
    if (untagged_reports.empty()) report_untagged();
  }

  // `ended`: the line has its newline, or the input has ended after it.
  void route(const std::string& line, bool ended) {
    const std::string head = line.substr(0, TAG_LIMIT);
    const size_t first = head.find("@@");
    if (first == std::string::npos) return skip(line, ended);
    const size_t second = head.find("@@", first + 2);
    if (second == std::string::npos) return skip(line, ended);
    const std::string host = line.substr(0, first);
    const std::string key_port = line.substr(first + 2, second - first - 2);
    if (!open_ || host != vhost_ || key_port != port_) {
      const char* extra = rules_.extra_ssl_port;
      const bool ssl = key_port.find('\0') == std::string::npos &&
                       (key_port == "443" || (extra != nullptr && key_port == extra));
      const std::string name = host.find('\0') == std::string::npos ? host : "";
      resolved.emplace_back(name, ssl);
      path_ = rules_.path_for(name, ssl);
      vhost_ = host;
      port_ = key_port;
      open_ = rules_.unopenable.empty() || path_.rfind(rules_.unopenable, 0) != 0;
      if (!open_) return report("open", path_, "No such file or directory");
      if (path_ != FULL_DEVICE) files[path_];
    }
    const std::string body = ended ? line.substr(second + 2) : "";
    if (path_ != FULL_DEVICE)
      files[path_] += body;
    else if (!body.empty())
      report("write", path_, "No space left on device");
  }

  routing_rules rules_;
  std::set<std::string> reported_;
  size_t untagged_ = 0;
  bool open_ = false;
  std::string vhost_, port_, path_;
};

}  // namespace harness
