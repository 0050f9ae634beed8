// The reader context and its primitives, grouped by operation. After
// every failure the code and the cursor position are checked.
#include "json_reader/json_reader.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "harness/json_text.hpp"

namespace {

using harness::json_text;
using harness::reader_state;

// ---------------------------------------------------------------------------
// Layout of the interface's plain structs.

static_assert(std::is_standard_layout_v<json_reader>);
static_assert(std::is_standard_layout_v<json_allocator>);
static_assert(offsetof(json_reader, start) < offsetof(json_reader, cursor));
static_assert(offsetof(json_reader, cursor) < offsetof(json_reader, error_detail));
static_assert(offsetof(json_reader, error_detail) < offsetof(json_reader, error_code));
static_assert(offsetof(json_reader, error_code) < offsetof(json_reader, allocator));
static_assert(std::is_same_v<decltype(json_reader::error_code), int32_t>);
static_assert(offsetof(json_allocator, user) < offsetof(json_allocator, allocate));
static_assert(offsetof(json_allocator, allocate) < offsetof(json_allocator, reallocate));
static_assert(offsetof(json_allocator, reallocate) < offsetof(json_allocator, free));
static_assert(JSON_OK == 0 && JSON_CONSTRAINT_FAILED == 23);
static_assert(JSON_NESTING_TOO_DEEP < 0 || JSON_NESTING_TOO_DEEP > 23);

// ---------------------------------------------------------------------------
// Allocator hooks, creation and destruction.

struct hook_log {
  int allocations = 0;
  int frees = 0;
  size_t last_size = 0;
  void* last_block = nullptr;
  void* freed_block = nullptr;
  void* seen_user = nullptr;
  bool fail = false;
};

void* log_allocate(void* user, size_t size) {
  auto* log = static_cast<hook_log*>(user);
  log->seen_user = user;
  ++log->allocations;
  log->last_size = size;
  if (log->fail) return nullptr;
  log->last_block = ::operator new(size);
  return log->last_block;
}
void* log_reallocate(void*, void*, size_t) { return nullptr; }
void log_free(void* user, void* block) {
  auto* log = static_cast<hook_log*>(user);
  ++log->frees;
  log->freed_block = block;
  ::operator delete(block);
}

TEST(Allocator, DefaultHooksUseTheHeapAndIgnoreUser) {
  json_allocator a;
  std::memset(&a, 0xAB, sizeof a);
  json_default_allocator(&a);
  EXPECT_EQ(a.user, nullptr);
  ASSERT_NE(a.allocate, nullptr);
  ASSERT_NE(a.reallocate, nullptr);
  ASSERT_NE(a.free, nullptr);
  int ignored = 0;
  void* block = a.allocate(&ignored, 16);
  ASSERT_NE(block, nullptr);
  std::memset(block, 1, 16);
  block = a.reallocate(&ignored, block, 4096);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(static_cast<unsigned char*>(block)[15], 1);
  a.free(&ignored, block);
}

TEST(Create, NullTextGivesNullAndAllocatesNothing) {
  hook_log log;
  json_allocator hooks{&log, log_allocate, log_reallocate, log_free};
  EXPECT_EQ(json_reader_create(nullptr, &hooks), nullptr);
  EXPECT_EQ(json_reader_create(nullptr, nullptr), nullptr);
  EXPECT_EQ(log.allocations, 0);
}

TEST(Create, StartsAtTheTextWithNoError) {
  char text[] = " {}";
  json_reader* r = json_reader_create(text, nullptr);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->start, text);
  EXPECT_EQ(r->cursor, text);
  EXPECT_EQ(r->error_detail, nullptr);
  EXPECT_EQ(r->error_code, JSON_OK);
  json_allocator defaults;
  json_default_allocator(&defaults);
  EXPECT_EQ(r->allocator.user, nullptr);
  EXPECT_EQ(r->allocator.allocate, defaults.allocate);
  EXPECT_EQ(r->allocator.reallocate, defaults.reallocate);
  EXPECT_EQ(r->allocator.free, defaults.free);
  json_reader_destroy(r);
}

TEST(Create, AllocatesTheContextThroughTheHooksAndCopiesThem) {
  hook_log log;
  char text[] = "[]";
  json_reader* r = nullptr;
  {
    json_allocator hooks{&log, log_allocate, log_reallocate, log_free};
    r = json_reader_create(text, &hooks);
    ASSERT_NE(r, nullptr);
    // The caller's hook set need not outlive the call.
    std::memset(&hooks, 0, sizeof hooks);
  }
  EXPECT_EQ(log.allocations, 1);
  EXPECT_EQ(log.last_size, sizeof(json_reader));
  EXPECT_EQ(log.seen_user, &log);
  EXPECT_EQ(static_cast<void*>(r), log.last_block);
  EXPECT_EQ(r->allocator.user, &log);
  EXPECT_EQ(r->allocator.allocate, &log_allocate);
  EXPECT_EQ(r->allocator.reallocate, &log_reallocate);
  EXPECT_EQ(r->allocator.free, &log_free);

  json_reader_destroy(r);
  EXPECT_EQ(log.frees, 1);
  EXPECT_EQ(log.freed_block, log.last_block);
  EXPECT_STREQ(text, "[]") << "the text is the caller's";
}

