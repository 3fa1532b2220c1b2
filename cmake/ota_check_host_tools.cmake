# cmake -DFILES="a|b" -P ota_check_host_tools.cmake: fails naming each file that is
# missing or is an aarch64 program rather than one of this machine.
string(REPLACE "|" ";" files "${FILES}")
set(bad "")
foreach(f IN LISTS files)
  if(NOT EXISTS ${f})
    list(APPEND bad "${f}: missing")
    continue()
  endif()
  file(READ ${f} head LIMIT 20 HEX)
  # e_machine at offset 18: 3e00 is x86-64, b700 is aarch64
  string(SUBSTRING "${head}" 36 4 machine)
  if(machine STREQUAL "b700")
    list(APPEND bad "${f}: an aarch64 program, not a host one")
  endif()
endforeach()
if(bad)
  list(JOIN bad "\n  " text)
  message(FATAL_ERROR "host tools unusable:\n  ${text}\n"
    "build them first: cmake --preset default && cmake --build build --target "
    "vboard ota_pack ota_hdiff_tool ota_killpoint (or set OTA_HOST_TOOLS_DIR)")
endif()
