# Host tools: programs that run on the build machine, never on the board (the virtual
# board, the package builder, the differ, the kill-point tracer, which has to trace
# emulated programs from outside the emulator). A native build makes them; a cross build
# for the board makes none and takes them from a host build instead, under the same
# target names, so that every $<TARGET_FILE:vboard> of a test names the host's program.
#
# OTA_BUILD_HOST_TOOLS: ON when this tree builds the host tools.
if(NOT CMAKE_CROSSCOMPILING)
  set(OTA_BUILD_HOST_TOOLS ON)
  return()
endif()
set(OTA_BUILD_HOST_TOOLS OFF)

set(OTA_HOST_TOOLS_DIR ${PROJECT_SOURCE_DIR}/build/bin CACHE PATH
  "Folder of the host build's programs (vboard, ota_pack, ota_hdiff, ota_killpoint)")

# target name = file name in OTA_HOST_TOOLS_DIR
set(ota_host_tools vboard=vboard ota_pack=ota_pack ota_hdiff_tool=ota_hdiff
  ota_killpoint=ota_killpoint)
set(OTA_HOST_TOOL_FILES "")
set(OTA_HOST_TOOL_TARGETS "")
foreach(entry IN LISTS ota_host_tools)
  string(REPLACE "=" ";" pair ${entry})
  list(GET pair 0 target)
  list(GET pair 1 file)
  add_executable(${target} IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES IMPORTED_LOCATION ${OTA_HOST_TOOLS_DIR}/${file})
  list(APPEND OTA_HOST_TOOL_FILES ${OTA_HOST_TOOLS_DIR}/${file})
  list(APPEND OTA_HOST_TOOL_TARGETS ${target})
endforeach()

# The board's programs build without the host tools; the suites run them. So the check is a
# test of its own rather than a build step: a cross build works on a machine that has no host
# build yet, and ctest then fails naming each missing or foreign program.
string(REPLACE ";" "|" tool_files "${OTA_HOST_TOOL_FILES}")
set(OTA_HOST_TOOLS_CHECK ${CMAKE_COMMAND} -DFILES=${tool_files}
  -P ${CMAKE_CURRENT_LIST_DIR}/ota_check_host_tools.cmake)
message(STATUS "Host tools from ${OTA_HOST_TOOLS_DIR} (build them with the default preset)")
