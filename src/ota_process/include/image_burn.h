// Full images: burned from the package into the target device and proven by MD5.
#pragma once

#include <cstdint>

#include "manifest.h"

// Burns the entry's image from the package into the target device and proves it by MD5
// (except BAK entries and key images). HSM_FW / HSM_RCA dump the old content to
// backup_dir first. 0, or negative.
[[nodiscard]] int32_t ota_update_image(partition_info_t* partition_info, const char* backup_dir,
                                       const char* unzip_dir, const char* ota_pack_path);
// Copies img_size bytes of dev_path from dev_offset into "<backup_dir>/<part>.img". 0 or -1.
[[nodiscard]] int32_t ota_dump_partition(const char* part, const char* backup_dir,
                                         const char* dev_path, uint64_t dev_offset,
                                         uint64_t img_size);
