// Copies of updated A/B partitions from the running slot to the other one, NOR and eMMC,
// made by the engine itself and each proven by MD5 before the next step of the sync.
#include <cstdio>

#include "boot_control.h"
#include "client_api.h"
#include "ota_log.h"
#include "partition_md5.h"
#include "slot_copy.h"

namespace {

// The listed name of entry i, terminated even when it fills all 32 bytes.
void entry_name(const update_part_t& parts, uint32_t i,
                char (&name)[OTA_UPDATE_PART_NAME_LEN + 1]) {
  std::snprintf(name, sizeof(name), "%.*s", static_cast<int>(OTA_UPDATE_PART_NAME_LEN),
                parts.array[i]);
}

// The running slot is the source, the other one the destination, whatever misc says of
// them: the caller has made sure the running slot is the confirmed one.
int32_t copy_slots(int32_t* from, int32_t* to) {
  const int32_t cur = ota_get_cur_slot();
  if (cur != 0 && cur != 1) {
    OTA_LOG_ERR("get update slot error\n");
    return -1;
  }
  *from = cur;
  *to = cur ^ 1;
  return 0;
}

int32_t sync_one_emmc(const char* name, int32_t from, int32_t to) {
  char source[OTA_DEV_PATH_LEN] = {};
  char destination[OTA_DEV_PATH_LEN] = {};
  std::snprintf(source, sizeof(source), "%s%s_%c", OTA_DEV_DIR, name, 'a' + from);
  std::snprintf(destination, sizeof(destination), "%s%s_%c", OTA_DEV_DIR, name, 'a' + to);
  OTA_LOG_INFO("ori path: [%s]\n", source);
  OTA_LOG_INFO("dest path: [%s]\n", destination);
  ota::CopyProof proof;
  if (copy_part_proven(source, destination, &proof) != 0) {
    OTA_LOG_ERR("image burn failed\n");
    return -1;
  }
  const int32_t ret = ota_check_copied_partition_md5(source, destination, proof);
  if (ret < 0) {
    OTA_LOG_ERR("%s and %s md5 check failed\n", source, destination);
  }
  return ret;
}

}  // namespace

extern "C" MIRVO_OTA_API int32_t ota_flash_ab_sync(update_part_t* update_part) {
  if (update_part == nullptr) {
    return -OTAERR_NULLPOINTER;
  }
  int32_t from = 0;
  int32_t to = 0;
  if (copy_slots(&from, &to) != 0) {
    OTA_LOG_ERR("flash AB sync failed\n");
    return -1;
  }
  if (from == 0) {
    OTA_LOG_INFO("Start to sync nor partitions from A to B\n");
  } else {
    OTA_LOG_INFO("Start to sync nor partitions from B to A\n");
  }
  for (uint32_t i = 0; i < update_part->num && i < OTA_UPDATE_PART_MAX; ++i) {
    if (update_part->medium[i] != OTA_NOR || update_part->type[i] != AB) {
      continue;
    }
    char name[OTA_UPDATE_PART_NAME_LEN + 1] = {};
    entry_name(*update_part, i, name);
    if (ota_copy_ab_partition(name, OTA_NOR, from, to) != 0) {
      OTA_LOG_ERR("flash AB sync failed\n");
      return -1;
    }
  }
  return 0;
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
    entry_name(*update_part, i, name);
    OTA_LOG_INFO("sync %s\n", name);
    if (update_part->type[i] != AB) {
      continue;
    }
    int32_t from = 0;
    int32_t to = 0;
    ret = copy_slots(&from, &to);
    if (ret == 0) {
      ret = sync_one_emmc(name, from, to);
    }
    if (ret < 0) {
      return ret;
    }
  }
  return ret;
}