TEST(Create, FailedAllocationGivesNull) {
  hook_log log;
  log.fail = true;
  json_allocator hooks{&log, log_allocate, log_reallocate, log_free};
  char text[] = "{}";
  EXPECT_EQ(json_reader_create(text, &hooks), nullptr);
  EXPECT_EQ(log.allocations, 1);
  EXPECT_EQ(log.frees, 0);
}

TEST(Destroy, NullIsIgnored) { json_reader_destroy(nullptr); }

// ---------------------------------------------------------------------------
// White space.

TEST(SkipSpace, ExactlyTheSixPosixSpaceBytes) {
  ASSERT_NE(std::setlocale(LC_CTYPE, nullptr), nullptr);
  for (int c = 1; c < 256; ++c) {
    char text[3] = {static_cast<char>(c), 'x', '\0'};
    json_reader* r = json_reader_create(text, nullptr);
    json_skip_space(r);
    const bool expected = c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
    EXPECT_EQ(r->cursor - r->start, expected ? 1 : 0) << "byte " << c;
    EXPECT_EQ(expected, std::isspace(c) != 0) << "C-locale isspace differs at " << c;
    EXPECT_EQ(r->error_code, JSON_OK);
    json_reader_destroy(r);
  }
}

TEST(SkipSpace, StopsAtTheEndOfTheText) {
  json_text t(" \t\r\n\v\f");
  json_skip_space(t.r());
  EXPECT_EQ(t.at(), 6u);
  json_skip_space(t.r());
  EXPECT_EQ(t.state(), reader_state(JSON_OK, 6));
}

TEST(SkipSpace, VerticalTabAndFormFeedSeparateTokens) {
  json_text t("\v[\f1\v,\f2\v]\f");
  EXPECT_EQ(json_skip_value(t.r()), JSON_OK);
  EXPECT_EQ(t.at(), 10u);
}

// ---------------------------------------------------------------------------
// Literals.

TEST(ReadBool, TrueAndFalse) {
  json_text t(" true\tfalse");
  EXPECT_EQ(json_read_bool(t.r()), 1);
  EXPECT_EQ(t.at(), 5u);
  EXPECT_EQ(json_read_bool(t.r()), 0);
  EXPECT_EQ(t.state(), reader_state(JSON_OK, 11));
}

TEST(ReadBool, NothingTestsWhatFollows) {
  json_text t("truex");
  EXPECT_EQ(json_read_bool(t.r()), 1);
  EXPECT_EQ(t.state(), reader_state(JSON_OK, 4));
  json_read_bool(t.r());
  EXPECT_EQ(t.state(), reader_state(JSON_BOOL_EXPECTED, 4));
}

TEST(ReadBool, FailureLeavesTheCursorAfterTheWhiteSpace) {
  for (const char* text : {"  tru", "  True", "  fals", "  1", "  ", "  null"}) {
    json_text t(text);
    EXPECT_EQ(json_read_bool(t.r()), 0) << text;
    EXPECT_EQ(t.state(), reader_state(JSON_BOOL_EXPECTED, 2)) << text;
  }
}

TEST(ReadNull, NullAndFailure) {
  json_text ok(" null,");
  EXPECT_EQ(json_read_null(ok.r()), 0);
  EXPECT_EQ(ok.state(), reader_state(JSON_OK, 5));

  for (const char* text : {" nul", " Null", " ", " \"null\""}) {
    json_text t(text);
    EXPECT_EQ(json_read_null(t.r()), JSON_NULL_EXPECTED) << text;
    EXPECT_EQ(t.state(), reader_state(JSON_NULL_EXPECTED, 1)) << text;
  }
}

// ---------------------------------------------------------------------------
// Strings.

TEST(ReadString, PlainStringIsReturnedInPlace) {
  json_text t("  \"abc\" ,");
  char* s = json_read_string(t.r());
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s, t.data() + 3) << "pointer to the byte after the opening quote";
  EXPECT_STREQ(s, "abc");
  EXPECT_EQ(t.data()[6], '\0') << "the closing quote became the NUL";
  EXPECT_EQ(t.state(), reader_state(JSON_OK, 7));
  EXPECT_EQ(std::memcmp(t.data() + 7, " ,", 3), 0) << "nothing after the string is touched";
}

TEST(ReadString, EmptyString) {
  json_text t("\"\"");
  char* s = json_read_string(t.r());
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s, "");
  EXPECT_EQ(t.at(), 2u);
}

TEST(ReadString, EscapedQuoteInTheMiddle) {
  json_text t(R"("a\"b"x)");
  char* s = json_read_string(t.r());
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s, "a\"b");
  EXPECT_EQ(t.at(), 6u);
  EXPECT_EQ(t.data()[6], 'x');
}

