#include "road_steps.h"

#include "ota_log.h"

namespace ota_client {

namespace {
constexpr uint8_t FALLBACK_PRIORITY = SLOT_MAX_PRIORITY - 1;
}

int32_t road_load(ota_road_record_t* rec) {
  if (ota_road_read(rec) != 0) {
    OTA_LOG_ERR("read road record from veeprom failed\n");
    return -1;
  }
  return 0;
}

int32_t road_store(ota_road_record_t* rec, ota_road_phase_e phase) {
  rec->phase = phase;
  // ota_road_write names the phase it could not write.
  return ota_road_write(rec) == 0 ? 0 : -1;
}

int32_t misc_load(bootloader_control* ctrl) {
  *ctrl = bootloader_control{};
  if (bootctrl_get_info(ctrl) != 0 || ctrl->nb_slot() < 2) {
    OTA_LOG_ERR("get boot ctrl info failed!\n");
    return -1;
  }
  return 0;
}

bool slot_bootable(const bootloader_control& ctrl, int32_t slot) {
  const slot_metadata& m = ctrl.slot_info[slot];
  return m.tries_remaining() != 0 && m.verity_corrupted() == 0;
}

bool slot_confirmed(const bootloader_control& ctrl, int32_t slot) {
  return slot_bootable(ctrl, slot) && ctrl.slot_info[slot].successful_boot() == 1;
}

int32_t misc_activate_on_trial(int32_t slot) {
  bootloader_control ctrl{};
  if (misc_load(&ctrl) != 0 || bootctrl_apply_active_slot(slot, &ctrl) != 0) {
    OTA_LOG_ERR("set active boot slot to %d error!\n", slot);
    return -1;
  }
  ctrl.slot_info[slot].set_successful_boot(0);
  if (bootctrl_update_and_save(&ctrl) != 0) {
    OTA_LOG_ERR("Boot ctrl save failed\n");
    return -1;
  }
  OTA_LOG_INFO("set slot:%d to next expected success!\n", slot);
  return 0;
}

int32_t misc_make_fallback(int32_t slot) {
  bootloader_control ctrl{};
  if (misc_load(&ctrl) != 0) {
    return -1;
  }
  slot_metadata& m = ctrl.slot_info[slot];
  m.set_priority(FALLBACK_PRIORITY);
  m.set_successful_boot(1);
  m.set_tries_remaining(1);
  m.set_verity_corrupted(0);
  if (bootctrl_update_and_save(&ctrl) != 0) {
    OTA_LOG_ERR("Boot ctrl save failed\n");
    return -1;
  }
  OTA_LOG_INFO("slot:%d is bootable again as the fallback\n", slot);
  return 0;
}

}  // namespace ota_client
