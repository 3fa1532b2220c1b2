# Cross build for the board (aarch64 Linux) with Debian's multiarch toolchain and the
# :arm64 libraries that scripts/setup.sh aarch64 installs. Programs built here run on
# this machine through qemu-aarch64 (binfmt_misc), which is also how test discovery
# lists the tests of an aarch64 suite.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(OTA_CROSS_TRIPLET aarch64-linux-gnu)

set(CMAKE_C_COMPILER ${OTA_CROSS_TRIPLET}-gcc-12)
set(CMAKE_CXX_COMPILER ${OTA_CROSS_TRIPLET}-g++-12)
set(CMAKE_LIBRARY_ARCHITECTURE ${OTA_CROSS_TRIPLET})

# Libraries and headers come from the arm64 multiarch folders below /usr, programs from
# the host.
set(CMAKE_FIND_ROOT_PATH /usr/${OTA_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config answers for arm64 only: its .pc files, never the host's.
set(PKG_CONFIG_EXECUTABLE ${OTA_CROSS_TRIPLET}-pkg-config CACHE FILEPATH "pkg-config for the board")
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${OTA_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

find_program(OTA_QEMU_AARCH64 qemu-aarch64-static)
if(NOT OTA_QEMU_AARCH64)
  message(FATAL_ERROR "qemu-aarch64-static not found: run scripts/setup.sh aarch64")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${OTA_QEMU_AARCH64})