TEST(ReadString, EveryEscape) {
  json_text t(R"("\"\/\\\b\f\n\r\t|")");
  char* s = json_read_string(t.r());
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s, "\"/\\\b\f\n\r\t|");
  EXPECT_EQ(t.state(), reader_state(JSON_OK, t.size()));
}

TEST(ReadString, EscapedNulEndsTheResultButTheWholeStringIsRead) {
  json_text t(R"("ab\u0000cd",)");
  char* s = json_read_string(t.r());
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s, "ab");
  EXPECT_EQ(std::memcmp(s, "ab\0cd\0", 6), 0);
  EXPECT_EQ(t.at(), 12u);
  EXPECT_EQ(t.data()[12], ',');
  EXPECT_EQ(t.code(), JSON_OK);
}

TEST(ReadString, TheRestAfterAnEscapedNulMustStillBeValid) {
  json_text t("\"a\\u0000\tb\"");
  EXPECT_EQ(json_read_string(t.r()), nullptr);
  EXPECT_EQ(t.state(), reader_state(JSON_BAD_STRING_CHAR, 8));
}

TEST(ReadString, OtherUnicodeEscapesAreRefused) {
  struct row {
    const char* text;
    int code;
    size_t at;
  };
  for (const row& c : std::vector<row>{
           {R"("x\u0041")", JSON_UNSUPPORTED_UNICODE, 2},
           {R"("x\u00e9")", JSON_UNSUPPORTED_UNICODE, 2},
           {R"("x\u00")", JSON_UNSUPPORTED_UNICODE, 2},  // the quote is no digit
           {R"("x\u000)", JSON_UNSUPPORTED_UNICODE, 2},  // the NUL is no digit
           {"\"x\\u", JSON_UNSUPPORTED_UNICODE, 2},
           {R"("x\U0000")", JSON_BAD_ESCAPE, 2},
           // The UTF-8 byte 0xC3 is refused (code 9) before the later escape is reached.
           {"\"x\\u0000\xc3\xa9\\u00e9\"", JSON_BAD_STRING_CHAR, 8}}) {
    json_text t(c.text);
    EXPECT_EQ(json_read_string(t.r()), nullptr) << c.text;
    EXPECT_EQ(t.state(), reader_state(c.code, c.at)) << c.text;
  }
}

TEST(ReadString, BadEscapes) {
  for (const char* text : {R"("ab\x")", R"("ab\a")", R"("ab\')", R"("ab\0")", "\"ab\\"}) {
    json_text t(text);
    EXPECT_EQ(json_read_string(t.r()), nullptr) << text;
    EXPECT_EQ(t.state(), reader_state(JSON_BAD_ESCAPE, 3))
        << text << " (a backslash before the NUL is 8, not 2)";
  }
}

TEST(ReadString, ControlBytesAndEveryByteFrom0x80AreRefusedWithCode9) {
  for (int c = 1; c < 256; ++c) {
    if (c >= 0x20 && c < 0x80) continue;
    std::string text = "\"ab";
    text += static_cast<char>(c);
    text += "cd\"";
    json_text t(text);
    EXPECT_EQ(json_read_string(t.r()), nullptr) << "byte " << c;
    EXPECT_EQ(t.state(), reader_state(JSON_BAD_STRING_CHAR, 3)) << "byte " << c;
  }
}

TEST(ReadString, EveryByteFrom0x20To0x7FIsCopied) {
  std::string text = "\"";
  std::string expected;
  for (int c = 0x20; c < 0x80; ++c) {
    if (c == '"' || c == '\\') continue;
    expected += static_cast<char>(c);
  }
  text += "\\n" + expected + "\"";  // the escape first forces the copying path
  json_text t(text);
  char* s = json_read_string(t.r());
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(std::string(s), "\n" + expected);
  EXPECT_EQ(t.at(), t.size());
}

TEST(ReadString, UnterminatedStringLeavesTheCursorOnTheOpeningQuote) {
  json_text t(R"(  "ab\ncd)");
  EXPECT_EQ(json_read_string(t.r()), nullptr);
  EXPECT_EQ(t.state(), reader_state(JSON_PREMATURE_END, 2));
  EXPECT_EQ(std::memcmp(t.data() + 3, "ab\ncd", 5), 0) << "bytes already unescaped stay rewritten";
}

TEST(ReadString, EndOfTextWhereAStringMustBegin) {
  for (const char* text : {"", "  ", "\t\n"}) {
    json_text t(text);
    EXPECT_EQ(json_read_string(t.r()), nullptr);
    EXPECT_EQ(t.state(), reader_state(JSON_PREMATURE_END, std::strlen(text)));
  }
}

TEST(ReadString, NotAString) {
  for (const char* text : {" 'a'", " 1", " {", " \xc3"}) {
    json_text t(text);
    EXPECT_EQ(json_read_string(t.r()), nullptr) << text;
    EXPECT_EQ(t.state(), reader_state(JSON_STRING_EXPECTED, 1)) << text;
  }
}

TEST(ReadString, EarlierStringsStayValid) {
  json_text t(R"(["a\tb","c\"d","",  "e"])");
  std::vector<char*> got;
  ASSERT_EQ(json_begin_array(t.r()), 0);
  do {
    char* s = json_read_string(t.r());
    ASSERT_NE(s, nullptr);
    got.push_back(s);
  } while (json_next_element(t.r()) == 0);
  ASSERT_EQ(t.code(), JSON_OK);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_STREQ(got[0], "a\tb");
  EXPECT_STREQ(got[1], "c\"d");
  EXPECT_STREQ(got[2], "");
  EXPECT_STREQ(got[3], "e");
  EXPECT_EQ(t.at(), t.size());
}

