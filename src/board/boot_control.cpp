#include "boot_control.h"

#include <fcntl.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "crc.h"
#include "device_io.h"
#include "flash_cmd.h"
#include "ota_log.h"
#include "unique_fd.h"

namespace {

// Logs and refuses a block with the wrong magic or a slot outside 0 .. nb_slot-1. The
// field holds up to 7 while the block has room for 4 slots: a larger count from the
// medium must not open slots beyond the array.
bool check_block_and_slot(bootloader_control* ctrl, int32_t slot) {
  if (is_bootctrl_valid(ctrl) != 1) {
    OTA_LOG_ERR("Invalid boot ctrl info\n");
    return false;
  }
  if (ctrl->nb_slot() > BOOT_CTRL_MAX_SLOTS) {
    OTA_LOG_ERR("Invalid nb_slot %d, max %ld\n", ctrl->nb_slot(),
                static_cast<long>(BOOT_CTRL_MAX_SLOTS));
    return false;
  }
  if (slot < 0 || slot >= ctrl->nb_slot()) {
    OTA_LOG_ERR("Invalid boot slot %d\n", slot);
    return false;
  }
  return true;
}

// Saves a changed block; a failure is logged once more as the save of the operation.
int32_t save_block(bootloader_control* ctrl) {
  if (bootctrl_update_and_save(ctrl) != 0) {
    OTA_LOG_ERR("Boot ctrl save failed\n");
    return -1;
  }
  return 0;
}

}  // namespace

uint32_t bootctrl_crc(const bootloader_control& ctrl) {
  std::array<uint8_t, sizeof(bootloader_control)> bytes{};
  (void)encode(ctrl, bytes);
  return CRC32(bytes.data(), BOOT_CTRL_CRC_LEN);
}

int32_t is_bootctrl_valid(bootloader_control* ctrl) {
  if (ctrl == nullptr) {
    OTA_LOG_ERR("Invalid input parameter, null ptr\n");
    return -1;
  }
  return ctrl->magic == BOOT_CTRL_MAGIC ? 1 : 0;
}

int32_t ab_compare_slots(const slot_metadata* a, const slot_metadata* b) {
  if (a->priority() != b->priority()) {
    return b->priority() - a->priority();
  }
  if (a->successful_boot() != b->successful_boot()) {
    return b->successful_boot() - a->successful_boot();
  }
  return b->tries_remaining() - a->tries_remaining();
}

int32_t bootctrl_get_curslot_from_misc(bootloader_control* boot_ctrl) {
  if (is_bootctrl_valid(boot_ctrl) != 1) {
    OTA_LOG_ERR("Invalid boot ctrl info\n");
    return -1;
  }
  if (boot_ctrl->nb_slot() > BOOT_CTRL_MAX_SLOTS) {
    OTA_LOG_ERR("Invalid nb_slot %d, max %ld\n", boot_ctrl->nb_slot(),
                static_cast<long>(BOOT_CTRL_MAX_SLOTS));
    return -1;
  }
  int32_t best = -1;
  for (int32_t slot = 0; slot < boot_ctrl->nb_slot(); ++slot) {
    const slot_metadata& meta = boot_ctrl->slot_info[slot];
    if (meta.verity_corrupted() != 0 || meta.tries_remaining() == 0) {
      continue;
    }
    if (best < 0 || ab_compare_slots(&meta, &boot_ctrl->slot_info[best]) < 0) {
      best = slot;
    }
  }
  OTA_LOG_INFO("curslot read from misc is: %d\n", best);
  return best;
}

int bootctrl_get_number_slots(bootloader_control* boot_ctrl) {
  if (is_bootctrl_valid(boot_ctrl) != 1) {
    OTA_LOG_ERR("Invalid boot ctrl info\n");
    return -1;
  }
  return boot_ctrl->nb_slot();
}

// The block is written to misc by the engine itself rather than handed to the firmware
// as a "misc_write_cmd": the flash channel holds one command, and a later command sent
// before the reboot (a NOR copy, the slot switch, a notice) would replace the block's
// command and silently lose a change such as "this slot is unbootable". A block written
// here is on the medium when the save returns, and every read sees it at once.
int32_t bootctrl_update_and_save(bootloader_control* ctrl) {
  if (ctrl == nullptr) {
    OTA_LOG_ERR("Invalid input parameter, null ptr");
    return -1;
  }
  ctrl->crc32_le = bootctrl_crc(*ctrl);
  static_assert(BOOT_CTRL_OFFSET % MISC_BLOCK_SIZE == 0, "Boot control block not block aligned.");
  std::array<uint8_t, sizeof(bootloader_control)> bytes{};
  (void)encode(*ctrl, bytes);
  // A misc write command an older engine left pending would be carried out at the next
  // boot over this newer block.
  if (ota_flashcmd_drop_pending(FLASHCMD_MISC_WRITE) < 0) {
    OTA_LOG_ERR("misc write failed, ret %d\n", -1);
    return -1;
  }
  ota::UniqueFd fd = ota::open_fd(OTA_MISC_DEV, O_WRONLY);
  if (!fd || !ota::pwrite_full(fd.get(), bytes.data(), bytes.size(), BOOT_CTRL_OFFSET) ||
      !ota::sync_fd(fd.get()) || fd.close() != 0) {
    OTA_LOG_ERR("write boot control block to %s failed: %s\n", OTA_MISC_DEV, std::strerror(errno));
    OTA_LOG_ERR("misc write failed, ret %d\n", -1);
    return -1;
  }
  return 0;
}

