# Suites whose every test runs inside a fresh virtual board.
include(${CMAKE_CURRENT_LIST_DIR}/ota_test_labels.cmake)
#
# ota_board_test_suite(NAME [LIBS...]), called from a suite's folder (named as
# ota_test_labels.cmake says): one executable of
# the folder's *_test.cpp files with a main that, unless it already runs on a board,
# creates a board in a fresh directory under /tmp, runs itself inside it with
# `vboard run` and removes the board afterwards. ctest runs each test on its own
# (one process each), so every test gets its own board and tests may run in parallel.
# A test whose board cannot be made or entered fails; it is never skipped.
# CREATE_FLAG FLAG passes FLAG to `vboard create` for every board of the suite;
# SOURCES_OF SUITE builds the suite again from another suite's sources (its boards differ).
function(ota_board_test_suite name)
  cmake_parse_arguments(arg "" "CREATE_FLAG;SOURCES_OF" "" ${ARGN})
  if(arg_SOURCES_OF)
    get_target_property(srcs ${arg_SOURCES_OF} SOURCES)
  else()
    file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
    list(APPEND srcs ${PROJECT_SOURCE_DIR}/tests/support/board_test_main.cpp)
  endif()
  # A board layer the emulator cannot drive (cmake/ota_emulator_limits.cmake): the suite
  # stays defined, so that its folder's settings apply, but is neither built nor run.
  set(host_only FALSE)
  if(OTA_EMULATED_TESTS AND arg_CREATE_FLAG IN_LIST OTA_HOST_ONLY_CREATE_FLAGS)
    set(host_only TRUE)
    message(STATUS "Not built for the emulator (host only): ${name}, boards ${arg_CREATE_FLAG}")
  endif()
  if(host_only)
    add_executable(${name} EXCLUDE_FROM_ALL ${srcs})
  else()
    add_executable(${name} ${srcs})
  endif()
  target_link_libraries(${name} PRIVATE ${arg_UNPARSED_ARGUMENTS} ota_test_support GTest::gtest Threads::Threads)
  target_compile_definitions(${name} PRIVATE VBOARD_EXE="$<TARGET_FILE:vboard>")
  if(arg_CREATE_FLAG)
    target_compile_definitions(${name} PRIVATE VBOARD_CREATE_FLAG="${arg_CREATE_FLAG}")
  endif()
  add_dependencies(${name} vboard)
  if(host_only)
    return()
  endif()
  set(prefix "")
  if(arg_SOURCES_OF)
    set(prefix "${name}.")  # the same test names run again on other boards
  endif()
  ota_test_module(module ${name})
  # NO_PRETTY_VALUES: a parameterised test is named by its name generator alone, not
  # followed by the bytes of its parameter.
  gtest_discover_tests(${name} TEST_PREFIX "${prefix}" DISCOVERY_TIMEOUT 120 NO_PRETTY_VALUES
    TEST_LIST ${name}_list PROPERTIES TIMEOUT 600)
  # A list in PROPERTIES is flattened into separate words; the labels go in afterwards.
  ota_test_labels(${name}_list ${name} ${module} board)
endfunction()

# ota_board_shell_test(NAME SCRIPT [ARGS...]): runs `sh SCRIPT ARGS...` inside a fresh
# board (vboard scratch); the test passes when the script exits with 0.
function(ota_board_shell_test name script)
  add_test(NAME ${name} COMMAND $<TARGET_FILE:vboard> scratch -- sh ${script} ${ARGN})
  set_tests_properties(${name} PROPERTIES LABELS board TIMEOUT 600)
endfunction()
