// The booted slot and the choice of the slot to boot next. A slot is switched to only
// when the records say its update was finished and proven, or when it is a confirmed
// slot (a cancel or a rollback); never while an update or a sync holds the lock.
#include "boot_control.h"
#include "client_api.h"
#include "client_state.h"
#include "ota_log.h"
#include "progress_state.h"
#include "road_steps.h"

namespace {

char letter(int32_t slot) { return slot == 0 ? 'a' : 'b'; }

struct SwitchView {
  uint32_t veeprom_slot = 0;  // next_slot of the status record
  int32_t boot_slot = -1;     // next slot of the boot control block
  ota_update_flag_e up = OTA_FLAG_NORMAL;
  ota_road_record_t road{};
  bootloader_control ctrl{};
};

int32_t read_view(SwitchView* v) {
  if (ota_get_up_status(&v->up) != 0) {
    OTA_LOG_ERR("get ota update status failed\n");
    return -1;
  }
  if (ota_client::road_load(&v->road) != 0 || ota_client::misc_load(&v->ctrl) != 0) {
    return -1;
  }
  return 0;
}

// S1 road SWITCHED, S2 next_slot, S3 misc: the slot on trial. Each step already done by
// an earlier, stopped call is skipped, so a retry finishes the switch.
int32_t switch_to_update(int32_t slot, SwitchView* v) {
  if (v->road.phase != OTA_ROAD_SWITCHED &&
      ota_client::road_store(&v->road, OTA_ROAD_SWITCHED) != 0) {
    OTA_LOG_ERR("record the switch to slot %c failed\n", letter(slot));
    return -1;
  }
  if (v->veeprom_slot != static_cast<uint32_t>(slot) && ota_set_next_slot(slot) != 0) {
    OTA_LOG_ERR("set ota expected slot failed\n");
    return -1;
  }
  if ((v->boot_slot != slot || v->ctrl.slot_info[slot].successful_boot() != 0) &&
      ota_client::misc_activate_on_trial(slot) != 0) {
    OTA_LOG_ERR("set next boot slot failed\n");
    return -1;
  }
  return 0;
}

// A confirmed slot boots next keeping its confirmation; an update still waiting for its
// switch or its check is put back to WRITTEN, so it can be switched to later.
int32_t switch_to_confirmed(int32_t slot, SwitchView* v) {
  if (v->up == OTA_FLAG_VERIFY && v->road.phase == OTA_ROAD_SWITCHED &&
      v->road.target_slot != static_cast<uint32_t>(slot) &&
      ota_client::road_store(&v->road, OTA_ROAD_WRITTEN) != 0) {
    OTA_LOG_ERR("record the cancel of the switch to slot %c failed\n", letter(slot ^ 1));
    return -1;
  }
  if (v->veeprom_slot != static_cast<uint32_t>(slot) && ota_set_next_slot(slot) != 0) {
    OTA_LOG_ERR("set ota expected slot failed\n");
    return -1;
  }
  if (v->boot_slot != slot && ota_set_next_expected_slot(slot) != 0) {
    OTA_LOG_ERR("set next boot slot failed\n");
    return -1;
  }
  return 0;
}

bool update_finished_for(int32_t slot, const SwitchView& v) {
  return v.up == OTA_FLAG_VERIFY &&
         (v.road.phase == OTA_ROAD_WRITTEN || v.road.phase == OTA_ROAD_SWITCHED) &&
         v.road.target_slot == static_cast<uint32_t>(slot);
}

int32_t refuse(int32_t slot, const SwitchView& v) {
  const char c = letter(slot);
  if (v.road.phase == OTA_ROAD_SYNCING) {
    OTA_LOG_ERR(
        "set partition %c refused: the partition sync into slot %c did not finish "
        "(run the sync again)\n",
        c, letter(static_cast<int32_t>(v.road.sync_slot)));
  } else if (v.up == OTA_FLAG_BURN) {
    OTA_LOG_ERR(
        "set partition %c refused: an update was being written and did not finish "
        "(status BURN); update again or clear the flags\n",
        c);
  } else {
    OTA_LOG_ERR(
        "set partition %c refused: slot %c holds no finished update and is not a "
        "confirmed slot\n",
        c, c);
  }
  return -OTAERR_STAGE;
}

int32_t set_partition_locked(int32_t slot, ota_update_result_e result) {
  SwitchView v;
  if (ota_get_next_slot(&v.veeprom_slot) != 0) {
    return -1;
  }
  v.boot_slot = ota_get_next_expected_slot();
  if (v.boot_slot < 0) {
    OTA_LOG_ERR("get current slot failed\n");
    return -1;
  }
  if ((result != UPGRADE_SUCCESS && result != UPGRADE_NOT_START) || ota_client::launch_active()) {
    return -OTAERR_STAGE;
  }
  if (read_view(&v) != 0) {
    return -1;
  }
  if (v.road.phase == OTA_ROAD_SYNCING) {
    return refuse(slot, v);
  }
  if (update_finished_for(slot, v)) {
    return switch_to_update(slot, &v);
  }
  if (ota_client::slot_confirmed(v.ctrl, slot) && v.up != OTA_FLAG_BURN) {
    return switch_to_confirmed(slot, &v);
  }
  return refuse(slot, v);
}

}  // namespace

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
  try {
    if (ota_client::take_process_lock() != 0) {
      OTA_LOG_ERR(
          "set partition %c refused: an update or partition sync is running "
          "(/tmp/ota.lock is held)\n",
          letter(partition));
      return -OTAERR_STAGE;
    }
    const int32_t ret = set_partition_locked(partition, result);
    if (ota_client::release_process_lock() != 0) {
      OTA_LOG_ERR("release flock failed\n");
    }
    return ret;
  } catch (...) {
    OTA_LOG_ERR("otaSetPartition: unexpected failure\n");
    return -1;
  }
}
