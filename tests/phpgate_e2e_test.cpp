// phpgate end to end: which handler it starts, with which arguments and
// environment, and what it logs when the registry or the ini file fails it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness/phpgate_sandbox.hpp"
#include "harness/process.hpp"

namespace {

using namespace harness;

const std::vector<std::string> BASE_ENV = {"PATH=/usr/bin:/bin", "REQUEST_METHOD=GET",
                                           "QUERY_STRING=a=1&b=%41"};

// A case's name for the test: its description with '_' for all but letters and digits.
template <typename Case>
std::string name_of(const testing::TestParamInfo<Case>& info) {
  std::string name = info.param.what;
  for (char& ch : name)
    if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return name;
}

// BASE_ENV with a case's variables, which replace those of the same name.
std::vector<std::string> env_with(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (const std::string& base : BASE_ENV) {
    bool replaced = false;
    for (const std::string& e : extra)
      replaced = replaced || e.compare(0, e.find('='), base, 0, base.find('=')) == 0;
    if (!replaced) env.push_back(base);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

// What a case makes first (a shell command), and phpgate's argument vector,
// run as user nobody when asked.
std::vector<std::string> prepare(const char* setup, bool as_nobody) {
  if (setup) {
    EXPECT_EQ(harness::run({"/bin/sh", "-c", setup}).exit_status, 0) << setup;
  }
  std::vector<std::string> argv = {PHPGATE_PATH};
  if (as_nobody)
    argv.insert(argv.begin(),
                {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  return argv;
}

std::string not_found(const std::string& id) {
  return "phpgate|can not find appropriate version of php ~ `" + id +
         "' in `/etc/vrk/php_versions.json'";
}

// A registry whose handlers all lead to the stand-in, each under a path of
// its own so that the recorded argv[0] tells which record was used.
class PhpgateLaunch : public PhpgateSandbox {
 protected:
  void SetUp() override {
    PhpgateSandbox::SetUp();
    if (IsSkipped()) return;
    for (const char* link :
         {"/tmp/php82-cgi", "/tmp/php82-second", "/tmp/upper-cgi", "/tmp/empty-id-cgi"})
      ASSERT_EQ(symlink(PHP_STANDIN_PATH, link), 0) << link;
    write_registry(
        registry_json({handler_at("cgi", PHP_STANDIN_PATH), handler_at("php82", "/tmp/php82-cgi"),
                       handler_at("php82", "/tmp/php82-second"),
                       handler_at("CGI", "/tmp/upper-cgi"), handler_at("", "/tmp/empty-id-cgi")}));
    box_.write_file("/tmp/site/php.ini", "memory_limit = 64M\n");
  }
};

struct launch_case {
  const char* what;
  std::vector<std::string> env;  // added to BASE_ENV
  std::vector<std::string> argv;
  std::vector<std::string> messages;
  const char* setup = nullptr;  // shell command that makes what the case needs
  bool as_nobody = false;       // phpgate runs as user nobody
};

std::ostream& operator<<(std::ostream& out, const launch_case& c) { return out << c.what; }

const std::string STANDIN = PHP_STANDIN_PATH;

const launch_case LAUNCH_CASES[] = {
    {"default identifier", {}, {STANDIN}, {}},
    {"identifier selects", {"VK_CUSTOM_PHP_CGI_INDEX=php82"}, {"/tmp/php82-cgi"}, {}},
    {"case counts", {"VK_CUSTOM_PHP_CGI_INDEX=CGI"}, {"/tmp/upper-cgi"}, {}},
    {"empty identifier", {"VK_CUSTOM_PHP_CGI_INDEX="}, {"/tmp/empty-id-cgi"}, {}},
    {"ini file", {"VK_CUSTOM_PHP_INI=/tmp/site/php.ini"}, {STANDIN, "-c", "/tmp/site/php.ini"}, {}},
    {"ini directory",
     {"VK_CUSTOM_PHP_INI=/tmp/site", "VK_CUSTOM_PHP_CGI_INDEX=php82"},
     {"/tmp/php82-cgi", "-c", "/tmp/site"},
     {}},
    {"empty ini", {"VK_CUSTOM_PHP_INI="}, {STANDIN}, {"phpgate|:No such file or directory"}},
    {"missing ini",
     {"VK_CUSTOM_PHP_INI=/tmp/site/none.ini"},
     {STANDIN},
     {"phpgate|/tmp/site/none.ini:No such file or directory"}},
    {"ini below a file",
     {"VK_CUSTOM_PHP_INI=/tmp/site/php.ini/x", "VK_CUSTOM_PHP_CGI_INDEX=php82"},
     {"/tmp/php82-cgi"},
     {"phpgate|/tmp/site/php.ini/x:Not a directory"}},
    {"ini path with conversions",
     {"VK_CUSTOM_PHP_INI=/tmp/%s%n%m.ini"},
     {STANDIN},
     {"phpgate|/tmp/%s%n%m.ini:No such file or directory"}},
    {"ini path with a blank",
     {"VK_CUSTOM_PHP_INI=/tmp/site dir/php.ini"},
     {STANDIN, "-c", "/tmp/site dir/php.ini"},
     {},
     "mkdir '/tmp/site dir' && echo x >'/tmp/site dir/php.ini'"},
    // PHP opens the files of a directory it may search but not list.
    {"search only ini directory",
     {"VK_CUSTOM_PHP_INI=/tmp/search"},
     {STANDIN, "-c", "/tmp/search"},
     {},
     "mkdir -m 711 /tmp/search && echo x >/tmp/search/php.ini",
     true},
};

class PhpgateStarts : public PhpgateLaunch, public testing::WithParamInterface<launch_case> {};

TEST_P(PhpgateStarts, HandlerWithArgumentsEnvironmentAndDescriptors) {
  const launch_case& c = GetParam();
  std::vector<std::string> env = env_with(c.env);

  gate_run run = run_gate(env, "request body\n", prepare(c.setup, c.as_nobody));

  ASSERT_TRUE(run.php.ran) << run.result.err;
  EXPECT_EQ(run.php.argv, c.argv);
  EXPECT_EQ(run.php.env, env);
  EXPECT_EQ(run.result.exit_status, 0);
  EXPECT_EQ(run.result.out, "request body\n");
  EXPECT_EQ(run.result.err, "stand-in stderr\n");
  EXPECT_EQ(messages_of(run), c.messages);
  // The message came from the process that then became PHP.
  if (!run.log.empty()) {
    EXPECT_EQ(run.log.front().pid, run.php.pid);
  }
  // phpgate-check, as the same user, tells the same.
  std::vector<std::string> user = prepare(nullptr, c.as_nobody);
  user.pop_back();
  auto check = run_check(env, user);
  std::string command;
  for (const std::string& word : c.argv)
    command += (command.empty() ? "" : " ") +
               (word.find(' ') == std::string::npos ? word : "'" + word + "'");
  EXPECT_EQ(check.exit_status, 0) << check.err;
  EXPECT_EQ(check.out, command + "\n");
  EXPECT_EQ(check.err, check_output(c.messages));
}

INSTANTIATE_TEST_SUITE_P(Launch, PhpgateStarts, testing::ValuesIn(LAUNCH_CASES),
                         name_of<launch_case>);

TEST_F(PhpgateLaunch, OwnArgumentsAreNotPassedOn) {
  gate_run run =
      run_gate(BASE_ENV, "", {PHPGATE_PATH, "-c", "/tmp/site/php.ini", "-d", "x=1", "script.php"});
  ASSERT_TRUE(run.php.ran);
  EXPECT_EQ(run.php.argv, std::vector<std::string>{STANDIN});
  EXPECT_TRUE(run.log.empty());
}

// Started with its standard descriptors closed (by cron, a panel's helper),
// phpgate hands PHP /dev/null on each, so that no file PHP opens can be
// taken for one.
TEST_F(PhpgateLaunch, ClosedStandardDescriptorsReachPhpAsDevNull) {
  unlink(RECORD_PATH);
  auto closed = [] { return close(0) == 0 && close(1) == 0 && close(2) == 0; };
  EXPECT_EQ(harness::run({PHPGATE_PATH}, {.env = BASE_ENV, .in_child = closed}).exit_status, 0);
  standin_record php = parse_standin_record(box_.read_file(RECORD_PATH));
  EXPECT_EQ(php.argv, std::vector<std::string>{STANDIN});
  EXPECT_EQ(php.streams, std::vector<std::string>(3, "/dev/null"));
}

TEST_F(PhpgateLaunch, ExitStatusIsTheHandlers) {
  std::vector<std::string> env = BASE_ENV;
  env.push_back("STANDIN_EXIT=7");
  gate_run run = run_gate(env);
  ASSERT_TRUE(run.php.ran);
  EXPECT_EQ(run.result.exit_status, 7);
}

struct refusal_case {
  const char* what;
  std::optional<std::string> registry;  // nullopt: no registry file
  std::vector<std::string> env;         // added to BASE_ENV
  std::vector<std::string> messages;
  const char* setup = nullptr;  // shell command that makes what the case needs
  bool as_nobody = false;       // phpgate runs as user nobody
};

std::ostream& operator<<(std::ostream& out, const refusal_case& c) { return out << c.what; }

std::string parse_failure(const std::string& reader_message) {
  return "phpgate|can not parse php_versions_info object : `" + reader_message + "'";
}

const std::string READ_FAILED =
    "phpgate|unable to read list of php installations from `/etc/vrk/php_versions.json'";
const std::string PARSE_FAILED =
    "phpgate|unable to parse list of php installations from `/etc/vrk/php_versions.json'";
const std::string GOOD_REGISTRY = registry_json({handler_at("php82", PHP_STANDIN_PATH)});
const std::string PHP82 = "VK_CUSTOM_PHP_CGI_INDEX=php82";

// A directory whose DIR/php-cgi-fcgi.ini is longer than PATH_MAX.
const std::string LONG_DIR = "/tmp" + [] {
  std::string tail;
  while (tail.size() < 4080) tail += "/" + std::string(200, 'd');
  return tail.substr(0, 4085 - 4);
}();
const std::string LONG_DIR_SETUP = "mkdir -p " + LONG_DIR + " && echo x >" + LONG_DIR + "/php.ini";
const std::string SITE_INI = "VK_CUSTOM_PHP_INI=/tmp/site/php.ini";
const std::string SITE_INI_SETUP = "mkdir -p /tmp/site && echo x >/tmp/site/php.ini";

const refusal_case REFUSAL_CASES[] = {
    {"unknown identifier", GOOD_REGISTRY, {"VK_CUSTOM_PHP_CGI_INDEX=php99"}, {not_found("php99")}},
    {"no cgi handler", GOOD_REGISTRY, {}, {not_found("cgi")}},
    {"no empty identifier", GOOD_REGISTRY, {"VK_CUSTOM_PHP_CGI_INDEX="}, {not_found("")}},
    {"identifier differs in case",
     GOOD_REGISTRY,
     {"VK_CUSTOM_PHP_CGI_INDEX=PHP82"},
     {not_found("PHP82")}},
    {"no fallback to cgi",
     registry_json({handler_at("cgi", PHP_STANDIN_PATH)}),
     {"VK_CUSTOM_PHP_CGI_INDEX=php82"},
     {not_found("php82")}},
    {"bad ini then unknown identifier",
     GOOD_REGISTRY,
     {"VK_CUSTOM_PHP_INI=/tmp/none.ini", "VK_CUSTOM_PHP_CGI_INDEX=x"},
     {"phpgate|/tmp/none.ini:No such file or directory", not_found("x")}},
    {"no registry", std::nullopt, {}, {READ_FAILED, not_found("cgi")}},
    // An ini file that exists but cannot be opened, or is no file to read
    // to its end, stops the request before the registry is read.
    {"unreadable ini",
     GOOD_REGISTRY,
     {"VK_CUSTOM_PHP_INI=/tmp/secret.ini", PHP82},
     {"phpgate|/tmp/secret.ini:Permission denied"},
     "echo x >/tmp/secret.ini && chmod 600 /tmp/secret.ini && chmod 666 /dev/log",
     true},
    // Of a directory, the first of php-cgi-fcgi.ini and php.ini there is
    // the one PHP reads: made with umask 077, it stops the request.
    {"unreadable ini in a directory",
     GOOD_REGISTRY,
     {"VK_CUSTOM_PHP_INI=/tmp/site/", PHP82},
     {"phpgate|/tmp/site/php-cgi-fcgi.ini:Permission denied"},
     "mkdir /tmp/site && echo x >/tmp/site/php.ini && (umask 077 && echo x "
     ">/tmp/site/php-cgi-fcgi.ini) && chmod 666 /dev/log",
     true},
    {"ini is a FIFO",
     GOOD_REGISTRY,
     {"VK_CUSTOM_PHP_INI=/tmp/fifo.ini", PHP82},
     {"phpgate|/tmp/fifo.ini:Is a FIFO, not a regular file"},
     "mkfifo /tmp/fifo.ini"},
    {"ini is a device",
     GOOD_REGISTRY,
     {"VK_CUSTOM_PHP_INI=/dev/null", PHP82},
     {"phpgate|/dev/null:Is a device, not a regular file"}},
    {"ini is a socket",
     GOOD_REGISTRY,
     {"VK_CUSTOM_PHP_INI=/dev/log", PHP82},
     {"phpgate|/dev/log:Is a socket, not a regular file"}},
    // Paths PHP would not read as the one file or directory they name.
    {"ini path with a colon",
     GOOD_REGISTRY,
     {"VK_CUSTOM_PHP_INI=/tmp/site:1/etc", PHP82},
     {"phpgate|/tmp/site:1/etc:Holds ':', where PHP splits a list of directories"},
     "mkdir -p /tmp/site:1/etc && echo x >/tmp/site:1/etc/php.ini"},
    {"relative ini path",
     GOOD_REGISTRY,
     {"VK_CUSTOM_PHP_INI=tmp/site/php.ini", PHP82},
     {"phpgate|tmp/site/php.ini:Relative path, which PHP resolves from its working directory"},
     SITE_INI_SETUP.c_str()},
    {"ini directory too long for PHP",
     GOOD_REGISTRY,
     {"VK_CUSTOM_PHP_INI=" + LONG_DIR, PHP82},
     {"phpgate|" + LONG_DIR + ":File name too long"},
     LONG_DIR_SETUP.c_str()},
    {"query string that makes PHP ignore -c",
     GOOD_REGISTRY,
     {SITE_INI, PHP82, "QUERY_STRING=+%2Ds"},
     {"phpgate|/tmp/site/php.ini:PHP ignores -c for a query string that starts with '-' and holds "
      "no '='"},
     SITE_INI_SETUP.c_str()},
    // A registry that is no regular file is never waited on.
    {"registry is a FIFO",
     std::nullopt,
     {},
     {READ_FAILED, not_found("cgi")},
     "mkfifo /etc/vrk/php_versions.json"},
    {"registry is a directory",
     std::nullopt,
     {},
     {READ_FAILED, not_found("cgi")},
     "mkdir /etc/vrk/php_versions.json"},
    {"empty registry",
     "",
     {},
     {parse_failure("JSON object is expected. Error occured at offset 0, character '\\x00'. "),
      PARSE_FAILED, not_found("cgi")}},
    {"php is null",
     "{\"php\":null}",
     {"VK_CUSTOM_PHP_CGI_INDEX=php82"},
     {parse_failure("JSON array is expected. Error occured at offset 7, character 'n'. "),
      PARSE_FAILED, not_found("php82")}},
    {"handler without type",
     "{\"php\":[{\"id\":\"cgi\",\"path\":\"/"
     "x\",\"version\":\"8\",\"displayname\":\"d\",\"phpini\":\"i\"}]}",
     {},
     {parse_failure(
          "Some required fields are missing from the JSON object. Check that input JSON document "
          "conforms to schema. Error occured at offset 77, character ']'. "),
      PARSE_FAILED, not_found("cgi")}},
    {"NUL byte ends the text",
     std::string("{\"php\": [\0", 10) + handler_at("cgi", PHP_STANDIN_PATH) + "]}",
     {},
     {parse_failure("JSON object is expected. Error occured at offset 9, character '\\x00'. "),
      PARSE_FAILED, not_found("cgi")}},
    {"system as string",
     "{\"php\":[{\"system\":\"true\"}]}",
     {},
     {parse_failure("Boolean value is expected. Error occured at offset 18, character '\"'. "),
      PARSE_FAILED, not_found("cgi")}},
};

class PhpgateRefuses : public PhpgateSandbox, public testing::WithParamInterface<refusal_case> {};

TEST_P(PhpgateRefuses, LogsInOrderAndExitsWithOne) {
  const refusal_case& c = GetParam();
  if (c.registry) write_registry(*c.registry);
  box_.make_dirs("/etc/vrk");
  std::vector<std::string> env = env_with(c.env), argv = prepare(c.setup, c.as_nobody);

  gate_run run = run_gate(env, "", argv);

  EXPECT_EQ(run.result.exit_status, 1);
  EXPECT_FALSE(run.php.ran);
  EXPECT_EQ(run.result.out, "");
  EXPECT_EQ(run.result.err, "");
  EXPECT_EQ(messages_of(run), c.messages);
  // phpgate-check, as the same user, tells the same (a request it has not).
  if (std::find(c.env.begin(), c.env.end(), "QUERY_STRING=+%2Ds") != c.env.end()) return;
  argv.pop_back();
  auto check = run_check(env, argv);
  EXPECT_EQ(check.exit_status, 1);
  EXPECT_EQ(check.out, "");
  EXPECT_EQ(check.err, check_output(c.messages));
}

INSTANTIATE_TEST_SUITE_P(Registry, PhpgateRefuses, testing::ValuesIn(REFUSAL_CASES),
                         name_of<refusal_case>);

}  // namespace
