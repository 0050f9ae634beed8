// Loopback helpers for tests that start real servers (Apache) on this
// machine: a free port, whether something listens there, and waiting.
#pragma once

#include <chrono>
#include <thread>

namespace harness {

// A TCP port on 127.0.0.1 that nothing listens on right now.
int free_loopback_port();

// True when a TCP connection to 127.0.0.1:port is accepted.
bool accepts_connections(int port);

// Polls `done` every 20 ms until it holds or `limit` has passed; returns
// whether it held.
template <typename Condition>
bool wait_until(Condition done, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace harness
