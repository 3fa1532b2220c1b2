# What `cmake --install` lays out, in three components:
#   board  the worker, the client library (SONAME file and link), ota_tool and the folders
#          the board's later files go into
#   dev    the public headers, the library's link-time name, mirvo_ota.pc and the CMake
#          package files (find_package(mirvo_ota) gives mirvo_ota::mirvo_ota)
#   host   the host tools: ota_pack, ota_hdiff, vboard
# The install rules of each target sit beside it; this file holds the directories and
# what belongs to no single target. scripts/make-packages.sh turns the components into
# Debian packages.

# On a multiarch system the library goes under lib/<triplet> whatever the prefix, so that
# an arm64 and a host tree can sit side by side and a Debian package made with
# `--prefix /usr` puts it where ld.so and pkg-config look.
if(NOT DEFINED CMAKE_INSTALL_LIBDIR AND CMAKE_LIBRARY_ARCHITECTURE)
  set(CMAKE_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}"
      CACHE PATH "Object code libraries (lib/${CMAKE_LIBRARY_ARCHITECTURE})")
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Folders the board's package owns while others fill them: the keyring and the health
# checks under the system configuration folder, and the boot firmware's command templates
# (prepared for the board, never installed here). The configuration folder is decided when
# installing, as GNU does it: "/etc" for the prefix /usr (the board's paths), PREFIX/etc
# otherwise, so that an install under a private prefix writes nothing outside it.
install(DIRECTORY DESTINATION mirvo/share/ota COMPONENT board)
install(CODE [[
  if(CMAKE_INSTALL_PREFIX MATCHES "^/usr/?$")
    set(ota_etc /etc)
  else()
    set(ota_etc "${CMAKE_INSTALL_PREFIX}/etc")
  endif()
  foreach(ota_dir ota-keys ota-health.d)
    message(STATUS "Installing: $ENV{DESTDIR}${ota_etc}/mirvo/${ota_dir}")
    file(MAKE_DIRECTORY "$ENV{DESTDIR}${ota_etc}/mirvo/${ota_dir}")
  endforeach()
]] COMPONENT board)

# ota_install_client_library(TARGET): the library, its headers, mirvo_ota.pc and the CMake
# package files. Both descriptions find the headers and the library from where they are
# installed, so one tree serves `--prefix DIR` and `DESTDIR` installs alike.
function(ota_install_client_library target)
  install(TARGETS ${target}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT board NAMELINK_COMPONENT dev)
  install(FILES ${PROJECT_SOURCE_DIR}/include/mirvo_ota_hl.h
                ${PROJECT_SOURCE_DIR}/include/mirvo_ota_ll.h
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

  set(gen ${PROJECT_BINARY_DIR}/install)
  # mirvo_ota.pc lives in LIBDIR/pkgconfig: its prefix is that many folders up.
  set(pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  string(REGEX REPLACE "[^/]+" ".." PC_UP "${pc_dir}")
  set(OTA_PC_LIBDIR ${CMAKE_INSTALL_LIBDIR})
  set(OTA_PC_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/mirvo_ota.pc.in ${gen}/mirvo_ota.pc @ONLY)
  install(FILES ${gen}/mirvo_ota.pc DESTINATION ${pc_dir} COMPONENT dev)

  set(cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/mirvo_ota)
  set(OTA_LIBRARY_FILE $<TARGET_FILE_NAME:${target}>)
  set(OTA_LIBRARY_SONAME $<TARGET_SONAME_FILE_NAME:${target}>)
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/mirvo_otaConfig.cmake.in
    ${gen}/mirvo_otaConfig.cmake.in INSTALL_DESTINATION ${cmake_dir}
    PATH_VARS CMAKE_INSTALL_LIBDIR CMAKE_INSTALL_INCLUDEDIR)
  # The library's file names are known only once the build is generated.
  file(GENERATE OUTPUT ${gen}/mirvo_otaConfig.cmake INPUT ${gen}/mirvo_otaConfig.cmake.in)
  write_basic_package_version_file(${gen}/mirvo_otaConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${gen}/mirvo_otaConfig.cmake ${gen}/mirvo_otaConfigVersion.cmake
          DESTINATION ${cmake_dir} COMPONENT dev)
endfunction()
