// Incremental images: the old image proven, patched into the target slot, the new proven.
#pragma once

#include <cstdint>

#include "burn_pipeline.h"
#include "manifest.h"

inline constexpr uint64_t OTA_HPATCH_CACHE_SIZE = 33554432;  // patch engine cache, 32 MiB

// Patches old into target (a block device) with the patch engine, the new image written
// and read back through the burn pipeline beside the patching; proof receives what was
// read back. true once the new image is durable; false with the reason logged.
[[nodiscard]] bool ota_patch_through_pipeline(const char* old, const char* patch,
                                              const char* target, ota::ReadBackProof* proof);

// Proves the source slot holds the old image, patches it into the target slot with
// hpatchz, proves the new image. 0 or -1.
[[nodiscard]] int32_t ota_update_image_inc(partition_info_t* partition_info, const char* unzip_dir,
                                           const char* ota_pack_path);
