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

struct close_file {
  void operator()(FILE* file) const { fclose(file); }
};
using file_ptr = std::unique_ptr<FILE, close_file>;

// Bytes that differ from position to position, NUL bytes included, so that
// a misplaced or lost block shows.
std::string patterned_bytes(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; i++) bytes[i] = static_cast<char>((i * 7 + i / 251) % 256);
  return bytes;
}

file_ptr stream_holding(const std::string& bytes) {
  file_ptr file(tmpfile());
  if (file && !bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), file.get());
  if (file) rewind(file.get());
  return file;
}

// A stream that hands out `data` in pieces of at most `piece` bytes, then
// either ends or fails with EIO.
struct scripted_source {
  std::string data;
  size_t piece;
  bool fail_at_end;
  size_t offset = 0;
};

ssize_t scripted_read(void* cookie, char* buffer, size_t size) {
  auto* source = static_cast<scripted_source*>(cookie);
  size_t left = source->data.size() - source->offset;
  if (left == 0) {
    if (!source->fail_at_end) return 0;
    errno = EIO;
    return -1;
  }
  size_t n = std::min({size, left, source->piece});
  memcpy(buffer, source->data.data() + source->offset, n);
  source->offset += n;
  return static_cast<ssize_t>(n);
}

file_ptr scripted_stream(scripted_source& source) {
  cookie_io_functions_t io = {scripted_read, nullptr, nullptr, nullptr};
  return file_ptr(fopencookie(&source, "r", io));
}

void expect_text(const char* text, size_t length, const std::string& expected) {
  ASSERT_NE(text, nullptr);
  ASSERT_EQ(length, expected.size());
  EXPECT_EQ(std::string(text, length), expected);
  EXPECT_EQ(text[length], '\0');
}

// Sizes around the points where the buffer doubles (1023 bytes fill 1024).
class ReadWholeStreamSize : public testing::TestWithParam<size_t> {};

TEST_P(ReadWholeStreamSize, ReadsEveryByteAndTerminates) {
  std::string bytes = patterned_bytes(GetParam());
  file_ptr file = stream_holding(bytes);
  ASSERT_NE(file, nullptr);
  size_t length = 12345;
  text_ptr text(read_whole_stream(file.get(), &length));
  expect_text(text.get(), length, bytes);
}

INSTANTIATE_TEST_SUITE_P(AroundDoublings, ReadWholeStreamSize,
                         testing::Values(0, 1, 1022, 1023, 1024, 1025, 2046, 2047, 2048, 4095,
                                         70000));

TEST(ReadWholeStream, ShortReadsAreJoined) {
  scripted_source source{patterned_bytes(5000), 7, false};
  file_ptr stream = scripted_stream(source);
  ASSERT_NE(stream, nullptr);
  setvbuf(stream.get(), nullptr, _IONBF, 0);
  size_t length = 0;
  text_ptr text(read_whole_stream(stream.get(), &length));
  expect_text(text.get(), length, source.data);
}

TEST(ReadWholeStream, ReadErrorKeepsWhatWasRead) {
  scripted_source source{patterned_bytes(3000), 1000, true};
  file_ptr stream = scripted_stream(source);
  ASSERT_NE(stream, nullptr);
  size_t length = 0;
  text_ptr text(read_whole_stream(stream.get(), &length));
  expect_text(text.get(), length, source.data);
  EXPECT_TRUE(ferror(stream.get()));
}

TEST(ReadWholeStream, LengthIsOptional) {
  file_ptr file = stream_holding("{\"php\": []}");
  ASSERT_NE(file, nullptr);
  text_ptr text(read_whole_stream(file.get(), nullptr));
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text.get(), "{\"php\": []}");
}

class ReadWholeFile : public testing::Test {
 protected:
  harness::temp_tree dir;
};

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
