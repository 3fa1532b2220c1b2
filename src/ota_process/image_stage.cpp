#include "image_stage.h"

#include "boot_control.h"
#include "device_io.h"
#include "kx_zip.h"
#include "ota_log.h"

namespace {

bool signed_nor(const partition_info_t* info) {
  return info->medium == OTA_NOR && is_bd_secure() == 1;
}

}  // namespace

uint64_t ota_image_bound(const partition_info_t* info) {
  char current[OTA_DEV_PATH_LEN] = {};
  char target[OTA_DEV_PATH_LEN] = {};
  if (info == nullptr || get_part_device_name(info->part_name, current, target, info->type) != 0) {
    OTA_LOG_ERR("no device for partition %s: its image cannot be bounded\n",
                info != nullptr ? info->part_name : "(null)");
    return 0;
  }
  const uint64_t dev = ota_device_size(target);
  if (dev == 0) {
    OTA_LOG_ERR("cannot measure %s, the device of partition %s\n", target, info->part_name);
    return 0;
  }
  // Every chunk of a signed image carries a trailer the next chunk overwrites on the device.
  return signed_nor(info) ? dev + (dev / OTA_NOR_CHUNK + 1) * OTA_NOR_TRAILER : dev;
}

int32_t ota_stage_image(const char* ota_pack_path, const char* unzip_dir,
                        const partition_info_t* info, uint64_t slack) {
  const uint64_t bound = ota_image_bound(info);
  if (bound == 0) {
    return -1;
  }
  if (kx_uncompress_one(ota_pack_path, unzip_dir, info->part_file, bound + slack) != 0) {
    OTA_LOG_ERR("image %s of partition %s not staged\n", info->part_file, info->part_name);
    return -1;
  }
  return 0;
}

bool ota_image_fits_device(const partition_info_t* info, uint64_t image_size, uint64_t dev_size,
                           const char* dev_path) {
  const uint64_t covers = signed_nor(info) ? ota_signed_nor_extent(image_size) : image_size;
  if (covers <= dev_size) {
    return true;
  }
  OTA_LOG_ERR("image %s of partition %s covers %llu bytes, %s has %llu: refused\n", info->part_file,
              info->part_name, static_cast<unsigned long long>(covers), dev_path,
              static_cast<unsigned long long>(dev_size));
  return false;
}
