#include "session_reaper/lifetime.hpp"

#include <gtest/gtest.h>

#include "harness/sessreap_output.hpp"

namespace {

struct lifetime_case {
  const char* operand;
  int minutes;  // what the conversion yields; the default means rejected
};

const lifetime_case ACCEPTED[] = {
    {"1", 1},
    {"5", 5},
    {"+10", 10},
    {"0010", 10},
    {"007", 7},
    {"1440", 1440},
    {"35791394", MAX_LIFETIME_MINUTES},
    {"24", 24},
};

const char* const REJECTED[] = {
    "0",  "-0",  "-5", "35791395", "99999999999", "2147483648", "abc",   "10min", "",    " 5",
    "5 ", "5\n", "-",  "+",        "1e3",         "0x10",       "1,000", "++1",   "5.0",
};

TEST(Lifetime, AcceptsSignedDecimalDigitsWithinRange) {
  for (const auto& c : ACCEPTED) {
    harness::captured_stderr captured;
    EXPECT_EQ(lifetime_from_operand(c.operand), c.minutes) << c.operand;
    EXPECT_EQ(captured.log(), "") << c.operand;
    EXPECT_EQ(captured.err(), "") << c.operand;
  }
}

TEST(Lifetime, RejectsEverythingElseWithTheDefaultAndAWarningOnClog) {
  for (const char* operand : REJECTED) {
    harness::captured_stderr captured;
    EXPECT_EQ(lifetime_from_operand(operand), DEFAULT_LIFETIME_MINUTES) << '[' << operand << ']';
    EXPECT_EQ(
        captured.log(),
        std::string("lifetime_minutes must be a positive number, using default 24 instead of '") +
            operand + "'\n");
    EXPECT_EQ(captured.err(), "") << "the warning goes to std::clog only";
  }
}

// The largest lifetime keeps the age limit, in seconds, within int32.
static_assert(static_cast<long long>(MAX_LIFETIME_MINUTES) * 60 <= INT32_MAX);
static_assert(static_cast<long long>(MAX_LIFETIME_MINUTES + 1) * 60 > INT32_MAX);

}  // namespace
