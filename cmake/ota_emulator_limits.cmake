# What the aarch64 tree does not run under qemu-aarch64 (user mode), and why. Everything
# else runs there: the unit suites under the emulator, the board suites with the host's
# vboard and aarch64 test, worker, library and ota_tool. Each limit below is announced at
# configure time and, for single tests, by ctest itself ("Disabled", with a line naming
# the reason), so nothing is left out silently.
#
# OTA_EMULATED_TESTS: ON when the suites run through an emulator (a cross build).
if(NOT CMAKE_CROSSCOMPILING)
  set(OTA_EMULATED_TESTS OFF)
  return()
endif()
set(OTA_EMULATED_TESTS ON)

# Folders that test host tools through emulated programs: the kill-point tracer (ptrace
# from outside the emulator sees the host system calls qemu makes, e.g. writev for a
# pwritev2) and the power-cut simulator of vboard. They run in the host tree.
set(OTA_HOST_ONLY_TEST_DIRS
  ${PROJECT_SOURCE_DIR}/tests/kill_points
  ${PROJECT_SOURCE_DIR}/tests/power_cut)

# Board suites whose "/dev/mtd0" is the MTD character device stand-in (vboard create
# --mtd-chardev) are not built: qemu-aarch64 7.2 passes no MTD ioctl (MEMGETINFO,
# MEMERASE) through, so the engine sees neither a block nor an MTD device there.
set(OTA_HOST_ONLY_CREATE_FLAGS --mtd-chardev)

# ota_disable_under_emulation(SUITE REGEX REASON): the tests of the suite SUITE (a target
# of ota_board_test_suite or ota_test_suite, its discovered list SUITE_list) whose names
# match REGEX are disabled in this tree.
function(ota_disable_under_emulation suite regex reason)
  if(NOT TARGET ${suite})
    message(FATAL_ERROR "cmake/ota_emulator_limits.cmake: no suite ${suite} to disable tests of")
  endif()
  get_target_property(dir ${suite} SOURCE_DIR)
  set(script ${PROJECT_BINARY_DIR}/emulator_limits/${suite}.cmake)
  file(WRITE ${script}
    "set(n 0)\n"
    "foreach(t IN LISTS ${suite}_list)\n"
    "  if(t MATCHES \"${regex}\")\n"
    "    set_tests_properties(\"\${t}\" PROPERTIES DISABLED TRUE)\n"
    "    math(EXPR n \"\${n} + 1\")\n"
    "  endif()\n"
    "endforeach()\n"
    "if(n EQUAL 0)\n"
    "  message(FATAL_ERROR \"no test of ${suite} matches ${regex}: update cmake/ota_emulator_limits.cmake\")\n"
    "endif()\n"
    "message(\"aarch64 emulator: \${n} tests of ${suite} disabled (${regex}): ${reason}\")\n")
  set_property(DIRECTORY ${dir} APPEND PROPERTY TEST_INCLUDE_FILES ${script})
endfunction()

# Called after the test folders are added.
function(ota_apply_emulator_limits)
  # glibc's fexecve falls back to execve("/proc/self/fd/N") because the emulator has no
  # execveat; a scripted worker (a shell script) then finds its close-on-exec descriptor
  # gone. Real aarch64 workers still start this way and are tested by the other cases.
  ota_disable_under_emulation(ota_apis_on_board_tests
    "^(LaunchTest\\\\.|LockHandoverTest\\\\.KilledClientsWorkerKeepsTheLockUntilItEnds$)"
    "scripted workers need fexecve of a script, which qemu-aarch64 lacks (no execveat)")
  # The test shrinks a partition with BLKPG_RESIZE_PARTITION; the emulator passes on only
  # BLKPG's add and delete.
  ota_disable_under_emulation(device_on_board_tests "^SlotCopyBoard\\\\.UnequalCopyIsReported$"
    "qemu-aarch64 refuses BLKPG_RESIZE_PARTITION")
endfunction()
