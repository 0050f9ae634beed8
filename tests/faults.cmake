# Fault injection and load: phpgate and logroute with their allocations
# failing one by one, logroute on full, read-only and vanishing file systems
# and under stop signals, and logroute over millions of lines (label "soak"
# for the full-size run).

# A failing allocator, preloaded into the programs under test.
add_library(malloc_fail_shim SHARED malloc_fail_shim.c)
target_link_libraries(malloc_fail_shim PRIVATE ${CMAKE_DL_LIBS})
# The sanitizers' runtime is linked into executables, not into this library.
if(VAREK_SANITIZE)
  target_compile_options(malloc_fail_shim PRIVATE -fno-sanitize=all)
  target_link_options(malloc_fail_shim PRIVATE -fno-sanitize=all)
endif()

# phpgate may be linked statically (VAREK_STATIC_PHPGATE), where a preloaded
# library has no effect; this is the same program always linked dynamically,
# so that the failing allocator reaches its allocations.
add_executable(phpgate_dynamic ${PROJECT_SOURCE_DIR}/php_launcher/phpgate.cpp)
target_link_libraries(phpgate_dynamic PRIVATE php_launcher)
target_compile_options(phpgate_dynamic PRIVATE -fno-exceptions)

add_executable(phpgate_faults_test phpgate_faults_test.cpp)
target_link_libraries(phpgate_faults_test PRIVATE e2e_harness php_launcher GTest::gtest_main)
target_include_directories(phpgate_faults_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(phpgate_faults_test PRIVATE
  PHPGATE_PATH="$<TARGET_FILE:phpgate>"
  PHPGATE_DYNAMIC_PATH="$<TARGET_FILE:phpgate_dynamic>"
  PHP_STANDIN_PATH="$<TARGET_FILE:phpgate_standin>"
  MALLOC_FAIL_SHIM="$<TARGET_FILE:malloc_fail_shim>")
add_dependencies(phpgate_faults_test phpgate phpgate_dynamic phpgate_standin malloc_fail_shim)
gtest_discover_tests(phpgate_faults_test PROPERTIES LABELS e2e)

add_executable(logroute_faults_test logroute_faults_test.cpp)
target_link_libraries(logroute_faults_test PRIVATE e2e_harness GTest::gtest_main)
target_compile_definitions(logroute_faults_test PRIVATE
  LOGROUTE_PATH="$<TARGET_FILE:logroute>"
  MALLOC_FAIL_SHIM="$<TARGET_FILE:malloc_fail_shim>")
add_dependencies(logroute_faults_test logroute malloc_fail_shim)
gtest_discover_tests(logroute_faults_test PROPERTIES LABELS e2e)

# The load tests (label "soak"): by default a million lines over a thousand
# hosts, so the ordinary suite stays quick; VAREK_SOAK_LINES (and
# VAREK_SOAK_HOSTS, a thousandth of the lines unless given) raise it, e.g.
#   VAREK_SOAK_LINES=10000000 ctest -L soak
add_executable(logroute_soak_test logroute_soak_test.cpp)
target_link_libraries(logroute_soak_test PRIVATE e2e_harness GTest::gtest_main)
target_compile_definitions(logroute_soak_test PRIVATE LOGROUTE_PATH="$<TARGET_FILE:logroute>")
add_dependencies(logroute_soak_test logroute)
gtest_discover_tests(logroute_soak_test PROPERTIES LABELS soak TIMEOUT 1800)
