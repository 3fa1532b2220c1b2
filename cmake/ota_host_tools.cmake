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

# Every build checks that the host programs are there and are no aarch64 programs. A
# dependency on an imported target stands for the dependencies added to it, so every suite
# that depends on vboard & co. waits for the check: a missing host build stops the build
# with a reason instead of failing tests one by one.
string(REPLACE ";" "|" tool_files "${OTA_HOST_TOOL_FILES}")
add_custom_target(ota_host_tools_present
  COMMAND ${CMAKE_COMMAND} -DFILES=${tool_files}
          -P ${CMAKE_CURRENT_LIST_DIR}/ota_check_host_tools.cmake VERBATIM
  COMMENT "Checking the host tools in ${OTA_HOST_TOOLS_DIR}")
foreach(target IN LISTS OTA_HOST_TOOL_TARGETS)
  add_dependencies(${target} ota_host_tools_present)
endforeach()
message(STATUS "Host tools from ${OTA_HOST_TOOLS_DIR} (build them with the default preset)")
