// Images staged in the work directory before they are written: each one is bounded by
// the partition it is meant for, so a package cannot fill the work directory's file
// system with a member no partition could hold.
#pragma once

#include <cstdint>

#include "manifest.h"

// What a patch may hold beyond the size of the partition it makes: its own headers and
// the cost of data that does not compress.
inline constexpr uint64_t OTA_PATCH_SLACK = 1048576;

// The most bytes the image of this entry may take once extracted: the size of the
// device it is written to (for a signed NOR image, with the trailers it carries
// besides). 0 (logged) when that device cannot be named or measured.
[[nodiscard]] uint64_t ota_image_bound(const partition_info_t* info);

// Extracts the entry's image member into unzip_dir, bounded by ota_image_bound plus
// slack (a patch may be a little larger than what it makes). 0, or -1 with the culprit
// named and nothing left behind.
[[nodiscard]] int32_t ota_stage_image(const char* ota_pack_path, const char* unzip_dir,
                                      const partition_info_t* info, uint64_t slack = 0);

// True when a staged image of image_size bytes fits the device of dev_size bytes as the
// copy lays it out (signed NOR images cover less than their file size); logged when not.
[[nodiscard]] bool ota_image_fits_device(const partition_info_t* info, uint64_t image_size,
                                         uint64_t dev_size, const char* dev_path);