// ---------------------------------------------------------------------------
// Integer readers. Each test sets errno to 0 first, as a binding does.

TEST(ReadInt64, DecimalOctalHexAndSigns) {
  struct row {
    const char* text;
    int64_t value;
    size_t end;
  };
  for (const row& c : std::vector<row>{{"0", 0, 1},
                                       {"123,", 123, 3},
                                       {"-42]", -42, 3},
                                       {"+7", 7, 2},
                                       {"010", 8, 3},
                                       {"0x1e", 30, 4},
                                       {"0X1E}", 30, 4},
                                       {"08", 0, 1},
                                       {"0xg", 0, 1},
                                       {" \n 5", 5, 4},
                                       {"9223372036854775807", INT64_MAX, 19},
                                       {"-9223372036854775808", INT64_MIN, 20}}) {
    errno = 0;
    json_text t(c.text);
    EXPECT_EQ(json_read_int64(t.r()), c.value) << c.text;
    EXPECT_EQ(t.state(), reader_state(JSON_OK, c.end)) << c.text;
  }
}

TEST(ReadInt64, NothingConvertedLeavesTheCursorEvenAfterWhiteSpace) {
  for (const char* text : {"", "  x", " -", "  \"1\"", "- 1", "+-1", ".5"}) {
    errno = 0;
    json_text t(text);
    json_read_int64(t.r());
    EXPECT_EQ(t.state(), reader_state(JSON_NUMBER_EXPECTED, 0)) << text;
  }
}

TEST(ReadInt64, OverflowLeavesTheCursor) {
  for (const char* text : {" 9223372036854775808", "-9223372036854775809", "0x10000000000000000"}) {
    errno = 0;
    json_text t(text);
    json_read_int64(t.r());
    EXPECT_EQ(t.state(), reader_state(JSON_NUMBER_OUT_OF_RANGE, 0)) << text;
  }
}

TEST(ReadInt64, FractionOrExponentRightAfterTheDigits) {
  errno = 0;
  json_text t("1.5");
  EXPECT_EQ(json_read_int64(t.r()), 1);
  EXPECT_EQ(t.state(), reader_state(JSON_BAD_NUMBER_FORMAT, 1));

  for (const char* text : {"1e5", "12E3", "0x1e.5"}) {
    errno = 0;
    json_text u(text);
    json_read_int64(u.r());
    EXPECT_EQ(u.code(), JSON_BAD_NUMBER_FORMAT) << text;
    EXPECT_TRUE(u.r()->cursor[0] == '.' || u.r()->cursor[0] == 'e' || u.r()->cursor[0] == 'E')
        << text;
  }
}

TEST(ReadInt64, StaleErangeCountsAsOverflow) {
  // The readers never reset errno: the caller clears it before a parse.
  errno = ERANGE;
  json_text t("1");
  json_read_int64(t.r());
  EXPECT_EQ(t.state(), reader_state(JSON_NUMBER_OUT_OF_RANGE, 0));
  errno = 0;
}

TEST(ReadUint64, Values) {
  struct row {
    const char* text;
    uint64_t value;
    size_t end;
  };
  for (const row& c : std::vector<row>{{"0x10", 16, 4},
                                       {"  +9", 9, 4},
                                       {"017", 15, 3},
                                       {"18446744073709551615", UINT64_MAX, 20}}) {
    errno = 0;
    json_text t(c.text);
    EXPECT_EQ(json_read_uint64(t.r()), c.value) << c.text;
    EXPECT_EQ(t.state(), reader_state(JSON_OK, c.end)) << c.text;
  }
}

TEST(ReadUint64, MinusIsABadFormatWithTheCursorOnIt) {
  errno = 0;
  json_text t(" -1");
  EXPECT_EQ(json_read_uint64(t.r()), 0u);
  EXPECT_EQ(t.state(), reader_state(JSON_BAD_NUMBER_FORMAT, 1));
}

TEST(ReadUint64, Failures) {
  errno = 0;
  json_text none("  x");
  json_read_uint64(none.r());
  EXPECT_EQ(none.state(), reader_state(JSON_NUMBER_EXPECTED, 2))
      << "the reader's own white-space skip stays";

  errno = 0;
  json_text big(" 18446744073709551616");
  json_read_uint64(big.r());
  EXPECT_EQ(big.state(), reader_state(JSON_NUMBER_OUT_OF_RANGE, 1));

  errno = 0;
  json_text real("2e1");
  EXPECT_EQ(json_read_uint64(real.r()), 2u);
  EXPECT_EQ(real.state(), reader_state(JSON_BAD_NUMBER_FORMAT, 1));
}

