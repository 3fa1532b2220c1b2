// The booted slot and the choice of the slot to boot next.
#include "boot_control.h"
#include "client_api.h"
#include "client_state.h"
#include "ota_log.h"
#include "progress_state.h"

extern "C" MIRVO_OTA_API int32_t otaGetPartition(uint8_t* partition) {
  if (partition == nullptr) {
    return -OTAERR_NULLPOINTER;
  }
  const int32_t slot = ota_get_cur_slot();
  if (slot == 0) {
    OTA_LOG_INFO("current slot is:A\n");
  } else if (slot == 1) {
    OTA_LOG_INFO("current slot is:B\n");
  } else {
    OTA_LOG_ERR("get current slot error.\n");
    return -1;
  }
  *partition = static_cast<uint8_t>(slot);
  return 0;
}

extern "C" MIRVO_OTA_API int32_t otaSetPartition(uint8_t partition) {
  // The raw record: a worker's final result counts even before its launch has closed.
  const ota_update_result_e result = ota_client::progress_snapshot().result;
  if (!ota_client::is_initialised()) {
    return -OTAERR_NOTINIT;
  }
  if (partition > 1) {
    OTA_LOG_ERR("set partition para:%d error!\n", partition);
    return -OTAERR_RANGE;
  }
  uint32_t veeprom_slot = 0;
  if (ota_get_next_slot(&veeprom_slot) != 0) {
    return -1;
  }
  const int32_t boot_slot = ota_get_next_expected_slot();
  if (boot_slot < 0) {
    OTA_LOG_ERR("get current slot failed\n");
    return -1;
  }
  if ((result != UPGRADE_SUCCESS && result != UPGRADE_NOT_START) || ota_client::launch_active()) {
    return -OTAERR_STAGE;
  }
  if (boot_slot != partition && ota_set_next_expected_slot(partition) != 0) {
    OTA_LOG_ERR("set next boot slot failed\n");
    return -1;
  }
  if (veeprom_slot != partition && ota_set_next_slot(partition) != 0) {
    OTA_LOG_ERR("set ota expected slot failed\n");
    return -1;
  }
  return 0;
}
