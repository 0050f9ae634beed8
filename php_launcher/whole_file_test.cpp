#include "php_launcher/whole_file.hpp"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>

#include "harness/files.hpp"

namespace {

struct free_text {
  void operator()(char* text) const { free(text); }
};
using text_ptr = std::unique_ptr<char, free_text>;

// Bytes that differ from position to position, NUL bytes included, so that
// a misplaced or lost block shows.
std::string patterned_bytes(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; i++) bytes[i] = static_cast<char>((i * 7 + i / 251) % 256);
  return bytes;
}

void expect_text(const char* text, size_t length, const std::string& expected) {
  ASSERT_NE(text, nullptr);
  ASSERT_EQ(length, expected.size());
  EXPECT_EQ(std::string(text, length), expected);
  EXPECT_EQ(text[length], '\0');
}

class ReadWholeFile : public testing::Test {
 protected:
  harness::temp_tree dir;
};

// Sizes around the points where a buffer of 1024 bytes (the least) would
// double, and beyond.
class ReadWholeFileSize : public ReadWholeFile, public testing::WithParamInterface<size_t> {};

TEST_P(ReadWholeFileSize, ReadsEveryByteAndTerminates) {
  std::string bytes = patterned_bytes(GetParam());
  size_t length = 12345;
  text_ptr text(read_whole_file(dir.write("file", bytes).c_str(), &length));
  expect_text(text.get(), length, bytes);
}

INSTANTIATE_TEST_SUITE_P(AroundDoublings, ReadWholeFileSize,
                         testing::Values(0, 1, 1022, 1023, 1024, 1025, 2046, 2047, 2048, 4095,
                                         70000));

TEST_F(ReadWholeFile, LengthIsOptional) {
  text_ptr text(read_whole_file(dir.write("registry", "{\"php\": []}").c_str(), nullptr));
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text.get(), "{\"php\": []}");
}

TEST_F(ReadWholeFile, ReadsTheFile) {
  std::string bytes = patterned_bytes(3000);
  size_t length = 0;
  text_ptr text(read_whole_file(dir.write("file", bytes).c_str(), &length));
  expect_text(text.get(), length, bytes);
}

TEST_F(ReadWholeFile, MissingFileLeavesLengthUntouched) {
  size_t length = 777;
  text_ptr text(read_whole_file(dir.path("missing").c_str(), &length));
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(length, 777u);
}

// A FIFO without a writer would block, a device may never end, a
// directory holds no text: all refused at once, as they are.
TEST_F(ReadWholeFile, OnlyARegularFileIsRead) {
  std::string fifo = dir.path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const auto& [path, error] :
       {std::pair{dir.root(), EISDIR}, {fifo, EINVAL}, {"/dev/zero", EINVAL}}) {
    size_t length = 777;
    text_ptr text(read_whole_file(path.c_str(), &length));
    EXPECT_EQ(text, nullptr) << path;
    EXPECT_EQ(errno, error) << path;
    EXPECT_EQ(length, 777u) << path;
  }
}

TEST_F(ReadWholeFile, AFileLongerThanItsSizeSaysIsReadWhole) {
  size_t length = 0;  // its size says 0; its text is longer than 1 KiB
  text_ptr text(read_whole_file("/proc/self/status", &length));
  ASSERT_NE(text, nullptr);
  EXPECT_TRUE(length > 1024 && strlen(text.get()) == length && strstr(text.get(), "\nVmRSS:"));
}

}  // namespace