TEST(ReadInt32, Range) {
  errno = 0;
  json_text low("-2147483648");
  EXPECT_EQ(json_read_int32(low.r()), INT32_MIN);
  EXPECT_EQ(low.state(), reader_state(JSON_OK, 11));

  errno = 0;
  json_text high("2147483647");
  EXPECT_EQ(json_read_int32(high.r()), INT32_MAX);
  EXPECT_EQ(high.code(), JSON_OK);

  for (const char* text : {"2147483648", "-2147483649", "0x80000000", "9223372036854775807"}) {
    errno = 0;
    json_text t(text);
    json_read_int32(t.r());
    EXPECT_EQ(t.state(), reader_state(JSON_NUMBER_OUT_OF_RANGE, 0)) << "cursor put back: " << text;
  }
}

TEST(ReadInt32, AnyFailurePutsTheCursorBack) {
  errno = 0;
  json_text t("1.5");
  json_read_int32(t.r());
  EXPECT_EQ(t.state(), reader_state(JSON_BAD_NUMBER_FORMAT, 0));

  errno = 0;
  json_text u(" 99999999999999999999");
  json_read_int32(u.r());
  EXPECT_EQ(u.state(), reader_state(JSON_NUMBER_OUT_OF_RANGE, 0));
}

TEST(ReadInt32, AnEarlierCodePutsTheCursorBackToo) {
  // The test is on error_code after the step, which no primitive clears.
  errno = 0;
  json_text t("12");
  t.r()->error_code = JSON_NAME_SEPARATOR_EXPECTED;
  EXPECT_EQ(json_read_int32(t.r()), 12);
  EXPECT_EQ(t.state(), reader_state(JSON_NAME_SEPARATOR_EXPECTED, 0));
}

TEST(ReadUint32, Range) {
  errno = 0;
  json_text max(" 4294967295");
  EXPECT_EQ(json_read_uint32(max.r()), UINT32_MAX);
  EXPECT_EQ(max.state(), reader_state(JSON_OK, 11));

  errno = 0;
  json_text over(" 4294967296");
  json_read_uint32(over.r());
  EXPECT_EQ(over.state(), reader_state(JSON_NUMBER_OUT_OF_RANGE, 0))
      << "back to before the white space";

  errno = 0;
  json_text minus(" -1");
  json_read_uint32(minus.r());
  EXPECT_EQ(minus.state(), reader_state(JSON_BAD_NUMBER_FORMAT, 0));
}

// ---------------------------------------------------------------------------
// Skipping a number.

TEST(SkipNumber, LenientForms) {
  struct row {
    const char* text;
    size_t end;
  };
  for (const row& c : std::vector<row>{{"-", 1},
                                       {"-.5", 3},
                                       {".5", 2},
                                       {"007", 3},
                                       {"1.5E+10", 7},
                                       {"1e-0", 4},
                                       {" 12x", 3},
                                       {"1.5.6", 3},
                                       {"-0e00,", 5},
                                       {"0x10", 1}}) {
    json_text t(c.text);
    EXPECT_EQ(json_skip_number(t.r()), 0) << c.text;
    EXPECT_EQ(t.state(), reader_state(JSON_OK, c.end)) << c.text;
  }
}

TEST(SkipNumber, NothingToSkipIsNoError) {
  for (const char* text : {"x", "+1", "", "  "}) {
    json_text t(text);
    EXPECT_EQ(json_skip_number(t.r()), 0) << text;
    EXPECT_EQ(t.state(), reader_state(JSON_OK, std::strspn(text, " "))) << text;
  }
}

TEST(SkipNumber, MissingDigitsAfterDotOrExponent) {
  for (const char* text : {"  1.", "  1e", "  1E+", "  -1.e5", "  2.e3", "  0.3e-", "  ."}) {
    json_text t(text);
    EXPECT_EQ(json_skip_number(t.r()), JSON_BAD_NUMBER_FORMAT) << text;
    EXPECT_EQ(t.state(), reader_state(JSON_BAD_NUMBER_FORMAT, 2))
        << "where the number began: " << text;
  }
}

// ---------------------------------------------------------------------------
// Objects.

TEST(Object, EmptyObject) {
  json_text t(" { \n} ");
  EXPECT_EQ(json_begin_object(t.r()), 0);
  EXPECT_EQ(json_end_object(t.r()), 1);
  EXPECT_EQ(t.state(), reader_state(JSON_OK, 5));
}

TEST(Object, BeginFailsWithTheCursorOnTheByte) {
  for (const char* text : {"", " [", " \"a\""}) {
    json_text t(text);
    EXPECT_EQ(json_begin_object(t.r()), JSON_OBJECT_EXPECTED) << text;
    EXPECT_EQ(t.state(), reader_state(JSON_OBJECT_EXPECTED, std::strspn(text, " ")));
  }
}

