// Incremental images: the old image proven, patched into the target slot, the new proven.
#pragma once

#include <cstdint>

#include "manifest.h"

inline constexpr uint64_t OTA_HPATCH_CACHE_SIZE = 33554432;  // patch engine cache, 32 MiB

// Proves the source slot holds the old image, patches it into the target slot with
// hpatchz, proves the new image. 0 or -1.
[[nodiscard]] int32_t ota_update_image_inc(partition_info_t* partition_info, const char* unzip_dir,
                                           const char* ota_pack_path);
