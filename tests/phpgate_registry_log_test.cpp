// The registry load's own syslog messages, checked in process (the sandbox
// provides /dev/log): the create message and the object message, whose
// reader text must not carry an errno left over from before the load.
#include <errno.h>
#include <gtest/gtest.h>

#include <string>

#include "harness/phpgate_sandbox.hpp"
#include "php_launcher/php_versions_info.hpp"

namespace {

using harness::PhpgateSandbox;

TEST_F(PhpgateSandbox, LoadWithoutTextLogsTheCreateMessage) {
  php_versions_info* root = reinterpret_cast<php_versions_info*>(this);
  EXPECT_EQ(php_versions_info_load(&root, nullptr), 1);
  EXPECT_EQ(root, nullptr);
  auto log = syslog_->drain(std::chrono::milliseconds(1000));
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].ident, "phpgate");
  EXPECT_EQ(log[0].priority, 8 + 3);
  EXPECT_EQ(log[0].pid, getpid());
  EXPECT_EQ(log[0].message, "can not create php_versions_info object");
}

TEST_F(PhpgateSandbox, LoadFailureKeepsTheRootAndIgnoresEarlierErrno) {
  std::string text = "{\"php\":[{\"id\":\"a\"},{}]}";
  php_versions_info* root = nullptr;
  errno = ENOENT;
  EXPECT_EQ(php_versions_info_load(&root, text.data()), 1);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->count, 1u);
  EXPECT_EQ(root->capacity, 18u);
  php_versions_info_free(json_static_reader(nullptr), root);

  auto log = syslog_->drain(std::chrono::milliseconds(1000));
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].message,
            "can not parse php_versions_info object : `Some required fields are missing from the "
            "JSON object. "
            "Check that input JSON document conforms to schema. Error occured at offset 18, "
            "character ','. '");
}

}  // namespace