TEST(Object, EndObjectNeverFails) {
  json_text t("  x");
  EXPECT_EQ(json_end_object(t.r()), 0);
  EXPECT_EQ(t.state(), reader_state(JSON_OK, 2));
}

TEST(Object, MembersAndSeparators) {
  json_text t(R"({ "a" : true , "b":null })");
  ASSERT_EQ(json_begin_object(t.r()), 0);
  ASSERT_EQ(json_end_object(t.r()), 0);
  char* a = json_read_key(t.r());
  ASSERT_NE(a, nullptr);
  EXPECT_STREQ(a, "a");
  EXPECT_EQ(json_read_bool(t.r()), 1);
  EXPECT_EQ(json_next_member(t.r()), 0);
  char* b = json_read_key(t.r());
  ASSERT_NE(b, nullptr);
  EXPECT_STREQ(b, "b");
  EXPECT_EQ(json_read_null(t.r()), 0);
  EXPECT_EQ(json_next_member(t.r()), 1);
  EXPECT_EQ(t.state(), reader_state(JSON_OK, t.size()));
}

TEST(Object, NextMemberFailure) {
  json_text t(R"({"a":1 ])");
  json_begin_object(t.r());
  json_read_key(t.r());
  json_skip_value(t.r());
  EXPECT_EQ(json_next_member(t.r()), JSON_OBJECT_SEPARATOR_EXPECTED);
  EXPECT_EQ(t.state(), reader_state(JSON_OBJECT_SEPARATOR_EXPECTED, 7));
}

TEST(Object, TextCutAfterAMemberValue) {
  json_text t(R"({"a":1)");
  json_begin_object(t.r());
  json_read_key(t.r());
  json_skip_value(t.r());
  ASSERT_EQ(t.code(), JSON_OK);
  EXPECT_EQ(json_next_member(t.r()), JSON_OBJECT_SEPARATOR_EXPECTED);
  EXPECT_EQ(t.at(), t.size());
}

TEST(ReadKey, MissingSeparatorStillReturnsTheName) {
  json_text t(R"({"port" 80})");
  json_begin_object(t.r());
  char* name = json_read_key(t.r());
  ASSERT_NE(name, nullptr);
  EXPECT_STREQ(name, "port");
  EXPECT_EQ(t.state(), reader_state(JSON_NAME_SEPARATOR_EXPECTED, 8)) << "on the digit";
}

TEST(ReadKey, NameThatIsNotAString) {
  json_text t("{ 1: 2}");
  json_begin_object(t.r());
  EXPECT_EQ(json_read_key(t.r()), nullptr);
  EXPECT_EQ(t.state(), reader_state(JSON_STRING_EXPECTED, 2));
}

TEST(ReadKey, EndOfTextWhereANameMustBegin) {
  json_text t("{ ");
  json_begin_object(t.r());
  EXPECT_EQ(json_read_key(t.r()), nullptr);
  EXPECT_EQ(t.state(), reader_state(JSON_PREMATURE_END, 2));
}

TEST(ReadKey, EndOfTextAfterTheName) {
  json_text t(R"({"a")");
  json_begin_object(t.r());
  char* name = json_read_key(t.r());
  ASSERT_NE(name, nullptr);
  EXPECT_STREQ(name, "a");
  EXPECT_EQ(t.state(), reader_state(JSON_NAME_SEPARATOR_EXPECTED, 4));
}

// ---------------------------------------------------------------------------
// Arrays.

TEST(Array, EmptyArray) {
  json_text t("[ ]");
  EXPECT_EQ(json_begin_array(t.r()), 0);
  EXPECT_EQ(json_end_array(t.r()), 1);
  EXPECT_EQ(t.state(), reader_state(JSON_OK, 3));
}

TEST(Array, BeginFailsWithTheCursorOnTheByte) {
  json_text t("  {");
  EXPECT_EQ(json_begin_array(t.r()), JSON_ARRAY_EXPECTED);
  EXPECT_EQ(t.state(), reader_state(JSON_ARRAY_EXPECTED, 2));
}

TEST(Array, ElementsAndSeparators) {
  json_text t("[1, 2 ,3]");
  errno = 0;
  ASSERT_EQ(json_begin_array(t.r()), 0);
  ASSERT_EQ(json_end_array(t.r()), 0);
  std::vector<int32_t> got;
  int step = 0;
  do {
    got.push_back(json_read_int32(t.r()));
    ASSERT_EQ(t.code(), JSON_OK);
  } while ((step = json_next_element(t.r())) == 0);
  EXPECT_EQ(step, 1);
  EXPECT_EQ(got, (std::vector<int32_t>{1, 2, 3}));
  EXPECT_EQ(t.at(), t.size());
}

