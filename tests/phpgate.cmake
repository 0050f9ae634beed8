# End-to-end tests of phpgate: the built program against a registry at its
# real path inside the sandbox, a stand-in PHP executable that records what
# it was started with, and the Debian php-cgi.
add_executable(phpgate_standin phpgate_standin.cpp)

add_executable(phpgate_e2e_test
  phpgate_e2e_test.cpp
  phpgate_exec_test.cpp
  phpgate_registry_log_test.cpp
  phpgate_php_test.cpp)
target_link_libraries(phpgate_e2e_test PRIVATE e2e_harness php_launcher GTest::gtest_main)
target_compile_definitions(phpgate_e2e_test PRIVATE
  PHPGATE_PATH="$<TARGET_FILE:phpgate>"
  PHP_STANDIN_PATH="$<TARGET_FILE:phpgate_standin>")
add_dependencies(phpgate_e2e_test phpgate phpgate_standin)
gtest_discover_tests(phpgate_e2e_test PROPERTIES LABELS e2e)