int32_t bootctrl_apply_active_slot(int32_t slot, bootloader_control* boot_ctrl) {
  if (!check_block_and_slot(boot_ctrl, slot)) {
    return -1;
  }
  for (int32_t other = 0; other < boot_ctrl->nb_slot(); ++other) {
    slot_metadata& meta = boot_ctrl->slot_info[other];
    if (other != slot && meta.priority() >= SLOT_MAX_PRIORITY) {
      meta.set_priority(SLOT_MAX_PRIORITY - 1);
    }
  }
  slot_metadata& active = boot_ctrl->slot_info[slot];
  active.set_priority(SLOT_MAX_PRIORITY);
  active.set_tries_remaining(SLOT_ACTIVE_TRIES);
  active.set_verity_corrupted(0);
  return 0;
}

int32_t bootctrl_apply_unbootable(int32_t slot, bootloader_control* boot_ctrl) {
  if (!check_block_and_slot(boot_ctrl, slot)) {
    return -1;
  }
  boot_ctrl->slot_info[slot].set_successful_boot(0);
  boot_ctrl->slot_info[slot].set_tries_remaining(0);
  return 0;
}

int32_t bootctrl_mark_boot_successful(int32_t slot, bootloader_control* boot_ctrl) {
  if (!check_block_and_slot(boot_ctrl, slot)) {
    return -1;
  }
  slot_metadata& meta = boot_ctrl->slot_info[slot];
  if (meta.successful_boot() == 1 && meta.tries_remaining() != 0) {
    OTA_LOG_INFO("This slot has been marked success before, no need to mark it repeatedly\n");
    return 0;
  }
  meta.set_successful_boot(1);
  meta.set_tries_remaining(1);
  return save_block(boot_ctrl);
}

int32_t bootctrl_set_active_boot_slot(int32_t slot, bootloader_control* boot_ctrl) {
  if (bootctrl_apply_active_slot(slot, boot_ctrl) != 0) {
    return -1;
  }
  return save_block(boot_ctrl);
}

int32_t bootctrl_set_slot_as_unbootable(int32_t slot, bootloader_control* boot_ctrl) {
  if (bootctrl_apply_unbootable(slot, boot_ctrl) != 0) {
    return -1;
  }
  return save_block(boot_ctrl);
}

int32_t bootctrl_is_slot_bootable(int32_t slot, bootloader_control* boot_ctrl) {
  if (!check_block_and_slot(boot_ctrl, slot)) {
    return -1;
  }
  return boot_ctrl->slot_info[slot].tries_remaining();
}

int32_t bootctrl_is_slot_marked_successful(int32_t slot, bootloader_control* boot_ctrl) {
  if (!check_block_and_slot(boot_ctrl, slot)) {
    return -1;
  }
  const slot_metadata& meta = boot_ctrl->slot_info[slot];
  return meta.successful_boot() == 1 && meta.tries_remaining() != 0 ? 1 : 0;
}

int32_t ab_control_default(bootloader_control* abc) {
  if (abc == nullptr) {
    return -1;
  }
  abc->slot_suffix[0] = 'a';
  abc->magic = BOOT_CTRL_MAGIC;
  abc->version = BOOT_CTRL_VERSION;
  abc->set_nb_slot(2);
  abc->set_recovery_tries_remaining(0);
  for (int slot = 0; slot < 2; ++slot) {
    abc->slot_info[slot] = slot_metadata{};
    abc->slot_info[slot].set_priority(SLOT_MAX_PRIORITY);
    abc->slot_info[slot].set_tries_remaining(SLOT_MAX_TRIES);
  }
  return 0;
}

int32_t bootctrl_set_default() {
  bootloader_control ctrl{};
  if (ab_control_default(&ctrl) != 0) {
    OTA_LOG_ERR("bootloader control set default failed\n");
    return -1;
  }
  if (bootctrl_update_and_save(&ctrl) != 0) {
    OTA_LOG_ERR("bootctrl_write failed\n");
    return -1;
  }
  return 0;
}

int32_t bootctrl_get_info(bootloader_control* boot_ctrl) {
  if (boot_ctrl == nullptr) {
    OTA_LOG_ERR("Invalid input parameter, null ptr\n");
    return -1;
  }
  ota_file_info_t misc{};
  misc.offset = BOOT_CTRL_OFFSET;
  misc.size = sizeof(bootloader_control);
  misc.medium = OTA_EMMC;
  std::snprintf(misc.path, sizeof(misc.path), "%s", OTA_MISC_DEV);
  std::array<uint8_t, sizeof(bootloader_control)> bytes{};
  const int32_t ret = ota_file_to_buf(&misc, bytes.data(), bytes.size());
  if (ret != 0) {
    OTA_LOG_ERR("misc data read failed, ret %d\n", ret);
    return ret;
  }
  (void)decode(bytes, boot_ctrl);
  if (is_bootctrl_valid(boot_ctrl) != 1) {
    OTA_LOG_ERR("check bootctrl valid failed! ret %d\n", ret);
    return -1;
  }
  return 0;
}