TEST(Array, NextElementFailureAndCutText) {
  json_text t("[1 }");
  json_begin_array(t.r());
  json_skip_value(t.r());
  EXPECT_EQ(json_next_element(t.r()), JSON_ARRAY_SEPARATOR_EXPECTED);
  EXPECT_EQ(t.state(), reader_state(JSON_ARRAY_SEPARATOR_EXPECTED, 3));

  json_text cut("[true");
  json_begin_array(cut.r());
  json_skip_value(cut.r());
  ASSERT_EQ(cut.code(), JSON_OK);
  EXPECT_EQ(json_next_element(cut.r()), JSON_ARRAY_SEPARATOR_EXPECTED);
  EXPECT_EQ(cut.at(), cut.size());
}

TEST(Array, EndArrayNeverFails) {
  json_text t("}");
  EXPECT_EQ(json_end_array(t.r()), 0);
  EXPECT_EQ(t.state(), reader_state(JSON_OK, 0));
}

// ---------------------------------------------------------------------------
// Lookahead.

TEST(Peek, LooksAtTheByteOnlyWithoutSkippingWhiteSpace) {
  struct row {
    const char* text;
    int boolean, null, number, string, object, array;
  };
  for (const row& c : std::vector<row>{{"t", 1, 0, 0, 0, 0, 0},
                                       {"f", 1, 0, 0, 0, 0, 0},
                                       {"n", 0, 1, 0, 0, 0, 0},
                                       {"-", 0, 0, 1, 0, 0, 0},
                                       {"0", 0, 0, 1, 0, 0, 0},
                                       {"9", 0, 0, 1, 0, 0, 0},
                                       {"\"", 0, 0, 0, 1, 0, 0},
                                       {"{", 0, 0, 0, 0, 1, 0},
                                       {"[", 0, 0, 0, 0, 0, 1},
                                       {" [", 0, 0, 0, 0, 0, 0},
                                       {"+", 0, 0, 0, 0, 0, 0},
                                       {".", 0, 0, 0, 0, 0, 0},
                                       {"", 0, 0, 0, 0, 0, 0}}) {
    json_text t(c.text);
    EXPECT_EQ(json_peek_bool(t.r()), c.boolean) << c.text;
    EXPECT_EQ(json_peek_null(t.r()), c.null) << c.text;
    EXPECT_EQ(json_peek_number(t.r()), c.number) << c.text;
    EXPECT_EQ(json_peek_string(t.r()), c.string) << c.text;
    EXPECT_EQ(json_peek_object(t.r()), c.object) << c.text;
    EXPECT_EQ(json_peek_array(t.r()), c.array) << c.text;
    EXPECT_EQ(t.state(), reader_state(JSON_OK, 0));
  }
}

// ---------------------------------------------------------------------------
// Skipping values.

TEST(SkipValue, EveryKindOfValue) {
  json_text t(R"( {"a":[1,-2.5e3,"x\"y",true,false,null,{},[]],"b":{"c":{"d":[[]]}},"":""} tail)");
  EXPECT_EQ(json_skip_value(t.r()), JSON_OK);
  EXPECT_EQ(std::string(t.r()->cursor), " tail");
}

TEST(SkipValue, SkippedStringsAreUnescapedInPlace) {
  json_text t(R"(["a\nb"])");
  EXPECT_EQ(json_skip_value(t.r()), JSON_OK);
  EXPECT_EQ(std::memcmp(t.data(), "[\"a\nb\0\"]", 8), 0);
}

// The code and where the cursor stops: lenient numbers, broken literals,
// trailing commas, failures deep inside containers.
TEST(SkipValue, CodeAndCursor) {
  struct row {
    const char* text;
    int code;
    size_t at;
  };
  for (const row& c : std::vector<row>{{"", JSON_VALUE_EXPECTED, 0},
                                       {"-", JSON_OK, 1},
                                       {"-.5", JSON_OK, 3},
                                       {"007", JSON_OK, 3},
                                       {"1.5E+10", JSON_OK, 7},
                                       {"1.", JSON_BAD_NUMBER_FORMAT, 0},
                                       {"1e", JSON_BAD_NUMBER_FORMAT, 0},
                                       {"+1", JSON_VALUE_EXPECTED, 0},
                                       {".5", JSON_VALUE_EXPECTED, 0},
                                       {"  tru", JSON_BOOL_EXPECTED, 2},
                                       {"[nul]", JSON_NULL_EXPECTED, 1},
                                       {"\xc3\xa9", JSON_VALUE_EXPECTED, 0},
                                       {R"({"a":1,})", JSON_STRING_EXPECTED, 7},
                                       {"[1,]", JSON_VALUE_EXPECTED, 3},
                                       {R"({"a" 1})", JSON_NAME_SEPARATOR_EXPECTED, 5},
                                       {R"({"a":1 "b":2})", JSON_OBJECT_SEPARATOR_EXPECTED, 7},
                                       {R"([[1] [2]])", JSON_ARRAY_SEPARATOR_EXPECTED, 5},
                                       {R"({"a":[1,{"b":"\q"}]})", JSON_BAD_ESCAPE, 14},
                                       {R"([{"a":"b)", JSON_PREMATURE_END, 6},
                                       {R"([{"a":)", JSON_VALUE_EXPECTED, 6},
                                       {R"([{)", JSON_PREMATURE_END, 2},
                                       {R"([)", JSON_VALUE_EXPECTED, 1},
                                       {R"({"a":})", JSON_VALUE_EXPECTED, 5},
                                       {R"([1.e5])", JSON_BAD_NUMBER_FORMAT, 1}}) {
    json_text t(c.text);
    EXPECT_EQ(json_skip_value(t.r()), c.code) << c.text;
    EXPECT_EQ(t.state(), reader_state(c.code, c.at)) << c.text;
  }
}

