// After the reboot: has the update taken, confirming it, the owner, MCU notices.
#include "backup_sync.h"
#include "boot_control.h"
#include "client_api.h"
#include "client_state.h"
#include "flash_cmd.h"
#include "ota_log.h"
#include "road_steps.h"
#include "veeprom_flag.h"

namespace {

char letter(uint32_t slot) { return slot == 0 ? 'a' : (slot == 1 ? 'b' : '?'); }

// An update waiting for its check took only when its switch was recorded and the board
// runs the slot switched to; anything else is a failed boot of the new slot.
int32_t check_switched_slot(uint32_t veeprom_slot) {
  ota_road_record_t road{};
  if (ota_client::road_load(&road) != 0) {
    return -1;
  }
  if (road.phase != OTA_ROAD_SWITCHED || road.target_slot != veeprom_slot) {
    OTA_LOG_ERR("OTA update check failed: no switch was recorded (next slot %c, road %s to %c)\n",
                letter(veeprom_slot), ota_road_phase_name(road.phase), letter(road.target_slot));
    return -OTAERR_BOOT_FAILED;
  }
  const int32_t cur_slot = ota_get_cur_slot();
  if (cur_slot >= 0 && static_cast<uint32_t>(cur_slot) == veeprom_slot) {
    OTA_LOG_INFO("OTA update status check success\n");
    return 0;
  }
  OTA_LOG_ERR("OTA ab slot verify failed\n");
  OTA_LOG_ERR("cur slot from cmdline %d, veeprom slot %u\n", cur_slot, veeprom_slot);
  return -OTAERR_BOOT_FAILED;
}

// VERIFY becomes VERIFIED only on the slot the update switched to: confirming the slot
// the firmware fell back to must not make a failed update look confirmed.
int32_t record_verified(int32_t slot) {
  ota_update_flag_e status = OTA_FLAG_NORMAL;
  if (ota_get_up_status(&status) != 0) {
    OTA_LOG_ERR("Get update status failed\n");
    return -1;
  }
  if (status != OTA_FLAG_VERIFY) {
    return 0;
  }
  ota_road_record_t road{};
  if (ota_client::road_load(&road) != 0) {
    return -1;
  }
  if (road.phase != OTA_ROAD_SWITCHED || road.target_slot != static_cast<uint32_t>(slot)) {
    OTA_LOG_WARN("update to slot %c not confirmed: running slot %c (status stays VERIFY)\n",
                 letter(road.target_slot), letter(static_cast<uint32_t>(slot)));
    return 0;
  }
  if (ota_set_up_status(OTA_FLAG_VERIFIED) != 0) {
    OTA_LOG_ERR("Set up status to verified failed\n");
    return -1;
  }
  return 0;
}

}  // namespace

extern "C" MIRVO_OTA_API int32_t otaGetOwnerFlag(ota_update_owner_e* owner) {
  if (!ota_client::is_initialised()) {
    return -OTAERR_NOTINIT;
  }
  if (owner == nullptr) {
    OTA_LOG_ERR("owner is null\n");
    return -OTAERR_NULLPOINTER;
  }
  return ota_get_owner(owner) != 0 ? -1 : 0;
}

extern "C" MIRVO_OTA_API int32_t otaCheckUpdate(void) {
  // The first call after a reboot: the channel is free again for a queued command.
  (void)ota_flashcmd_drain_queue();
  uint32_t veeprom_slot = 0;
  if (ota_get_next_slot(&veeprom_slot) != 0) {
    return -1;
  }
  uint8_t from_bak = 0;
  if (ota_back_slot_stat(&from_bak) != 0) {
    OTA_LOG_ERR("Get bak slot failed\n");
    return -1;
  }
  ota_update_flag_e status = OTA_FLAG_NORMAL;
  if (ota_get_up_status(&status) != 0 || status > OTA_FLAG_VERIFIED) {
    OTA_LOG_ERR("get ota update status failed\n");
    return -1;
  }
  OTA_LOG_INFO("update_status %d\n", status);
  switch (status) {
    case OTA_FLAG_VERIFIED:
      OTA_LOG_ERR("This upgrade task has been verified before\n");
      return 0;
    case OTA_FLAG_NORMAL:
      (void)ota_set_veeprom_flag_default();
      return -OTAERR_STAGE;
    case OTA_FLAG_BURN:
      OTA_LOG_ERR("OTA image burn failed\n");
      return -OTAERR_IMAGE_WRITE;
    default:
      break;
  }
  if (get_boot_mode() == RECOVERY_MODE) {
    OTA_LOG_ERR("OTA update failed, in recovery\n");
    return -OTAERR_BOOT_FAILED;
  }
  if (from_bak != 0) {
    OTA_LOG_ERR("OTA bak slot boot failed\n");
    return -OTAERR_BOOT_FAILED;
  }
  return check_switched_slot(veeprom_slot);
}

extern "C" MIRVO_OTA_API int32_t otaMarkOTASuccessful(void) {
  if (!ota_client::is_initialised()) {
    return -OTAERR_NOTINIT;
  }
  if (ota_write_flashcmd(FLASHCMD_AONREG_WRITE, nullptr, 0, 0) != 0) {
    OTA_LOG_ERR("Write AONREG clear command failed\n");
    return -1;
  }
  const int32_t slot = ota_get_cur_slot();
  if (slot < 0 || slot > 2) {
    return -1;
  }
  // The only writer of the boot control block is its save, which writes misc itself.
  if (ota_mark_slot_boot_successful(slot) != 0) {
    OTA_LOG_ERR("mark system boot success failed\n");
    return -1;
  }
  return record_verified(slot);
}

extern "C" MIRVO_OTA_API int32_t otaNotifyMCU(hl_ota_msg msg) {
  return notify_mcu(static_cast<msg2mcu>(msg));
}

extern "C" MIRVO_OTA_API int32_t otaInitSecImg(const char* zip_path, ota_sec_info_t* sec_info) {
  (void)zip_path;
  (void)sec_info;
  return -OTAERR_PLAT_UNSUPPORT;
}

extern "C" MIRVO_OTA_API int32_t otaVerifySecImg(ota_sec_info_t* sec_info) {
  (void)sec_info;
  return -OTAERR_PLAT_UNSUPPORT;
}
