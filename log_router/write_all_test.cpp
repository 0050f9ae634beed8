#include "log_router/write_all.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

namespace {

struct pipe_pair {
  int fds[2] = {-1, -1};
  pipe_pair() { EXPECT_EQ(pipe(fds), 0); }
  ~pipe_pair() {
    for (int fd : fds)
      if (fd >= 0) close(fd);
  }
  int read_end() const { return fds[0]; }
  int write_end() const { return fds[1]; }
};

std::string read_all(int fd) {
  std::string out;
  char chunk[65536];
  ssize_t n;
  while ((n = read(fd, chunk, sizeof chunk)) > 0) out.append(chunk, n);
  return out;
}

// Fills the pipe until a write would block; returns the bytes written.
std::string fill_pipe(int fd) {
  int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  std::string filler;
  char byte = 'f';
  while (write(fd, &byte, 1) == 1) filler += byte;
  fcntl(fd, F_SETFL, flags);
  return filler;
}

void ignore_signal(int) {}

}  // namespace

TEST(WriteAll, ZeroLengthWritesNothingAndReturnsZero) {
  // On a closed descriptor any write call would fail: 0 proves none was made.
  EXPECT_EQ(write_all(-1, "x", 0), 0);
}

TEST(WriteAll, WritesWholeBufferAcrossShortWrites) {
  pipe_pair p;
  std::string payload(1 << 20, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
  std::string received;
  std::thread reader([&] { received = read_all(p.read_end()); });
  EXPECT_EQ(write_all(p.write_end(), payload.data(), payload.size()),
            static_cast<ssize_t>(payload.size()));
  close(p.fds[1]);
  p.fds[1] = -1;
  reader.join();
  EXPECT_EQ(received, payload);
}

TEST(WriteAll, FailureReturnsMinusOneWithErrno) {
  int full = open("/dev/full", O_WRONLY);
  if (full < 0) GTEST_SKIP() << "no /dev/full";
  errno = 0;
  EXPECT_EQ(write_all(full, "line\n", 5), -1);
  EXPECT_EQ(errno, ENOSPC);
  close(full);
  errno = 0;
  EXPECT_EQ(write_all(-1, "line\n", 5), -1);
  EXPECT_EQ(errno, EBADF);
}

// The bytes that got out before a failure are counted: a pipe that takes
// part of the data and then would block.
TEST(WriteAll, CountsWhatWentOutBeforeFailure) {
  pipe_pair p;
  fcntl(p.write_end(), F_SETFL, O_NONBLOCK);
  long capacity = fcntl(p.write_end(), F_GETPIPE_SZ);
  ASSERT_GT(capacity, 0);
  std::string payload(capacity + 100, 'x');
  std::size_t written = 12345;
  EXPECT_EQ(write_all(p.write_end(), payload.data(), payload.size(), &written), -1);
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_EQ(written, static_cast<std::size_t>(capacity));

  int full = open("/dev/full", O_WRONLY);
  if (full >= 0) {
    EXPECT_EQ(write_all(full, "line\n", 5, &written), -1);
    EXPECT_EQ(written, 0u);
    close(full);
  }
  pipe_pair q;
  EXPECT_EQ(write_all(q.write_end(), "line\n", 5, &written), 5);
  EXPECT_EQ(written, 5u);
}

// A signal that interrupts a write before any byte went out makes write
// fail with EINTR; the rest of the data must still arrive.
TEST(WriteAll, RetriesWriteInterruptedBySignal) {
  struct sigaction action = {}, old = {};
  action.sa_handler = ignore_signal;  // no SA_RESTART: write fails with EINTR
  sigaction(SIGUSR1, &action, &old);

  pipe_pair p;
  std::string filler = fill_pipe(p.write_end());
  std::string payload = "a log line that must not be lost\n";
  pthread_t writer = pthread_self();
  std::string received;
  std::thread reader([&] {
    for (int i = 0; i < 3; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      pthread_kill(writer, SIGUSR1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    received = read_all(p.read_end());
  });
  EXPECT_EQ(write_all(p.write_end(), payload.data(), payload.size()),
            static_cast<ssize_t>(payload.size()));
  close(p.fds[1]);
  p.fds[1] = -1;
  reader.join();
  sigaction(SIGUSR1, &old, nullptr);
  EXPECT_EQ(received, filler + payload);
}
