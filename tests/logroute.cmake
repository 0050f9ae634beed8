# logroute end to end: the built program in the harness sandbox (with the
# real logrotate and the shipped logrotate file, skipped without logrotate),
# and under a real Apache (label "real"; skipped when apache2, curl or
# openssl is missing).
add_executable(logroute_e2e_test logroute_e2e_test.cpp)
target_link_libraries(logroute_e2e_test PRIVATE e2e_harness GTest::gtest_main)
target_compile_definitions(logroute_e2e_test PRIVATE LOGROUTE_PATH="$<TARGET_FILE:logroute>"
  VAREK_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
add_dependencies(logroute_e2e_test logroute)
gtest_discover_tests(logroute_e2e_test PROPERTIES LABELS e2e)

add_executable(logroute_apache_test logroute_apache_test.cpp)
target_link_libraries(logroute_apache_test PRIVATE e2e_harness GTest::gtest_main)
target_compile_definitions(logroute_apache_test PRIVATE LOGROUTE_PATH="$<TARGET_FILE:logroute>")
add_dependencies(logroute_apache_test logroute)
# One slow test: registered whole, since discovered tests cannot carry two labels.
add_test(NAME logroute_apache_test COMMAND logroute_apache_test)
set_tests_properties(logroute_apache_test PROPERTIES
  LABELS "e2e;real" TIMEOUT 180 SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
