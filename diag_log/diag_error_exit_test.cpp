// The error exit and diag_print_message: prefix, system-error suffix,
// long messages, exit status.  Each case runs in a child process.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "diag_log/diag_log.hpp"
#include "harness/process.hpp"

namespace {

using harness::run;
using harness::run_result;

struct exit_case {
  const char* name;
  const char* program_path;  // null: no prefix
  int error;                 // errno at the call
  int status;
  std::string message;
  std::string expected;  // on each stream
};

std::string system_error(int error) {
  return "\nSystem error " + std::to_string(error) + ": " + std::strerror(error);
}

std::vector<exit_case> exit_cases() {
  std::string long_message(5000, 'z');
  return {
      {"NoErrorReturns", "/usr/bin/logroute", 0, 0, "all fine", "logroute: all fine\n"},
      {"ErrorAppendsSuffix", "/usr/bin/logroute", ENOENT, 3, "Cannot open",
       "logroute: Cannot open" + system_error(ENOENT) + "\n"},
      {"NoProgramPathNoPrefix", nullptr, EACCES, 1, "denied",
       "denied" + system_error(EACCES) + "\n"},
      {"RelativeProgramPath", "logroute", 0, 2, "m", "logroute: m\n"},
      {"TrailingSlashes", "/opt/tool//", 0, 0, "m", "tool: m\n"},
      {"RootOnly", "/", 0, 0, "m", "/: m\n"},
      {"EmptyProgramPath", "", 0, 0, "m", ".: m\n"},
      {"MessageEndingInNewline", "/bin/p", 0, 0, "line\n", "p: line\n"},
      {"EmptyMessage", "/bin/p", 0, 0, "", "p: \n"},
      {"LongMessageWhole", "/bin/p", ENOMEM, 1, long_message,
       "p: " + long_message + system_error(ENOMEM) + "\n"},
      {"MessageFillingTheBuffer", "/bin/p", EIO, 1, std::string(4095, 'q'),
       "p: " + std::string(4095, 'q') + system_error(EIO) + "\n"},
      {"SuffixCrossingTheBuffer", "/bin/p", EIO, 1, std::string(4090, 'q'),
       "p: " + std::string(4090, 'q') + system_error(EIO) + "\n"},
  };
}

class ErrorExit : public testing::TestWithParam<exit_case> {};

TEST_P(ErrorExit, PrintsOnBothStreamsAndEndsWithStatus) {
  const exit_case& c = GetParam();
  run_result r = run([&] {
    diag_program_path = c.program_path;
    errno = c.error;
    diag_error_exit(c.status, "%s", c.message.c_str());
    // Reached only with status 0, which must keep errno as it was.
    return errno == c.error ? 0 : 99;
  });
  EXPECT_EQ(r.exit_status, c.status);
  EXPECT_EQ(r.err, c.expected);
  EXPECT_EQ(r.out, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ErrorExit, testing::ValuesIn(exit_cases()),
                         [](const testing::TestParamInfo<exit_case>& info) {
                           return info.param.name;
                         });

TEST(ErrorExit, ProgramPathIsNotChanged) {
  run_result r = run([] {
    char path[] = "/usr/bin/tool/";
    diag_program_path = path;
    errno = 0;
    diag_error_exit(0, "x");
    return std::strcmp(path, "/usr/bin/tool/") == 0 ? 0 : 1;
  });
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "tool: x\n");
}

TEST(ErrorExit, FormatsItsArguments) {
  run_result r = run([] {
    diag_program_path = "logroute";
    errno = ENOMEM;
    diag_error_exit(1, "Cannot allocate memory: %s", std::strerror(ENOMEM));
    return 0;
  });
  std::string expected = "logroute: Cannot allocate memory: " + std::string(std::strerror(ENOMEM)) +
                         system_error(ENOMEM) + "\n";
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err, expected);
  EXPECT_EQ(r.out, expected);
}

TEST(PrintMessage, ReturnsZeroOrEndsTheProcess) {
  run_result r = run([] {
    diag_program_path = "/x/prog";
    if (diag_print_message("kept", 0) != 0) return 98;
    diag_print_message("gone", 4);
    return 99;
  });
  EXPECT_EQ(r.exit_status, 4);
  EXPECT_EQ(r.err, "prog: kept\nprog: gone\n");
  EXPECT_EQ(r.out, "prog: kept\nprog: gone\n");
}

}  // namespace
