// Copies of updated A/B partitions to the other slot: NOR through the boot firmware,
// eMMC directly, each copy proven by MD5.
#include <cstdio>

#include "boot_control.h"
#include "client_api.h"
#include "device_io.h"
#include "flash_cmd.h"
#include "ota_log.h"
#include "partition_md5.h"

namespace {
constexpr uint64_t WHOLE_SOURCE = 0x7FFFFFFFFFFFFFFULL;

int32_t sync_one_emmc(const char* name) {
  char source[OTA_DEV_PATH_LEN] = {};
  char destination[OTA_DEV_PATH_LEN] = {};
  int32_t ret = get_part_device_name(name, source, destination, AB);
  if (ret < 0) {
    return ret;
  }
  OTA_LOG_INFO("ori path: [%s]\n", source);
  OTA_LOG_INFO("dest path: [%s]\n", destination);
  ota_file_info_t ori{};
  ota_file_info_t dest{};
  ori.size = WHOLE_SOURCE;
  ori.medium = OTA_EMMC;
  dest.medium = OTA_EMMC;
  std::snprintf(ori.path, sizeof(ori.path), "%s", source);
  std::snprintf(dest.path, sizeof(dest.path), "%s", destination);
  ret = ota_file_to_file(&ori, &dest, nullptr);
  if (ret < 0) {
    OTA_LOG_ERR("image burn failed\n");
    return ret;
  }
  ret = ota_check_two_partition_md5(source, destination, 0);
  if (ret < 0) {
    OTA_LOG_ERR("%s and %s md5 check failed\n", source, destination);
  }
  return ret;
}
}  // namespace

extern "C" MIRVO_OTA_API int32_t ota_flash_ab_sync(update_part_t* update_part) {
  (void)update_part;
  const auto slot = static_cast<uint8_t>(ota_get_cur_slot());
  const char* cmd = FLASHCMD_OTHER_B2A;
  if (slot == 0) {
    OTA_LOG_INFO("Start to sync nor partitions from A to B\n");
    cmd = FLASHCMD_OTHER_A2B;
  } else {
    OTA_LOG_INFO("Start to sync nor partitions from B to A\n");
  }
  const int32_t ret = ota_write_flashcmd(cmd, nullptr, 0, 0);
  if (ret < 0) {
    OTA_LOG_ERR("flash AB sync failed\n");
  }
  return ret;
}

extern "C" MIRVO_OTA_API int32_t ota_mmc_ab_sync(update_part_t* update_part) {
  if (update_part == nullptr) {
    return -OTAERR_NULLPOINTER;
  }
  int32_t ret = 0;
  for (uint32_t i = 0; i < update_part->num && i < OTA_UPDATE_PART_MAX; ++i) {
    if (update_part->medium[i] != OTA_EMMC) {
      continue;
    }
    char name[OTA_UPDATE_PART_NAME_LEN + 1] = {};
    std::snprintf(name, sizeof(name), "%.*s", static_cast<int>(OTA_UPDATE_PART_NAME_LEN),
                  update_part->array[i]);
    OTA_LOG_INFO("sync %s\n", name);
    if (update_part->type[i] != AB) {
      continue;
    }
    ret = sync_one_emmc(name);
    if (ret < 0) {
      return ret;
    }
  }
  return ret;
}
