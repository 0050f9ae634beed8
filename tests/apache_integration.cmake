# The shipped Apache snippets (packaging/apache2/) under a real Apache, with
# phpgate running php-cgi and logroute splitting the access log (label
# "real"; skipped when apache2, its modules, curl or php-cgi are missing).
add_executable(apache_integration_test apache_integration_test.cpp)
target_link_libraries(apache_integration_test PRIVATE e2e_harness GTest::gtest_main)
target_compile_definitions(apache_integration_test PRIVATE
  LOGROUTE_PATH="$<TARGET_FILE:logroute>"
  PHPGATE_PATH="$<TARGET_FILE:phpgate>"
  VAREK_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
add_dependencies(apache_integration_test logroute phpgate)
# One slow test: registered whole, since discovered tests cannot carry two labels.
add_test(NAME apache_integration_test COMMAND apache_integration_test)
set_tests_properties(apache_integration_test PROPERTIES
  LABELS "e2e;real" TIMEOUT 180 SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")

# Each site's PHP as its own user: suEXEC with mod_cgid and with mod_fcgid,
# through the example wrapper (packaging/examples/), two site users.
add_executable(phpgate_suexec_test phpgate_suexec_test.cpp)
target_link_libraries(phpgate_suexec_test PRIVATE e2e_harness GTest::gtest_main)
target_compile_definitions(phpgate_suexec_test PRIVATE
  PHPGATE_PATH="$<TARGET_FILE:phpgate>" VAREK_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
add_dependencies(phpgate_suexec_test phpgate)
add_test(NAME phpgate_suexec_test COMMAND phpgate_suexec_test)
set_tests_properties(phpgate_suexec_test PROPERTIES
  LABELS "e2e;real" TIMEOUT 180 SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
