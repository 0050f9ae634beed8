// The syslog messages programs send to /dev/log, read back by the test.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace harness {

// One datagram received on /dev/log, as glibc's syslog formats it:
// "<PRI>Mmm dd hh:mm:ss IDENT[PID]: MESSAGE".
struct syslog_record {
  int priority = -1;  // facility | severity, as sent
  std::string ident;
  pid_t pid = 0;  // 0 when the sender did not ask for LOG_PID
  std::string message;
  std::string raw;  // the whole datagram
};

// Binds an AF_UNIX datagram socket at /dev/log (which must be inside a
// sandbox) and reads back what programs send there.
class syslog_capture {
 public:
  syslog_capture();
  ~syslog_capture();
  syslog_capture(const syslog_capture&) = delete;
  syslog_capture& operator=(const syslog_capture&) = delete;

  // Every datagram received so far, in arrival order; waits up to `wait`
  // for the first one if none is queued yet.
  std::vector<syslog_record> drain(std::chrono::milliseconds wait = std::chrono::milliseconds(0));

 private:
  int fd_ = -1;
};

syslog_record parse_syslog_datagram(const std::string& raw);

}  // namespace harness
