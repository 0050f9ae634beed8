// phpgate starting the Debian php-cgi the way a web server starts a CGI
// program: CGI variables in the environment, the request body on standard
// input, the response on standard output.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "harness/phpgate_sandbox.hpp"
#include "harness/process.hpp"

namespace {

using namespace harness;

constexpr const char* SCRIPT = "/tmp/www/report.php";

const char* const REPORT_SCRIPT = R"(<?php
echo "method=", $_SERVER['REQUEST_METHOD'], "\n";
echo "query=", $_GET['q'] ?? '', "\n";
echo "name=", $_POST['name'] ?? '', "\n";
echo "raw=", file_get_contents('php://input'), "\n";
echo "ini=", php_ini_loaded_file(), "\n";
echo "memory_limit=", ini_get('memory_limit'), "\n";
echo "max_input_vars=", ini_get('max_input_vars'), "\n";
echo "marker=", getenv('VK_CUSTOM_PHP_CGI_INDEX'), "\n";
)";

// The CGI/1.1 meta-variables of a POST to the report script.
std::vector<std::string> cgi_env(const std::string& body) {
  return {"GATEWAY_INTERFACE=CGI/1.1",
          "SERVER_PROTOCOL=HTTP/1.1",
          "SERVER_SOFTWARE=test",
          "SERVER_NAME=example.com",
          "SERVER_PORT=80",
          "REMOTE_ADDR=192.0.2.7",
          "REQUEST_METHOD=POST",
          "REQUEST_URI=/report.php?q=search",
          "QUERY_STRING=q=search",
          "SCRIPT_NAME=/report.php",
          std::string("SCRIPT_FILENAME=") + SCRIPT,
          "DOCUMENT_ROOT=/tmp/www",
          "REDIRECT_STATUS=200",
          "CONTENT_TYPE=application/x-www-form-urlencoded",
          "CONTENT_LENGTH=" + std::to_string(body.size()),
          "PATH=/usr/bin:/bin"};
}

// "key=value" lines of the response body, after the CGI headers.
std::map<std::string, std::string> report_of(const std::string& response) {
  std::map<std::string, std::string> report;
  size_t body = response.find("\r\n\r\n");
  if (body == std::string::npos) return report;
  size_t at = body + 4;
  while (at < response.size()) {
    size_t end = response.find('\n', at);
    std::string line = response.substr(at, end - at);
    size_t eq = line.find('=');
    if (eq != std::string::npos) report[line.substr(0, eq)] = line.substr(eq + 1);
    at = end == std::string::npos ? response.size() : end + 1;
  }
  return report;
}

class PhpgateRealPhp : public PhpgateSandbox {
 protected:
  void SetUp() override {
    if (access(PHP_CGI.c_str(), X_OK) != 0) GTEST_SKIP() << PHP_CGI << " is not installed";
    PhpgateSandbox::SetUp();
    if (IsSkipped()) return;
    write_registry(registry_json({handler_at("php82", PHP_CGI)}));
    box_.write_file(SCRIPT, REPORT_SCRIPT);
    box_.write_file("/tmp/site/php.ini", "memory_limit = 77M\nmax_input_vars = 123\n");
  }

  // A POST of `body` through phpgate to the php82 handler, with the ini file
  // given (if any); what PHP reported, or nothing when phpgate failed.
  std::map<std::string, std::string> post(const std::string& ini = "") {
    env = cgi_env(body);
    env.push_back("VK_CUSTOM_PHP_CGI_INDEX=php82");
    if (!ini.empty()) env.push_back("VK_CUSTOM_PHP_INI=" + ini);
    run = run_gate(env, body);
    EXPECT_EQ(run.result.exit_status, 0) << run.result.err;
    return report_of(run.result.out);
  }

  // The same request straight to php-cgi, as the reference for PHP's defaults.
  std::map<std::string, std::string> direct_report() {
    return report_of(harness::run({PHP_CGI}, {.env = env, .input = body}).out);
  }

  const std::string body = "name=Varek+Tools&x=%41%42";
  std::vector<std::string> env;
  gate_run run;
};

TEST_F(PhpgateRealPhp, PostReachesPhpWithItsDefaultIni) {
  auto report = post();
  EXPECT_TRUE(run.log.empty());
  EXPECT_NE(run.result.out.find("Content-type: text/html"), std::string::npos) << run.result.out;
  EXPECT_EQ(report["method"], "POST");
  EXPECT_EQ(report["query"], "search");
  EXPECT_EQ(report["name"], "Varek Tools");
  EXPECT_EQ(report["raw"], body);
  EXPECT_EQ(report["marker"], "php82");

  auto reference = direct_report();
  ASSERT_FALSE(reference["ini"].empty());
  EXPECT_EQ(report["ini"], reference["ini"]);
  EXPECT_EQ(report["memory_limit"], reference["memory_limit"]);
  EXPECT_NE(report["memory_limit"], "77M");
}

TEST_F(PhpgateRealPhp, CustomIniTakesEffect) {
  auto report = post("/tmp/site/php.ini");
  EXPECT_TRUE(run.log.empty());
  EXPECT_EQ(report["ini"], "/tmp/site/php.ini");
  EXPECT_EQ(report["memory_limit"], "77M");
  EXPECT_EQ(report["max_input_vars"], "123");
  EXPECT_EQ(report["name"], "Varek Tools");
}

TEST_F(PhpgateRealPhp, MissingIniFallsBackToTheDefault) {
  auto report = post("/tmp/site/missing.ini");
  EXPECT_EQ(messages_of(run),
            std::vector<std::string>{"phpgate|/tmp/site/missing.ini:No such file or directory"});
  EXPECT_EQ(report["ini"], direct_report()["ini"]);
  EXPECT_NE(report["memory_limit"], "77M");
  EXPECT_EQ(report["raw"], body);
}

}  // namespace
