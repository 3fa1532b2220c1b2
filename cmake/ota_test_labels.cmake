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
