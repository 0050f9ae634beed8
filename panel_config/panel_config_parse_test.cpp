// Reading configuration files: line rules, messages, repeated names,
// open and read failures.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "harness/diag_recorder.hpp"
#include "harness/files.hpp"
#include "harness/panel_config_table.hpp"
#include "panel_config/panel_config.hpp"

namespace {

using harness::diag_recorder;
using harness::logged_message;
using harness::new_table;
using harness::table_ptr;
using harness::temp_tree;

using pairs = std::vector<std::pair<std::string, std::string>>;

constexpr int WARNING = LOG_USER | LOG_WARNING;

std::string no_space(const std::string& line) {
  return "Invalid variable definition " + line + "\nExpected a space after variable name\n";
}

std::string no_value(const std::string& line) {
  return "Invalid variable definition " + line + "\nExpected a value";
}

struct parse_case {
  const char* name;
  std::string content;
  pairs expected;                     // in name order
  std::vector<std::string> messages;  // all at LOG_USER | LOG_WARNING
};

pairs entries_of(const panel_config& table) {
  pairs result;
  for (std::size_t i = 0; i < table.count; i++)
    result.emplace_back(table.entries[i].name, table.entries[i].value);
  return result;
}

std::vector<parse_case> parse_cases() {
  return {
      {"Comments",
       "# a comment\n   # indented comment\n\t#tab\n\n   \n\t \r\n\f\v\n"
       "HTTPD_LOG_D /var/log/httpd\n",
       {{"HTTPD_LOG_D", "/var/log/httpd"}},
       {}},
      {"InlineCommentAfterTabAndBlanks",
       "HTTPD_LOG_D\t/var/log/httpd   # the web server's logs\n",
       {{"HTTPD_LOG_D", "/var/log/httpd"}},
       {}},
      {"CommentRightAfterValue",
       "A value#comment\nB x # y # z\n",
       {{"A", "value"}, {"B", "x"}},
       {}},
      {"CrLf",
       "HTTPD_LOG_D /var/log/httpd\r\nDUMP_D /d\r\n",
       {{"DUMP_D", "/d"}, {"HTTPD_LOG_D", "/var/log/httpd"}},
       {}},
      {"InnerBlanksKept", "GREETING two  words\t \n", {{"GREETING", "two  words"}}, {}},
      {"LeadingWhiteSpaceAndManySeparators", "  \t NAME \t  value\n", {{"NAME", "value"}}, {}},
      {"LastLineWithoutNewline", "A 1\nB 2", {{"A", "1"}, {"B", "2"}}, {}},
      {"DigitsAndUnderscores", "9LIVES cat\n_X_1 y\n", {{"9LIVES", "cat"}, {"_X_1", "y"}}, {}},
      {"EqualsSign",
       "HTTPD_LOG_D=/var/log/httpd\nA 1\n",
       {{"A", "1"}},
       {no_space("HTTPD_LOG_D=/var/log/httpd\n")}},
      {"NameOnly", "HTTPD_LOG_D\n", {}, {no_value("HTTPD_LOG_D\n")}},
      {"NameAndBlanksOnly", "  HTTPD_LOG_D   \n", {}, {no_value("HTTPD_LOG_D   \n")}},
      {"NameThenComment", "HTTPD_LOG_D #\n", {}, {no_value("HTTPD_LOG_D #\n")}},
      {"NameAtEndOfFile", "A 1\nHTTPD_LOG_D", {{"A", "1"}}, {no_space("HTTPD_LOG_D")}},
      {"LeadingDash", "-X y\n", {}, {no_space("-X y\n")}},
      {"DashInsideName", "MY-NAME y\n", {}, {no_space("MY-NAME y\n")}},
      {"NonAsciiName", "N\xc3\xa9 y\n", {}, {no_space("N\xc3\xa9 y\n")}},
      {"InvalidLinesDoNotStopReading",
       "=x\nA 1\nB\nC 3\n",
       {{"A", "1"}, {"C", "3"}},
       {no_space("=x\n"), no_value("B\n")}},
      {"RepeatedNameLastWins",
       "HTTPD_LOG_D /first\nA 1\nHTTPD_LOG_D /second\n",
       {{"A", "1"}, {"HTTPD_LOG_D", "/second"}},
       {}},
      {"NamesAreCaseSensitive",
       "httpd_log_d /lower\nHTTPD_LOG_D /upper\n",
       {{"HTTPD_LOG_D", "/upper"}, {"httpd_log_d", "/lower"}},
       {}},
      {"EmptyFile", "", {}, {}},
  };
}

class ParseFile : public testing::TestWithParam<parse_case> {};

TEST_P(ParseFile, StoresValidLinesAndReportsInvalidOnes) {
  const parse_case& c = GetParam();
  temp_tree dir;
  std::string path = dir.write("vrk.conf", c.content);
  diag_recorder log;
  table_ptr table = new_table();
  ASSERT_EQ(panel_config_parse_file(path.c_str(), table.get()), 0);
  EXPECT_NE(table->sorted, 0);
  EXPECT_EQ(entries_of(*table), c.expected);
  std::vector<logged_message> expected_messages;
  for (const std::string& text : c.messages) expected_messages.push_back({WARNING, text});
  EXPECT_EQ(log.messages(), expected_messages);
  for (const auto& [name, value] : c.expected)
    EXPECT_STREQ(panel_config_find(table.get(), name.c_str()), value.c_str()) << name;
}

INSTANTIATE_TEST_SUITE_P(Lines, ParseFile, testing::ValuesIn(parse_cases()),
                         [](const testing::TestParamInfo<parse_case>& info) {
                           return info.param.name;
                         });

TEST(ParseFile, LinesOfAnyLength) {
  std::string long_value(100000, 'v');
  temp_tree dir;
  std::string path = dir.write("vrk.conf", "LONG " + long_value + "\nSHORT s\n");
  diag_recorder log;
  table_ptr table = new_table();
  ASSERT_EQ(panel_config_parse_file(path.c_str(), table.get()), 0);
  const char* value = panel_config_find(table.get(), "LONG");
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(std::string(value), long_value);
  EXPECT_STREQ(panel_config_find(table.get(), "SHORT"), "s");
  EXPECT_TRUE(log.messages().empty());
}

// A file that is missing, or is no regular file, is reported and never
// waited on or read: a FIFO without writer, a device without end.
TEST(ParseFile, MissingOrNonRegularFileIsReportedWithItsReason) {
  temp_tree dir;
  std::string fifo = dir.root() + "/fifo.conf";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    std::string path;
    int error;
    std::string reason;
  } cases[] = {
      {dir.root() + "/absent.conf", ENOENT, std::strerror(ENOENT)},
      {dir.root(), EISDIR, std::strerror(EISDIR)},
      {fifo, EINVAL, "Is a FIFO, not a regular file"},
      {"/dev/zero", EINVAL, "Is a device, not a regular file"},
  };
  for (const auto& c : cases) {
    diag_recorder log;
    table_ptr table = new_table();
    errno = 0;
    EXPECT_EQ(panel_config_parse_file(c.path.c_str(), table.get()), -1) << c.path;
    EXPECT_EQ(errno, c.error) << c.path;
    std::vector<logged_message> expected = {
        {WARNING, "unable to open configuration file " + c.path + ": " + c.reason + "\n"}};
    EXPECT_EQ(log.messages(), expected);
  }
}

TEST(ParseFile, ReadErrorIsReportedWithItsError) {
  diag_recorder log;
  table_ptr table = new_table();
  errno = 0;
  // A regular file that opens but cannot be read from its start.
  EXPECT_EQ(panel_config_parse_file("/proc/self/mem", table.get()), -1);
  EXPECT_EQ(errno, EIO);
  std::vector<logged_message> expected = {
      {WARNING, std::string("Unable to read configuration file: ") + std::strerror(EIO)}};
  EXPECT_EQ(log.messages(), expected);
}

}  // namespace
