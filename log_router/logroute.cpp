// logroute: piped access logger of the web server.
//
// usage: logroute [ssl-port]
//
// Reads "<vhost>@@<port>@@<log line>" lines on standard input and appends
// each log line to the access log of the host's domain under the
// virtual-hosts directory: "access_ssl_log" for port 443 and for the port
// given as argument, "access_log" otherwise; lines of hosts without a
// domain log go to the web server's own access_log.  A closed standard
// descriptor is opened on /dev/null first.  SIGTERM, SIGINT or
// SIGHUP changes nothing: the old server children still write to the pipe.
// Exits 0 at the end of input, or at a second stop signal once what the
// pipe held is written (within a second); 1 when memory runs out.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "diag_log/diag_log.hpp"
#include "log_router/access_log_path.hpp"
#include "log_router/input_stream.hpp"
#include "log_router/log_router.hpp"
#include "log_router/standard_streams.hpp"
#include "panel_config/panel_config.hpp"

int main(int argc, char* argv[]) {
  diag_program_path = argv[0];
  if (standard_streams_open() != 0)
    diag_error_exit(1, "Cannot open /dev/null for a closed standard stream: %s",
                    std::strerror(errno));
  panel_config_load();  // on failure the defaults serve and later lookups retry
  const char* extra_ssl_port = argc > 1 ? argv[1] : nullptr;
  if (input_stream_setup() != 0)
    diag_error_exit(1, "Cannot set up the stop signals: %s", std::strerror(errno));
  return log_router_run(STDIN_FILENO, extra_ssl_port, resolve_access_log_path);
}
