# Discovered tests take several labels only through a file that ctest reads after the
# discovery's own (set_tests_properties in the generated file cannot carry a list).
function(ota_test_labels list_var)
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${list_var}_labels.cmake)
  file(WRITE ${script}
    "foreach(t IN LISTS ${list_var})\n"
    "  set_tests_properties(\"\${t}\" PROPERTIES LABELS \"${ARGN}\")\n"
    "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
endfunction()

# Test folders mirror the modules: tests/<module>/ for src/<module>/, tests/tools/<tool>/
# for a host tool, a board suite in a subfolder on_board/ (on_board_<kind>/ for boards
# made another way). A suite is named after its folder below tests/ (below tests/tools/
# for a tool), "/" written "_", then "_tests": tests/board/on_board/ builds
# board_on_board_tests. A second suite of the same folder inserts its kind before
# "_tests". ota_test_module(VAR NAME) fails the configure step when NAME breaks that rule
# and sets VAR to the label "module:<module or tool the folder proves>", each suite's
# second label (`ctest -L '^module:ota_apis$'` runs every suite of the client library).
# The whole-system suites (tests/kill_points/, tests/power_cut/) keep their own names and
# labels: VAR empty.
function(ota_test_module var name)
  file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR}/tests ${CMAKE_CURRENT_SOURCE_DIR})
  if(rel MATCHES "^(kill_points|power_cut)(/|$)")
    set(${var} "" PARENT_SCOPE)
    return()
  endif()
  string(REGEX REPLACE "^tools/" "" rel "${rel}")
  string(REGEX MATCH "^[^/]+" module "${rel}")
  string(REPLACE "/" "_" stem "${rel}")
  if(NOT name STREQUAL "${stem}_tests" AND NOT name MATCHES "^${stem}_[a-z0-9_]+_tests$")
    message(FATAL_ERROR "test suite ${name} in tests/${rel}: a suite of this folder is named "
                        "${stem}_tests (or ${stem}_<kind>_tests)")
  endif()
  set(${var} module:${module} PARENT_SCOPE)
endfunction()
