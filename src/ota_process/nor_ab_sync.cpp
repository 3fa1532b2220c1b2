// The NOR A/B partitions a run did not write, copied from the running slot into the slot
// being updated once every package has been written.
#include <cstring>

#include "ab_copy.h"
#include "boot_control.h"
#include "manifest.h"
#include "ota_log.h"
#include "partition_sequence.h"
#include "slot_copy.h"

namespace {

// A NOR A/B partition this run wrote (recorded in the updated-partition list).
bool nor_pair_written(const char* base) {
  const update_part_t* parts = get_update_part();
  const uint32_t num = parts->num < OTA_UPDATE_PART_MAX ? parts->num : OTA_UPDATE_PART_MAX;
  for (uint32_t i = 0; i < num; ++i) {
    if (parts->medium[i] == OTA_NOR && parts->type[i] == AB &&
        std::strncmp(parts->array[i], base, OTA_UPDATE_PART_NAME_LEN) == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

// The NOR halves the run did not write are copied by the engine itself, not by the
// firmware through "other_a2b_cmd"/"other_b2a_cmd": a command would run only at the next
// boot, after VERIFY had already declared the slot complete, and any later command sent
// before that boot would replace it.
int32_t ota_nor_ab_sync(void) {
  const update_info_t* info = ota_config_parsed() ? ota_get_config_info() : nullptr;
  if (info != nullptr && info->ab_sync != 0) {
    return 0;
  }
  const int32_t slot = ota_get_update_slot();
  OTA_LOG_INFO("Start to copy flash\n");
  if (slot != 0 && slot != 1) {
    OTA_LOG_ERR("Get update slot failed\n");
    return -1;
  }
  ota_nor_ab_pair_t pairs[OTA_NOR_AB_MAX];
  const int32_t count = ota_list_nor_ab_pairs(pairs);
  if (count < 0) {
    OTA_LOG_ERR("AB sync failed\n");
    return -1;
  }
  for (int32_t i = 0; i < count; ++i) {
    if (nor_pair_written(pairs[i].base)) {
      continue;
    }
    if (ota_copy_ab_partition(pairs[i].base, OTA_NOR, slot ^ 1, slot) != 0) {
      OTA_LOG_ERR("AB sync failed\n");
      return -1;
    }
  }
  return 0;
}
