# varek_discover_tests(<target> LABELS <label>... [PROPERTIES <name> <value>...])
# Registers the GoogleTest cases of <target> with CTest, each carrying every
# label given: gtest_discover_tests passes a property one word only, so the
# labels are set by a script that CTest reads after the discovered tests.
function(varek_discover_tests target)
  cmake_parse_arguments(ARG "" "" "LABELS;PROPERTIES" ${ARGN})
  if(ARG_PROPERTIES)
    gtest_discover_tests(${target} PROPERTIES ${ARG_PROPERTIES})
  else()
    gtest_discover_tests(${target})
  endif()
  set(script "${CMAKE_CURRENT_BINARY_DIR}/${target}_labels.cmake")
  file(WRITE "${script}" "if(${target}_TESTS)\n"
    "  set_tests_properties(\${${target}_TESTS} PROPERTIES LABELS \"${ARG_LABELS}\")\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${script}")
endfunction()

# varek_unit_test(<module> <source>... [LIBRARIES <library>...])
# The unit tests of a module: <module>_test, built from the sources and
# linked with the module, the header-only test harness (tests/harness/), the
# libraries given and GoogleTest's main, each case labelled "unit" and
# <module>.
function(varek_unit_test module)
  cmake_parse_arguments(ARG "" "" "LIBRARIES" ${ARGN})
  add_executable(${module}_test ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${module}_test PRIVATE ${module} test_harness ${ARG_LIBRARIES}
    GTest::gtest_main)
  varek_discover_tests(${module}_test LABELS unit ${module})
endfunction()

# varek_e2e_test(<name> <source>... [USES <MACRO>=<target>...] [LIBRARIES <library>...]
#                LABELS <label>... [PROPERTIES <name> <value>...])
# An end-to-end test program, <name>, built from the sources and linked with
# the harness (e2e_harness), the libraries given and GoogleTest's main. Each
# <MACRO> is defined as the path of the built <target>, which is built first,
# and VAREK_SOURCE_DIR as the checkout. Its cases are registered one by one,
# each with every label and property given.
function(varek_e2e_test name)
  cmake_parse_arguments(ARG "" "" "USES;LIBRARIES;LABELS;PROPERTIES" ${ARGN})
  add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE e2e_harness ${ARG_LIBRARIES} GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE VAREK_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  foreach(use ${ARG_USES})
    string(REPLACE "=" ";" use ${use})
    list(GET use 0 macro)
    list(GET use 1 target)
    target_compile_definitions(${name} PRIVATE ${macro}="$<TARGET_FILE:${target}>")
    add_dependencies(${name} ${target})
  endforeach()
  varek_discover_tests(${name} LABELS ${ARG_LABELS} PROPERTIES ${ARG_PROPERTIES})
endfunction()
