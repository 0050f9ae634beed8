// Loopback helpers for tests that start real servers (Apache) on this
// machine: a free port, and whether something listens there.
#pragma once

namespace harness {

// A TCP port on 127.0.0.1 that nothing listens on right now.
int free_loopback_port();

// True when a TCP connection to 127.0.0.1:port is accepted.
bool accepts_connections(int port);

}  // namespace harness
