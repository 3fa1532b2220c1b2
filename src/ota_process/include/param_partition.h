// The parameter partition app_param, rewritten by the package's param_update.sh.
#pragma once

#include <cstdint>

inline constexpr const char* OTA_PARAM_PART = "app_param";
// The target app_param is mounted on a fresh "<parent>/<prefix>XXXXXX" of mkdtemp.
inline constexpr const char* OTA_PARAM_MOUNT_PARENT = "/tmp";
inline constexpr const char* OTA_PARAM_MOUNT_PREFIX = "ota_param.";

// Mounts the target app_param, runs "<unzip_dir>/param_update.sh" on it, unmounts, and
// records app_param. Nothing stays mounted on failure. 0, or negative.
[[nodiscard]] int32_t ota_update_param_part(const char* unzip_dir);
