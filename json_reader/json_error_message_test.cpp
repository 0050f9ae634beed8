// json_error_message: the message table, its pieces and the cut.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "harness/json_text.hpp"
#include "json_reader/json_reader.hpp"

namespace {

using harness::json_text;

// Sets the reader's state by hand, as a failed operation would leave it.
std::string message(json_text& t, int code, size_t offset, const char* detail = nullptr,
                    int err = 0) {
  t.r()->error_code = code;
  t.r()->cursor = t.r()->start + offset;
  t.r()->error_detail = detail;
  errno = err;
  std::string result = json_error_message(t.r());
  EXPECT_EQ(errno, err) << "errno is left as it was";
  errno = 0;
  return result;
}

const char* const MESSAGE_TABLE[] = {
    "OK, no error.",
    "JSON array or object has ended.",
    "JSON document has ended prematurely. Check that all strings are properly ended.",
    "Any value is expected, but was not found.",
    "Number is expected.",
    "Number value is out of range for expected type.",
    "Invalid or unsupported number format. Check that there are no floating point numbers.",
    "String is expected.",
    "Invalid escape sequence found in string.",
    "Invalid character found in string. Check that strings do not contain control characters.",
    "Invalid or unsupported Unicode character or escape sequence found in string. UTF8 encoded "
    "characters "
    "and '\\u' escape sequences are not supported.",
    "JSON object is expected.",
    "JSON name separator (':') is expected inside an object.",
    "JSON value separator (',') or end of object is expected.",
    "Some required fields are missing from the JSON object. Check that input JSON document "
    "conforms to "
    "schema.",
    "JSON array is expected.",
    "JSON value separator (',') or end of array is expected.",
    "Boolean value is expected.",
    "'null' is expected.",
    "'null' is unexpected in this context. Check that input JSON document conforms to schema.",
    "Failed to allocate memory.",
    "Encountered an object field \"N/A\" not present in JSON schema. Remove excessive data from "
    "input "
    "JSON document or allow skipping unknown fields.",
    "Encountered a duplicate field \"N/A\" in a JSON object. Remove duplicates from input JSON "
    "document "
    "or disable duplicate fields check.",
    "Custom JSON value constraint failed: N/A.",
};

TEST(ErrorMessage, CodeZeroIsTheBareMessage) {
  json_text t("abc");
  EXPECT_EQ(message(t, JSON_OK, 1), "OK, no error.");
  EXPECT_EQ(message(t, JSON_OK, 1, nullptr, ENOMEM), "OK, no error.") << "no errno piece either";
}

TEST(ErrorMessage, EveryCodeOfTheTable) {
  json_text t("x");
  for (int code = 1; code <= 23; ++code) {
    EXPECT_EQ(message(t, code, 0),
              std::string(MESSAGE_TABLE[code]) + " Error occured at offset 0, character 'x'. ")
        << "code " << code;
  }
}

TEST(ErrorMessage, ExampleCode7) {
  json_text t("{\"a\":1, \"b\":2,\n  x}");
  ASSERT_EQ(t.data()[17], 'x');
  EXPECT_EQ(message(t, JSON_STRING_EXPECTED, 17),
            "String is expected. Error occured at offset 17, character 'x'. ");
}

TEST(ErrorMessage, FromARealFailure) {
  json_text t("{\"key\":1" + std::string(31, ' ') + "1]");  // the second '1' is at offset 39
  json_begin_object(t.r());
  json_read_key(t.r());
  json_skip_value(t.r());
  errno = 0;
  EXPECT_EQ(json_next_member(t.r()), JSON_OBJECT_SEPARATOR_EXPECTED);
  EXPECT_EQ(t.at(), 39u);
  EXPECT_EQ(std::string(json_error_message(t.r())),
            "JSON value separator (',') or end of object is expected. Error occured at offset 39, "
            "character '1'. ");
}

TEST(ErrorMessage, Code13AtOffset40) {
  json_text t(std::string(40, ' ') + "]");
  EXPECT_EQ(message(t, JSON_OBJECT_SEPARATOR_EXPECTED, 40),
            "JSON value separator (',') or end of object is expected. Error occured at offset 40, "
            "character ']'. ");
}

TEST(ErrorMessage, CharacterPiece) {
  json_text t(std::string("a \t\x7f\xc3~", 6));
  const std::string m = MESSAGE_TABLE[JSON_VALUE_EXPECTED];
  EXPECT_EQ(message(t, 3, 0), m + " Error occured at offset 0, character 'a'. ");
  EXPECT_EQ(message(t, 3, 1), m + " Error occured at offset 1, character ' '. ");
  EXPECT_EQ(message(t, 3, 2), m + " Error occured at offset 2, character '\\x09'. ");
  EXPECT_EQ(message(t, 3, 3), m + " Error occured at offset 3, character '\\x7f'. ");
  EXPECT_EQ(message(t, 3, 4), m + " Error occured at offset 4, character '\\xc3'. ");
  EXPECT_EQ(message(t, 3, 5), m + " Error occured at offset 5, character '~'. ");
  EXPECT_EQ(message(t, 3, 6), m + " Error occured at offset 6, character '\\x00'. ")
      << "end of the text";
}

TEST(ErrorMessage, DetailCodes) {
  json_text t("x");
  EXPECT_EQ(message(t, JSON_UNKNOWN_FIELD, 0),
            std::string(MESSAGE_TABLE[21]) + " Error occured at offset 0, character 'x'. ");
  EXPECT_EQ(
      message(t, JSON_UNKNOWN_FIELD, 0, "poold"),
      "Encountered an object field \"poold\" not present in JSON schema. Remove excessive data "
      "from input "
      "JSON document or allow skipping unknown fields. Error occured at offset 0, character 'x'. ");
  EXPECT_EQ(
      message(t, JSON_DUPLICATE_FIELD, 0, "path"),
      "Encountered a duplicate field \"path\" in a JSON object. Remove duplicates from input JSON "
      "document or disable duplicate fields check. Error occured at offset 0, character 'x'. ");
  EXPECT_EQ(message(t, JSON_CONSTRAINT_FAILED, 0, "id is empty"),
            "Custom JSON value constraint failed: id is empty. Error occured at offset 0, "
            "character 'x'. ");
  EXPECT_EQ(message(t, JSON_CONSTRAINT_FAILED, 0, "100%s %d %n"),
            "Custom JSON value constraint failed: 100%s %d %n. Error occured at offset 0, "
            "character 'x'. ")
      << "the detail is data, not a format";
  EXPECT_EQ(message(t, JSON_STRING_EXPECTED, 0, "ignored"),
            "String is expected. Error occured at offset 0, character 'x'. ")
      << "only codes 21 to 23 take the detail";
}

TEST(ErrorMessage, UnknownCodes) {
  json_text t("x");
  for (int code : {24, 25, 99, 101, 1000, -1, -100, INT32_MIN, INT32_MAX}) {
    EXPECT_EQ(message(t, code, 0), "unknown error code Error occured at offset 0, character 'x'. ")
        << code;
  }
}

TEST(ErrorMessage, NestingLimitHasItsOwnMessage) {
  json_text t(std::string(600, '['));
  json_skip_value(t.r());
  ASSERT_EQ(t.code(), JSON_NESTING_TOO_DEEP);
  errno = 0;
  EXPECT_EQ(std::string(json_error_message(t.r())),
            "JSON document is nested too deeply (more than 512 levels of arrays and objects). "
            "Error occured at offset 512, character '['. ");
}

TEST(ErrorMessage, SystemErrorPiece) {
  json_text t("x");
  EXPECT_EQ(message(t, JSON_OUT_OF_MEMORY, 0, nullptr, 12),
            std::string("Failed to allocate memory. Error occured at offset 0, character 'x'. ") +
                "Also system error occured: " + std::strerror(12) + " (12).");
  EXPECT_EQ(message(t, JSON_OUT_OF_MEMORY, 0, nullptr, ERANGE),
            std::string("Failed to allocate memory. Error occured at offset 0, character 'x'. ") +
                "Also system error occured: " + std::strerror(ERANGE) + " (" +
                std::to_string(ERANGE) + ").");
  EXPECT_EQ(message(t, 200, 1, nullptr, 2),
            std::string("unknown error code Error occured at offset 1, character '\\x00'. ") +
                "Also system error occured: " + std::strerror(2) + " (2).");
}

TEST(ErrorMessage, OverlongDetailIsCutAt1023Bytes) {
  json_text t("x");
  const std::string detail(3000, 'd');
  const std::string m = message(t, JSON_CONSTRAINT_FAILED, 0, detail.c_str(), ENOENT);
  EXPECT_EQ(m.size(), 1023u);
  EXPECT_EQ(m, ("Custom JSON value constraint failed: " + detail).substr(0, 1023))
      << "no offset, character or system piece follows";
}

TEST(ErrorMessage, CutInsideALaterPiece) {
  // Choose a detail so that the joined pieces run past 1023 bytes inside the
  // offset piece; the result is the joined text cut after 1023 bytes.
  json_text t("x");
  const std::string prefix = "Custom JSON value constraint failed: ";
  for (size_t filler :
       {1023 - prefix.size() - 2, 1023 - prefix.size() - 1, 1023 - prefix.size() - 20,
        1023 - prefix.size() - 40, 1023 - prefix.size() - 60}) {
    const std::string detail(filler, 'd');
    const std::string full = prefix + detail + ". Error occured at offset 0, character 'x'. " +
                             "Also system error occured: " + std::strerror(EACCES) + " (" +
                             std::to_string(EACCES) + ").";
    EXPECT_EQ(message(t, JSON_CONSTRAINT_FAILED, 0, detail.c_str(), EACCES), full.substr(0, 1023))
        << filler;
  }
}

TEST(ErrorMessage, SameBufferEveryCall) {
  json_text t("x");
  t.r()->error_code = JSON_STRING_EXPECTED;
  errno = 0;
  const char* first = json_error_message(t.r());
  const std::string first_text = first;
  t.r()->error_code = JSON_ARRAY_EXPECTED;
  const char* second = json_error_message(t.r());
  EXPECT_EQ(first, second);
  EXPECT_NE(first_text, std::string(second));
  EXPECT_EQ(std::string(second),
            "JSON array is expected. Error occured at offset 0, character 'x'. ");
}

TEST(ErrorMessage, ChangesNeitherTheReaderNorTheText) {
  json_text t("[1 2]");
  json_skip_value(t.r());
  ASSERT_EQ(t.code(), JSON_ARRAY_SEPARATOR_EXPECTED);
  const json_reader before = *t.r();
  errno = 0;
  json_error_message(t.r());
  EXPECT_EQ(t.r()->start, before.start);
  EXPECT_EQ(t.r()->cursor, before.cursor);
  EXPECT_EQ(t.r()->error_detail, before.error_detail);
  EXPECT_EQ(t.r()->error_code, before.error_code);
  EXPECT_EQ(std::string(t.data()), "[1 2]");
}

}  // namespace
