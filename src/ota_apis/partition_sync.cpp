// Bringing the other copies in line after a confirmed update, and clearing the flags.
#include "backup_sync.h"
#include "client_api.h"
#include "client_state.h"
#include "flash_cmd.h"
#include "ota_log.h"
#include "veeprom_flag.h"

namespace {

void log_m2b_status() {
  ota_update_flag_e m2b = OTA_FLAG_NORMAL;
  if (ota_get_backup_up_status(&m2b) == 0) {
    OTA_LOG_INFO("m2b_status %d\n", m2b);
  }
}

bool needs_nor_sync(const update_part_t& parts) {
  for (uint32_t i = 0; i < parts.num && i < OTA_UPDATE_PART_MAX; ++i) {
    if (parts.type[i] == AB && parts.medium[i] == OTA_NOR) {
      return true;
    }
  }
  return false;
}

// Steps of otaPartitionSync under the lock; -1 at the first failure.
int32_t sync_under_lock() {
  update_part_t parts{};
  if (ota_get_part_array(&parts) != 0) {
    OTA_LOG_ERR("Failed to get updated partition\n");
    return -1;
  }
  OTA_LOG_INFO("sync part num %d\n", parts.num);
  const bool nor_sync = needs_nor_sync(parts);
  log_m2b_status();
  OTA_LOG_INFO("Start to sync bak partitions from main to back\n");
  if (ota_set_backup_up_status(OTA_FLAG_BURN) != 0) {
    OTA_LOG_ERR("set backup status OTA_FLAG_BURN failed\n");
    return -1;
  }
  log_m2b_status();
  if (ota_sync_back_part(FLASHCMD_HSM_M2B) < 0) {
    OTA_LOG_ERR("sync from main to bak failed\n");
    return -1;
  }
  if (ota_set_backup_up_status(OTA_FLAG_NORMAL) != 0) {
    OTA_LOG_ERR("set backup status  OTA_FLAG_NORMAL failed\n");
    return -1;
  }
  log_m2b_status();
  if (nor_sync && ota_flash_ab_sync(&parts) < 0) {
    OTA_LOG_ERR("flash AB part sync failed\n");
    return -1;
  }
  if (ota_mmc_ab_sync(&parts) < 0) {
    OTA_LOG_ERR("mmc AB part sync failed\n");
    return -1;
  }
  const int32_t ret = ota_update_version();
  if (ret < 0) {
    OTA_LOG_ERR("antirollback version update failed\n");
    return -1;
  }
  return ret;
}

}  // namespace

extern "C" MIRVO_OTA_API int32_t otaPartitionSync(void) {
  if (!ota_client::is_initialised()) {
    return -OTAERR_NOTINIT;
  }
  try {
    if (ota_client::take_process_lock() != 0) {
      return -OTAERR_REPEAT;
    }
    const int32_t ret = sync_under_lock();
    if (ota_client::release_process_lock() != 0) {
      OTA_LOG_ERR("release flock failed\n");
    }
    return ret;
  } catch (...) {
    OTA_LOG_ERR("otaPartitionSync: unexpected failure\n");
    return -1;
  }
}

extern "C" MIRVO_OTA_API void otaClearFlags(void) {
  try {
    ota_update_flag_e status = OTA_FLAG_NORMAL;
    if (ota_get_up_status(&status) != 0) {
      OTA_LOG_ERR("get ota update status failed\n");
      status = OTA_FLAG_NORMAL;
    } else if (status > OTA_FLAG_VERIFIED) {
      OTA_LOG_ERR("get ota update status failed\n");
    }
    ota_update_flag_e m2b = OTA_FLAG_NORMAL;
    if (ota_get_backup_up_status(&m2b) != 0) {
      OTA_LOG_ERR("get ota m2b_status failed, using OTA_FLAG_NORMAL\n");
      m2b = OTA_FLAG_NORMAL;
    } else {
      OTA_LOG_INFO("m2b_status %d\n", m2b);
    }
    if (ota_client::take_process_lock() != 0) {
      OTA_LOG_ERR("OTA_LOCK_FILE flock failed\n");
      return;
    }
    if (status != OTA_FLAG_VERIFIED) {
      if (m2b != OTA_FLAG_NORMAL) {
        OTA_LOG_WARN("main to bak sync in progress, will not do back to main\n");
      } else {
        OTA_LOG_INFO("Start to sync bak partitions from back to main\n");
        if (ota_sync_back_part(FLASHCMD_HSM_B2M) < 0) {
          OTA_LOG_ERR("BAK part sync failed\n");
        }
      }
    }
    if (ota_set_veeprom_flag_default() != 0) {
      OTA_LOG_ERR("reset ota status record failed\n");
    }
    if (ota_client::release_process_lock() != 0) {
      OTA_LOG_ERR("release flock failed\n");
    }
  } catch (...) {
    OTA_LOG_ERR("otaClearFlags: unexpected failure\n");
  }
}
