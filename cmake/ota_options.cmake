# Warnings, hardening and sanitizers, carried by one INTERFACE target that every
# target of the project links.
add_library(ota_options INTERFACE)
target_compile_options(ota_options INTERFACE
  -Wall -Wextra -Werror -Wshadow -Wformat=2 -Wno-format-nonliteral -Wnon-virtual-dtor
  -Wcast-align -Wpointer-arith -Wundef -Wvla)
target_compile_definitions(ota_options INTERFACE _FILE_OFFSET_BITS=64 _GNU_SOURCE)

if(CMAKE_BUILD_TYPE MATCHES "Rel")
  target_compile_options(ota_options INTERFACE -fstack-protector-strong)
  target_compile_definitions(ota_options INTERFACE _FORTIFY_SOURCE=2)
endif()

if(OTA_SANITIZE STREQUAL "address")
  target_compile_options(ota_options INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(ota_options INTERFACE -fsanitize=address,undefined)
elseif(OTA_SANITIZE STREQUAL "thread")
  target_compile_options(ota_options INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(ota_options INTERFACE -fsanitize=thread)
elseif(NOT OTA_SANITIZE STREQUAL "")
  message(FATAL_ERROR "OTA_SANITIZE must be empty, address or thread, not '${OTA_SANITIZE}'")
endif()
