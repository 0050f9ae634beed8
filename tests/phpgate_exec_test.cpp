// phpgate end to end: handlers that can't be started, the ident of the exec
// message, and registries large enough to make the buffers grow.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness/phpgate_sandbox.hpp"
#include "harness/wait.hpp"

extern char** environ;

namespace {

using namespace harness;

const std::vector<std::string> BASE_ENV = {"PATH=/usr/bin:/bin"};

struct exec_failure {
  const char* id;
  const char* path;
  const char* error;
  int status;
  bool checked = true;  // phpgate-check tells it from the file (not what is in it)
};

// 127: the executable does not exist; 126: it exists but can't be run.
const exec_failure EXEC_FAILURES[] = {
    {"missing", "/tmp/no-such-php-cgi", "No such file or directory", 127},
    {"emptypath", "", "No such file or directory", 127},
    {"notexec", "/tmp/plain-file", "Permission denied", 126},
    {"directory", "/tmp", "Permission denied", 126},
    {"garbage", "/tmp/garbage", "Exec format error", 126, false},
    {"belowfile", "/tmp/plain-file/php-cgi", "Not a directory", 126},
};

class PhpgateExecFails : public PhpgateSandbox, public testing::WithParamInterface<exec_failure> {
 protected:
  void SetUp() override {
    PhpgateSandbox::SetUp();
    if (IsSkipped()) return;
    box_.write_file("/tmp/plain-file", "<?php echo 1;\n", 0644);
    box_.write_file("/tmp/garbage", "not a program\n", 0755);
    std::vector<std::string> handlers;
    for (const exec_failure& f : EXEC_FAILURES) handlers.push_back(handler_at(f.id, f.path));
    write_registry(registry_json(handlers));
    box_.write_file("/tmp/php.ini", "");
  }
};

TEST_P(PhpgateExecFails, LogsUnderItsOwnNameAndFails) {
  const exec_failure& f = GetParam();
  const std::string exec_message = std::string(PHPGATE_PATH) + "|exec " + f.path + ":" + f.error;
  for (bool with_ini : {false, true}) {
    std::vector<std::string> env = BASE_ENV;
    env.push_back(std::string("VK_CUSTOM_PHP_CGI_INDEX=") + f.id);
    if (with_ini) env.push_back("VK_CUSTOM_PHP_INI=/tmp/php.ini");
    gate_run run = run_gate(env);
    EXPECT_EQ(run.result.exit_status, f.status) << "ini " << with_ini;
    EXPECT_EQ(run.result.out + run.result.err, "");
    // One attempt only: no retry without "-c".
    EXPECT_EQ(messages_of(run), std::vector<std::string>{exec_message}) << "ini " << with_ini;
  }
  auto check = run_check({std::string("VK_CUSTOM_PHP_CGI_INDEX=") + f.id});
  EXPECT_EQ(check.exit_status, f.checked ? f.status : 0);
  EXPECT_EQ(check.err,
            f.checked ? "phpgate: exec " + std::string(f.path) + ":" + f.error + "\n" : "");
}

INSTANTIATE_TEST_SUITE_P(Exec, PhpgateExecFails, testing::ValuesIn(EXEC_FAILURES),
                         [](const testing::TestParamInfo<exec_failure>& info) {
                           return info.param.id;
                         });

// Starts phpgate with the argument vector given (possibly empty) and waits
// (up to 20 s); its exit status, or -1.
int run_with_argv(std::vector<const char*> argv, const std::vector<std::string>& env) {
  std::vector<char*> args;
  for (const char* a : argv) args.push_back(const_cast<char*>(a));
  args.push_back(nullptr);
  std::vector<char*> vars;
  for (const std::string& v : env) vars.push_back(const_cast<char*>(v.c_str()));
  vars.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    execve(PHPGATE_PATH, args.data(), vars.data());
    _exit(125);
  }
  int status = harness::reap_within(pid, std::chrono::seconds(20));
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(PhpgateSandbox, ExecMessageIdentWithoutProgramName) {
  write_registry(registry_json({handler_at("cgi", "/tmp/none")}));
  for (std::vector<const char*> argv : {std::vector<const char*>{}, std::vector<const char*>{""}}) {
    EXPECT_EQ(run_with_argv(argv, BASE_ENV), 127);
    auto log = syslog_->drain(std::chrono::milliseconds(1000));
    ASSERT_EQ(log.size(), 1u) << "argc " << argv.size();
    EXPECT_EQ(log[0].ident, "phpgate");
    EXPECT_EQ(log[0].message, "exec /tmp/none:No such file or directory");
  }
  EXPECT_EQ(run_with_argv({"php-cgi-wrapper"}, BASE_ENV), 127);
  auto log = syslog_->drain(std::chrono::milliseconds(1000));
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].ident, "php-cgi-wrapper");
}

// Registries around the whole-file buffer's doublings (a text of 1023 bytes
// fills the first 1024-byte buffer) and past the handler array's 18 and 36
// slots; the wanted handler is always the last one.
class PhpgateLargeRegistry : public PhpgateSandbox,
                             public testing::WithParamInterface<std::pair<size_t, size_t>> {};

TEST_P(PhpgateLargeRegistry, FindsTheLastHandler) {
  auto [handlers, size] = GetParam();
  std::vector<std::string> records;
  for (size_t i = 0; i + 1 < handlers; i++)
    records.push_back(handler_at("h" + std::to_string(i), "/tmp/none"));
  records.push_back(handler_at("wanted", PHP_STANDIN_PATH));
  std::string document = registry_json(records);
  ASSERT_LE(document.size(), size);
  document.append(size - document.size(), ' ');
  write_registry(document);

  std::vector<std::string> env = BASE_ENV;
  env.push_back("VK_CUSTOM_PHP_CGI_INDEX=wanted");
  gate_run run = run_gate(env);
  ASSERT_TRUE(run.php.ran) << run.result.err;
  EXPECT_EQ(run.php.argv, std::vector<std::string>{PHP_STANDIN_PATH});
  EXPECT_TRUE(run.log.empty());
  // phpgate-check lists every handler, in order.
  std::string listing;
  for (size_t i = 0; i + 1 < handlers; i++)
    listing += "h" + std::to_string(i) + "\t/tmp/none\tno\n";
  auto check = harness::run({PHPGATE_CHECK_PATH});
  EXPECT_EQ(check.out, listing + "wanted\t" + PHP_STANDIN_PATH + "\tyes\n");
  EXPECT_EQ(check.exit_status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, PhpgateLargeRegistry,
    testing::Values(std::pair<size_t, size_t>{1, 1023}, std::pair<size_t, size_t>{2, 1024},
                    std::pair<size_t, size_t>{5, 2047}, std::pair<size_t, size_t>{18, 4095},
                    std::pair<size_t, size_t>{19, 4096}, std::pair<size_t, size_t>{37, 8191},
                    std::pair<size_t, size_t>{1000, 200000}));

}  // namespace