TEST(SkipValue, ResultIsTheCodeAfterTheStep) {
  // No primitive clears the code: a successful skip returns an earlier code.
  json_text t("true");
  t.r()->error_code = JSON_REQUIRED_FIELDS_MISSING;
  EXPECT_EQ(json_skip_value(t.r()), JSON_REQUIRED_FIELDS_MISSING);
  EXPECT_EQ(t.at(), 4u);
}

TEST(SkipObject, StopsOnAnEarlierCodeInsideTheLoop) {
  json_text t(R"({"a":1})");
  t.r()->error_code = JSON_OUT_OF_MEMORY;
  EXPECT_EQ(json_skip_object(t.r()), JSON_OUT_OF_MEMORY);
  EXPECT_EQ(t.at(), 1u) << "stopped right after '{'";
}

TEST(SkipObjectAndArray, WrongContainer) {
  json_text o("  [1]");
  EXPECT_EQ(json_skip_object(o.r()), JSON_OBJECT_EXPECTED);
  EXPECT_EQ(o.at(), 2u);
  json_text a("  {}");
  EXPECT_EQ(json_skip_array(a.r()), JSON_ARRAY_EXPECTED);
  EXPECT_EQ(a.at(), 2u);
}

TEST(SkipObjectAndArray, Success) {
  json_text o(R"( { "k" : [ 1 , { } ] } ,)");
  EXPECT_EQ(json_skip_object(o.r()), 0);
  EXPECT_EQ(std::string(o.r()->cursor), " ,");
  json_text a(R"([ {"k":"v"}, [], "s" ] ])");
  EXPECT_EQ(json_skip_array(a.r()), 0);
  EXPECT_EQ(std::string(a.r()->cursor), " ]");
}

// ---------------------------------------------------------------------------
// Nesting bound (the reader's own limit).

std::string nested_arrays(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

std::string nested_objects(int depth) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += "{\"k\":";
  text += "0";
  text += std::string(depth, '}');
  return text;
}

TEST(NestingLimit, AcceptsTheLimit) {
  json_text arrays(nested_arrays(JSON_MAX_NESTING_DEPTH));
  EXPECT_EQ(json_skip_value(arrays.r()), JSON_OK);
  EXPECT_EQ(arrays.at(), arrays.size());

  json_text objects(nested_objects(JSON_MAX_NESTING_DEPTH));
  EXPECT_EQ(json_skip_value(objects.r()), JSON_OK);
  EXPECT_EQ(objects.at(), objects.size());

  json_text direct(nested_arrays(JSON_MAX_NESTING_DEPTH));
  EXPECT_EQ(json_skip_array(direct.r()), JSON_OK) << "the top-level array is level 1";
}

TEST(NestingLimit, RefusesOneLevelMoreWithTheCursorOnTheBracket) {
  json_text arrays(nested_arrays(JSON_MAX_NESTING_DEPTH + 1));
  EXPECT_EQ(json_skip_value(arrays.r()), JSON_NESTING_TOO_DEEP);
  EXPECT_EQ(arrays.state(),
            reader_state(JSON_NESTING_TOO_DEEP, static_cast<size_t>(JSON_MAX_NESTING_DEPTH)));

  json_text objects(nested_objects(JSON_MAX_NESTING_DEPTH + 1));
  EXPECT_EQ(json_skip_object(objects.r()), JSON_NESTING_TOO_DEEP);
  EXPECT_EQ(objects.at(), static_cast<size_t>(JSON_MAX_NESTING_DEPTH) * 5);
  EXPECT_EQ(*objects.r()->cursor, '{');
}

TEST(NestingLimit, HundredsOfThousandsOfOpeningBracketsDoNotCrash) {
  json_text t(std::string(300000, '[') + std::string(300000, '{'));
  EXPECT_EQ(json_skip_value(t.r()), JSON_NESTING_TOO_DEEP);
  EXPECT_EQ(t.at(), static_cast<size_t>(JSON_MAX_NESTING_DEPTH));
}

TEST(NestingLimit, CountsOnlyEnclosingContainers) {
  // Many siblings at a shallow level are fine.
  std::string text = "[";
  for (int i = 0; i < 5000; ++i) text += "[[]],";
  text += "{}]";
  json_text t(text);
  EXPECT_EQ(json_skip_value(t.r()), JSON_OK);
  EXPECT_EQ(t.at(), t.size());
}

}  // namespace
