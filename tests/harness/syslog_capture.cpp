// A real syslog socket at /dev/log, read back by the test.
#include "harness/syslog_capture.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace harness {

syslog_capture::syslog_capture() {
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error(std::string("socket: ") + strerror(errno));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strcpy(addr.sun_path, "/dev/log");
  unlink(addr.sun_path);
  if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int saved = errno;
    close(fd_);
    throw std::runtime_error(std::string("bind /dev/log: ") + strerror(saved));
  }
}

syslog_capture::~syslog_capture() {
  close(fd_);
  unlink("/dev/log");
}

std::vector<syslog_record> syslog_capture::drain(std::chrono::milliseconds wait) {
  std::vector<syslog_record> records;
  pollfd p{fd_, POLLIN, 0};
  int timeout = static_cast<int>(wait.count());
  while (poll(&p, 1, records.empty() ? timeout : 0) > 0) {
    char buf[65536];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n < 0) break;
    records.push_back(parse_syslog_datagram(std::string(buf, static_cast<size_t>(n))));
  }
  return records;
}

// "<PRI>Mmm dd hh:mm:ss IDENT[PID]: MESSAGE" (the timestamp is 15 bytes).
syslog_record parse_syslog_datagram(const std::string& raw) {
  syslog_record r;
  r.raw = raw;
  size_t close_angle = raw.find('>');
  if (raw.empty() || raw[0] != '<' || close_angle == std::string::npos) return r;
  r.priority = std::stoi(raw.substr(1, close_angle - 1));
  size_t rest = close_angle + 1 + 16;  // timestamp and the blank after it
  if (rest > raw.size()) return r;
  size_t colon = raw.find(": ", rest);
  if (colon == std::string::npos) return r;
  std::string tag = raw.substr(rest, colon - rest);
  size_t bracket = tag.rfind('[');
  if (bracket != std::string::npos && tag.back() == ']') {
    r.pid = static_cast<pid_t>(std::stol(tag.substr(bracket + 1)));
    tag.erase(bracket);
  }
  r.ident = tag;
  r.message = raw.substr(colon + 2);
  return r;
}

}  // namespace harness
