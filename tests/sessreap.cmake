add_executable(sessreap_e2e_test sessreap_e2e_test.cpp sessreap_php_test.cpp sessreap_stress_test.cpp)
target_link_libraries(sessreap_e2e_test PRIVATE e2e_harness GTest::gtest_main)
target_compile_definitions(sessreap_e2e_test PRIVATE SESSREAP_PATH="$<TARGET_FILE:sessreap>"
  SESSREAP_DIRS_PATH="$<TARGET_FILE:sessreap-dirs>")
add_dependencies(sessreap_e2e_test sessreap sessreap-dirs)
gtest_discover_tests(sessreap_e2e_test PROPERTIES LABELS e2e)
