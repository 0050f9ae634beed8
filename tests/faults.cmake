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

varek_e2e_test(phpgate_faults_test phpgate_faults_test.cpp
  USES PHPGATE_PATH=phpgate PHPGATE_CHECK_PATH=phpgate-check PHPGATE_DYNAMIC_PATH=phpgate_dynamic
       PHP_STANDIN_PATH=phpgate_standin MALLOC_FAIL_SHIM=malloc_fail_shim
  LIBRARIES php_launcher LABELS e2e)
varek_e2e_test(logroute_faults_test logroute_faults_test.cpp
  USES LOGROUTE_PATH=logroute MALLOC_FAIL_SHIM=malloc_fail_shim LABELS e2e)

# The load tests (label "soak"): by default a million lines over a thousand
# hosts, so the ordinary suite stays quick; VAREK_SOAK_LINES (and
# VAREK_SOAK_HOSTS, a thousandth of the lines unless given) raise it, e.g.
#   VAREK_SOAK_LINES=10000000 ctest -L soak
varek_e2e_test(logroute_soak_test logroute_soak_test.cpp
  USES LOGROUTE_PATH=logroute LABELS soak PROPERTIES TIMEOUT 1800)
