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
