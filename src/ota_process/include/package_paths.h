// Where the worker unpacks, which packages it was given and of what kind, and the file
// utilities of the package checks.
#pragma once

#include <cstdint>

#include "ota_types.h"

inline constexpr const char* OTA_RUNTIME_CONFIG = "/etc/runtime_config";
inline constexpr const char* OTA_DEPLOY_KEY = "OTA_DEPLOY_DIR=";
inline constexpr int OTA_DIR_LEN = 128;
inline constexpr int OTA_UNZIP_DIR_LEN = 117;
inline constexpr int OTA_ZIP_PATH_LEN = 256;
inline constexpr int OTA_PKG_LIST_LEN = 512;

enum package_separate_e : int32_t {
  PKG_SEPARATE_MIDDLEWARE = 0,
  PKG_SEPARATE_APP = 1,
  PKG_SEPARATE_PARAM = 2,
  PKG_SEPARATE_FULL = 3,
  PKG_SEPARATE_SYSTEM = 4,
  PKG_SEPARATE_NUM = 5,
};

using ota_pkg_handler_t = int32_t (*)(const char* zip_path);

struct ota_packages_separate {
  char match_keyword[2][32];  // an empty second keyword ends the list
  uint64_t total_size;        // reserved, always 0
  char zip_path[OTA_ZIP_PATH_LEN];
  ota_pkg_handler_t pkg_handler;  // set by the orchestration; null until then
};

[[nodiscard]] int32_t update_ota_partition_path();
[[nodiscard]] int32_t get_ota_mount_path(const char* ota_dir);
[[nodiscard]] int32_t get_config_values(const char* file_path, const char* ota_dir);
[[nodiscard]] int32_t ota_get_package_path(const char* zip_path);
[[nodiscard]] int32_t ota_check_package();
[[nodiscard]] int32_t clear_ota_unzip_dir();
[[nodiscard]] int32_t ota_check_mount_point(const char* path);
[[nodiscard]] int32_t unzip_ota_file(const char* zip_path, const char* unzip_dir,
                                     uint64_t* img_size);
[[nodiscard]] int32_t ota_check_file(const char* package_path, const char* suffix);
[[nodiscard]] int64_t get_free_space(char* path);
[[nodiscard]] char* ota_get_file_name(char* file_path);

// The work directories (g_ota_dir, g_ota_unzip_dir) and the package kind table.
[[nodiscard]] const char* ota_get_ota_dir();
[[nodiscard]] const char* ota_get_unzip_dir();
[[nodiscard]] ota_packages_separate* ota_get_packages();
[[nodiscard]] uint32_t ota_get_update_full_pkg();
