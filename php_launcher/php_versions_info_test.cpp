#include "php_launcher/php_versions_info.hpp"

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "harness/php_registry.hpp"

namespace {

using harness::handler_json;
using harness::parsed_registry;

std::string with_handlers(const std::string& handlers) { return "{\"php\":[" + handlers + "]}"; }

// A record's text members in declaration order ("(null)" for a null one),
// then its system flag as a number.
std::vector<std::string> fields_of(const php_handler& h) {
  std::vector<std::string> fields;
  for (const char* f :
       {h.id, h.path, h.clipath, h.version, h.displayname, h.phpini, h.type, h.service, h.poold})
    fields.push_back(f != nullptr ? f : "(null)");
  fields.push_back("system=" + std::to_string(h.system));
  return fields;
}

TEST(RegistrySchema, RequiredMembersAloneTakeTheDefaults) {
  parsed_registry parsed(with_handlers(handler_json("cgi")));
  ASSERT_EQ(parsed.code(), JSON_OK);
  ASSERT_EQ(parsed.root()->count, 1u);
  const php_handler& h = parsed.item(0);
  EXPECT_EQ(fields_of(h),
            (std::vector<std::string>{"cgi", "/opt/php/cgi/bin/php-cgi", "", "8.cgi", "PHP cgi",
                                      "/opt/php/cgi/etc/php.ini", "fastcgi", "", "", "system=0"}));
  for (const char* optional : {h.clipath, h.service, h.poold})
    EXPECT_FALSE(optional != nullptr && parsed.points_into_text(optional));
  EXPECT_TRUE(parsed.points_into_text(h.id));
}

TEST(RegistrySchema, EveryMemberInAnyOrder) {
  parsed_registry parsed(
      "{\"php\":[{\"poold\":\"/etc/php/fpm/pool.d\",\"system\":true,\"type\":\"fpm\","
      "\"service\":\"php-fpm\",\"phpini\":\"/etc/php.ini\",\"displayname\":\"System PHP\","
      "\"version\":\"8.2.36\",\"clipath\":\"/usr/bin/php\",\"path\":\"/usr/bin/"
      "php-cgi\",\"id\":\"fpm\"}]}");
  ASSERT_EQ(parsed.code(), JSON_OK);
  EXPECT_EQ(fields_of(parsed.item(0)),
            (std::vector<std::string>{"fpm", "/usr/bin/php-cgi", "/usr/bin/php", "8.2.36",
                                      "System PHP", "/etc/php.ini", "fpm", "php-fpm",
                                      "/etc/php/fpm/pool.d", "system=1"}));
}

TEST(RegistrySchema, StringsAreUnescapedInPlace) {
  parsed_registry parsed(
      with_handlers(handler_json("x", ",\"path\":\"C:\\\\php\\/cgi \\\"q\\\"\\t\"")));
  ASSERT_EQ(parsed.code(), JSON_OK);
  EXPECT_STREQ(parsed.item(0).path, "C:\\php/cgi \"q\"\t");
  EXPECT_TRUE(parsed.points_into_text(parsed.item(0).path));
}

TEST(RegistrySchema, LaterValueOfARepeatedMemberWins) {
  parsed_registry parsed(
      with_handlers(handler_json("a", ",\"id\":\"b\",\"system\":true,\"system\":false")));
  ASSERT_EQ(parsed.code(), JSON_OK);
  EXPECT_STREQ(parsed.item(0).id, "b");
  EXPECT_EQ(parsed.item(0).system, 0);
}

TEST(RegistrySchema, UnknownMembersAreSkippedAtBothLevels) {
  std::string nested = "{\"a\":[1,-2.5e3,{\"b\":null,\"c\":[true,false,\"s\"]}],\"d\":{}}";
  parsed_registry parsed("{\"version\":" + nested + ",\"php\":[" +
                         handler_json("a", ",\"extra\":" + nested + ",\"ID\":\"shadow\"") +
                         "],\"tail\":[[],[[]]]}");
  ASSERT_EQ(parsed.code(), JSON_OK);
  ASSERT_EQ(parsed.root()->count, 1u);
  EXPECT_STREQ(parsed.item(0).id, "a");
}

TEST(RegistrySchema, EmptyStringsAreAccepted) {
  parsed_registry parsed(
      "{\"php\":[{\"id\":\"\",\"path\":\"\",\"version\":\"\",\"displayname\":\"\","
      "\"phpini\":\"\",\"type\":\"\",\"clipath\":\"\"}]}");
  ASSERT_EQ(parsed.code(), JSON_OK);
  EXPECT_STREQ(parsed.item(0).id, "");
  EXPECT_STREQ(parsed.item(0).path, "");
}

TEST(RegistrySchema, TextAfterTheRootIsIgnored) {
  parsed_registry parsed(with_handlers(handler_json("a")) + " not json at all [{");
  EXPECT_EQ(parsed.code(), JSON_OK);
  EXPECT_EQ(parsed.root()->count, 1u);
}

TEST(RegistrySchema, EmptyArrayAllocatesNothing) {
  parsed_registry parsed(" \t\n{ \"php\" : [ ] }");
  ASSERT_EQ(parsed.code(), JSON_OK);
  EXPECT_EQ(parsed.root()->count, 0u);
  EXPECT_EQ(parsed.root()->capacity, 0u);
  EXPECT_EQ(parsed.root()->items, nullptr);
}

TEST(RegistrySchema, DocumentOrderIsKept) {
  parsed_registry parsed(harness::registry_json(5));
  ASSERT_EQ(parsed.code(), JSON_OK);
  ASSERT_EQ(parsed.root()->count, 5u);
  for (size_t i = 0; i < 5; i++) EXPECT_EQ(std::string(parsed.item(i).id), "h" + std::to_string(i));
}

struct failure_case {
  const char* what;
  std::string document;
  int code;
  size_t count;  // records begun
};

std::ostream& operator<<(std::ostream& out, const failure_case& c) { return out << c.what; }

// A handler object lacking one of its members.
std::string handler_without(const std::string& member) {
  std::string h = handler_json("a");
  size_t at = h.find("\"" + member + "\"");
  size_t end = h.find_first_of(",}", h.find(':', at) + 2);
  // Drop the member and the separator that follows it (or precedes it at the end).
  if (h[end] == ',')
    h.erase(at, end + 1 - at);
  else
    h.erase(at - 1, end - at + 1);
  return h;
}

std::vector<failure_case> failure_cases() {
  std::string good = handler_json("a");
  std::vector<failure_case> cases = {
      {"empty text", "", JSON_OBJECT_EXPECTED, 0},
      {"white space only", " \n\t", JSON_OBJECT_EXPECTED, 0},
      {"array as root", "[" + good + "]", JSON_OBJECT_EXPECTED, 0},
      {"empty root", "{}", JSON_REQUIRED_FIELDS_MISSING, 0},
      {"root without php", "{\"other\":[1,2],\"PHP\":[]}", JSON_REQUIRED_FIELDS_MISSING, 0},
      {"php null", "{\"php\":null}", JSON_ARRAY_EXPECTED, 0},
      {"php object", "{\"php\":{}}", JSON_ARRAY_EXPECTED, 0},
      {"php string", "{\"php\":\"[]\"}", JSON_ARRAY_EXPECTED, 0},
      {"element not an object", with_handlers(good + ",1"), JSON_OBJECT_EXPECTED, 2},
      {"empty handler", with_handlers(good + ",{}"), JSON_REQUIRED_FIELDS_MISSING, 2},
      {"system as 1", with_handlers(handler_json("a", ",\"system\":1")), JSON_BOOL_EXPECTED, 1},
      {"system as \"true\"", with_handlers(handler_json("a", ",\"system\":\"true\"")),
       JSON_BOOL_EXPECTED, 1},
      {"system null", with_handlers(handler_json("a", ",\"system\":null")), JSON_BOOL_EXPECTED, 1},
      {"clipath null", with_handlers(handler_json("a", ",\"clipath\":null")), JSON_STRING_EXPECTED,
       1},
      {"id number", with_handlers(handler_json("a", ",\"id\":5")), JSON_STRING_EXPECTED, 1},
      {"path array", with_handlers(handler_json("a", ",\"path\":[]")), JSON_STRING_EXPECTED, 1},
      {"poold object", with_handlers(handler_json("a", ",\"poold\":{}")), JSON_STRING_EXPECTED, 1},
      {"capitalised member",
       with_handlers("{\"ID\":\"a\",\"path\":\"p\",\"version\":\"v\",\"displayname\":\"d\","
                     "\"phpini\":\"i\",\"type\":\"t\"}"),
       JSON_REQUIRED_FIELDS_MISSING, 1},
      {"comma after last handler", with_handlers(good + ","), JSON_OBJECT_EXPECTED, 2},
      {"comma after last member", with_handlers(good.substr(0, good.size() - 1) + ",}"),
       JSON_STRING_EXPECTED, 1},
      {"missing colon", "{\"php\" []}", JSON_NAME_SEPARATOR_EXPECTED, 0},
      {"missing member separator", with_handlers("{\"id\":\"a\" \"path\":\"p\"}"),
       JSON_OBJECT_SEPARATOR_EXPECTED, 1},
      {"missing root separator", "{\"php\":[" + good + "] \"x\":1}", JSON_OBJECT_SEPARATOR_EXPECTED,
       1},
      {"missing element separator", with_handlers(good + " " + good), JSON_ARRAY_SEPARATOR_EXPECTED,
       1},
      {"cut after a handler", "{\"php\":[" + good, JSON_ARRAY_SEPARATOR_EXPECTED, 1},
      {"cut inside a string", "{\"php\":[{\"id\":\"a", JSON_PREMATURE_END, 1},
      {"bad escape", with_handlers(handler_json("a\\q")), JSON_BAD_ESCAPE, 1},
      {"control character", with_handlers(handler_json("a\tb")), JSON_BAD_STRING_CHAR, 1},
      {"UTF-8 byte", with_handlers(handler_json("caf\xc3\xa9")), JSON_BAD_STRING_CHAR, 1},
      {"unicode escape", with_handlers(handler_json("\\u0041")), JSON_UNSUPPORTED_UNICODE, 1},
      {"bad skipped literal", "{\"x\":tru,\"php\":[]}", JSON_BOOL_EXPECTED, 0},
      {"bad skipped value", with_handlers(handler_json("a", ",\"x\":+1")), JSON_VALUE_EXPECTED, 1},
      {"deep nesting in a skipped member", "{\"x\":" + std::string(100000, '[') + "],\"php\":[]}",
       JSON_NESTING_TOO_DEEP, 0},
      {"third handler fails", with_handlers(good + "," + good + "," + handler_without("type")),
       JSON_REQUIRED_FIELDS_MISSING, 3},
  };
  for (const char* member : {"id", "path", "version", "displayname", "phpini", "type"})
    cases.push_back(
        {member, with_handlers(handler_without(member)), JSON_REQUIRED_FIELDS_MISSING, 1});
  return cases;
}

class RegistryFailure : public testing::TestWithParam<failure_case> {};

TEST_P(RegistryFailure, CodeAndRecordsBegun) {
  const failure_case& c = GetParam();
  parsed_registry parsed(c.document);
  ASSERT_NE(parsed.root(), nullptr);
  EXPECT_EQ(parsed.code(), c.code);
  EXPECT_EQ(parsed.reader()->error_code, c.code);
  EXPECT_EQ(parsed.root()->count, c.count);
  EXPECT_LE(parsed.root()->count, parsed.root()->capacity);
}

INSTANTIATE_TEST_SUITE_P(FailureTable, RegistryFailure, testing::ValuesIn(failure_cases()),
                         [](const testing::TestParamInfo<failure_case>& info) {
                           std::string name = "case" + std::to_string(info.index) + "_";
                           for (char ch : std::string(info.param.what))
                             name += isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                           return name;
                         });

}  // namespace
