// Bringing the other copies in line after a confirmed update, and clearing the flags.
//
// The sync overwrites the fallback slot with copies of the confirmed running slot, so
// the fallback is unbootable from before its first copy until every copy is proven
// (docs/update-road.md, Y1..Y7); the road record names it, so a retry after a stop
// anywhere finishes the sync. A sync without a confirmed update changes nothing: the
// running slot might be the very one that has not proven itself yet.
#include "backup_sync.h"
#include "boot_control.h"
#include "client_api.h"
#include "client_state.h"
#include "flash_cmd.h"
#include "ota_log.h"
#include "road_steps.h"
#include "veeprom_flag.h"

namespace {

char letter(int32_t slot) { return slot == 0 ? 'a' : (slot == 1 ? 'b' : '?'); }

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

// The slot the sync overwrites, or -1 (logged) when no confirmed update runs: status
// VERIFIED, and the road switched to the running slot (or a sync of the other one begun).
int32_t fallback_slot(const ota_road_record_t& road) {
  ota_update_flag_e status = OTA_FLAG_NORMAL;
  if (ota_get_up_status(&status) != 0) {
    OTA_LOG_ERR("get ota update status failed\n");
    return -1;
  }
  const int32_t running = ota_get_cur_slot();
  const bool known = running == 0 || running == 1;
  const auto fallback = static_cast<uint32_t>(running ^ 1);
  const bool on_target = known && road.target_slot == static_cast<uint32_t>(running);
  const bool road_ok = road.phase == OTA_ROAD_SWITCHED ||
                       (road.phase == OTA_ROAD_SYNCING && road.sync_slot == fallback);
  if (status != OTA_FLAG_VERIFIED || !on_target || !road_ok) {
    OTA_LOG_ERR(
        "partition sync refused: no confirmed update runs (status %d, road %s, target %c, "
        "running %c)\n",
        status, ota_road_phase_name(road.phase), letter(static_cast<int32_t>(road.target_slot)),
        letter(running));
    return -1;
  }
  return running ^ 1;
}

// Y1 the road names the slot being overwritten, Y2 that slot is unbootable.
int32_t begin_overwrite(ota_road_record_t* road, int32_t fallback) {
  if (road->phase != OTA_ROAD_SYNCING) {
    road->sync_slot = static_cast<uint32_t>(fallback);
    if (ota_client::road_store(road, OTA_ROAD_SYNCING) != 0) {
      OTA_LOG_ERR("record the sync of slot %c failed\n", letter(fallback));
      return -1;
    }
  }
  bootloader_control ctrl{};
  if (ota_client::misc_load(&ctrl) != 0) {
    return -1;
  }
  if (ota_client::slot_bootable(ctrl, fallback) && ota_set_slot_unbootable(fallback) != 0) {
    OTA_LOG_ERR("mark slot %c unbootable before the sync failed\n", letter(fallback));
    return -1;
  }
  return 0;
}

// Y3: the security partitions' backups from their main copies.
int32_t refresh_backups() {
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
  return 0;
}

// Y4: the listed A/B partitions, NOR and eMMC, copied from the running slot and proven.
int32_t copy_listed(update_part_t* parts) {
  if (needs_nor_sync(*parts) && ota_flash_ab_sync(parts) < 0) {
    OTA_LOG_ERR("flash AB part sync failed\n");
    return -1;
  }
  if (ota_mmc_ab_sync(parts) < 0) {
    OTA_LOG_ERR("mmc AB part sync failed\n");
    return -1;
  }
  return 0;
}

// Y5 the proven fallback is bootable again, Y6 the road no longer names it.
int32_t end_overwrite(ota_road_record_t* road, int32_t fallback) {
  if (ota_client::misc_make_fallback(fallback) != 0) {
    OTA_LOG_ERR("make slot %c bootable after the sync failed\n", letter(fallback));
    return -1;
  }
  road->sync_slot = OTA_ROAD_NO_SLOT;
  if (ota_client::road_store(road, OTA_ROAD_SWITCHED) != 0) {
    OTA_LOG_ERR("record the end of the sync of slot %c failed\n", letter(fallback));
    return -1;
  }
  return 0;
}

// Steps of otaPartitionSync under the lock; -1 at the first failure.
int32_t sync_under_lock() {
  update_part_t parts{};
  if (ota_get_part_array(&parts) != 0) {
    OTA_LOG_ERR("Failed to get updated partition\n");
    return -1;
  }
  OTA_LOG_INFO("sync part num %d\n", parts.num);
  ota_road_record_t road{};
  if (ota_client::road_load(&road) != 0) {
    return -1;
  }
  const int32_t fallback = fallback_slot(road);
  if (fallback < 0 || begin_overwrite(&road, fallback) != 0 || refresh_backups() != 0 ||
      copy_listed(&parts) != 0 || end_overwrite(&road, fallback) != 0) {
    return -1;
  }
  const int32_t ret = ota_update_version();
  if (ret < 0) {
    OTA_LOG_ERR("antirollback version update failed\n");
    return -1;
  }
  return ret;
}

// Back to no update on record; the queue of firmware commands still waits its turn.
void road_to_idle() {
  ota_road_record_t road{};
  if (ota_client::road_load(&road) != 0) {
    return;
  }
  if (road.phase == OTA_ROAD_IDLE && road.sync_slot == OTA_ROAD_NO_SLOT) {
    return;
  }
  ota_road_set_idle(&road);
  if (ota_client::road_store(&road, OTA_ROAD_IDLE) != 0) {
    OTA_LOG_ERR("reset road record failed\n");
  }
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
    road_to_idle();
    if (ota_client::release_process_lock() != 0) {
      OTA_LOG_ERR("release flock failed\n");
    }
  } catch (...) {
    OTA_LOG_ERR("otaClearFlags: unexpected failure\n");
  }
}
