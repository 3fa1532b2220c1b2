// One upgrade run: the interrupted backup copy finished first, the packages checked, each
// kind's handler in table order, then the NOR and eMMC A/B copies of the new slot.
#include "upgrade.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "antirollback.h"
#include "backup_sync.h"
#include "boot_control.h"
#include "gpt_verify.h"
#include "kx_zip.h"
#include "manifest.h"
#include "ota_log.h"
#include "package_paths.h"
#include "unique_fd.h"
#include "up_partition.h"
#include "veeprom_flag.h"

namespace {

constexpr size_t kManifestPathLen = 128;

// Reads the main-to-backup flag, falling back to OTA_FLAG_NORMAL as the firmware does.
ota_update_flag_e read_backup_flag() {
  ota_update_flag_e status = OTA_FLAG_NORMAL;
  if (ota_get_backup_up_status(&status) != 0) {
    OTA_LOG_ERR("get backup up status failed, using default OTA_FLAG_NORMAL\n");
    return OTA_FLAG_NORMAL;
  }
  OTA_LOG_INFO("m2b_status %d\n", static_cast<int>(status));
  return status;
}

// A main-to-backup copy of the security partitions that a previous run started and
// did not finish is completed before anything else touches the board.
int32_t finish_backup_copy() {
  if (read_backup_flag() != OTA_FLAG_BURN) {
    return 0;
  }
  OTA_LOG_INFO("Last main to bak not completed, Start to sync from main to back\n");
  const int32_t ret = ota_sync_back_part("hsm_m2b_cmd");
  if (ret < 0) {
    OTA_LOG_ERR("sync from main to bak failed, ret is %d\n", ret);
    return ret;
  }
  if (ota_set_backup_up_status(OTA_FLAG_NORMAL) != 0) {
    OTA_LOG_ERR("set backup up status OTA_FLAG_NORMAL failed\n");
    return -1;
  }
  (void)read_backup_flag();
  return 0;
}

void set_handlers(ota_packages_separate* pkgs) {
  pkgs[PKG_SEPARATE_MIDDLEWARE].pkg_handler = do_app_img;
  pkgs[PKG_SEPARATE_APP].pkg_handler = do_app_img;
  pkgs[PKG_SEPARATE_PARAM].pkg_handler = do_param_part;
  pkgs[PKG_SEPARATE_FULL].pkg_handler = do_system_img;
  pkgs[PKG_SEPARATE_SYSTEM].pkg_handler = do_system_img;
}

int32_t run_handlers() {
  ota_packages_separate* pkgs = ota_get_packages();
  set_handlers(pkgs);
  for (int kind = 0; kind < PKG_SEPARATE_NUM; ++kind) {
    if (pkgs[kind].zip_path[0] != '\0' && pkgs[kind].pkg_handler(pkgs[kind].zip_path) != 0) {
      return -1;
    }
  }
  return 0;
}

// The NOR A/B copy for the firmware and the eMMC A/B copies, as the last manifest says.
int32_t sync_untouched_parts() {
  // A run with only a parameter package parses no manifest: both switches read 0.
  const update_info_t* info = ota_get_config_info();
  const int32_t non_pcv = info != nullptr ? info->non_pcv : 0;
  const int32_t ab_sync = info != nullptr ? info->ab_sync : 0;
  if (non_pcv != 0) {
    OTA_LOG_INFO(
        "Using OTA NON PERCEIVING, SKIPPING nor_ab_sync, SKIPPING copy_unupgraded_ab_parts\r\n");
    return 0;
  }
  // Without a manifest no NOR image was carried and no sync table built: the sync would
  // refuse the null manifest and fail a parameter-only run that has written everything.
  if (info != nullptr && ota_nor_ab_sync() != 0) {
    return -1;
  }
  if (ab_sync == 0 && copy_unupgraded_ab_parts() < 0) {
    OTA_LOG_ERR("copy unupgraded ab partitions failed\n");
    return -1;
  }
  return 0;
}

int32_t wrong_boot_mode(int32_t mode) {
  OTA_LOG_ERR("Wrong boot mode [%d]\n", mode);
  return -1;
}

// Every image that declares an anti-rollback version is read by the version check, not
// only vbmeta: a NOR image with a flash header must be on hand as well.
int32_t extract_versioned_images(const update_info_t* info, const char* zip_path,
                                 const char* unzip) {
  (void)prepare_antirollback_ver(info, zip_path);
  for (int32_t i = 0; i < info->update_size && i < OTA_MAX_PARTITIONS; ++i) {
    const partition_info_t& part = info->partition_info[i];
    if (part.have_anti_ver != 0 && kx_uncompress_one(zip_path, unzip, part.part_file) != 0) {
      return -1;
    }
  }
  return 0;
}

// data.json and gpt.conf out of the package, then the parse and every pre-flight check.
int32_t check_system_package(const char* zip_path, const char* unzip) {
  if (kx_uncompress_one(zip_path, unzip, "data.json") != 0 ||
      kx_uncompress_one(zip_path, unzip, "gpt.conf") != 0) {
    return -1;
  }
  char manifest[kManifestPathLen] = {};
  const int len = std::snprintf(manifest, sizeof(manifest), "%s/%s", unzip, "data.json");
  if (len < 0 || static_cast<size_t>(len) >= sizeof(manifest) ||
      ota_parse_config_file(manifest) != 0) {
    OTA_LOG_ERR("error:ota parse config file failed!\n");
    return -1;
  }
  const update_info_t* info = ota_get_config_info();
  OTA_LOG_DEBUG("update diff_flag %d", info->diff_flag);
  if (ota_verify_system_image(unzip) != 0 || verify_gpt_config(unzip) != 0) {
    return -1;
  }
  if (extract_versioned_images(info, zip_path, unzip) != 0) {
    return -1;
  }
  return verify_antirollback_version(unzip) != 0 ? -1 : 0;
}

// The target slot is marked unbootable before the flag says BURN: a run stopped in
// between leaves a NORMAL record and an unbootable spare slot, never a BURN record with
// a half-written slot the firmware could still choose.
int32_t begin_burn() {
  const int32_t slot = ota_get_update_slot();
  OTA_LOG_INFO("curslot from cmdline %d\n", slot);
  if (slot < 0 || ota_set_slot_unbootable(slot) != 0) {
    return -1;
  }
  if (ota_set_up_status(OTA_FLAG_BURN) != 0) {
    OTA_LOG_ERR("set update flag %d failed\n", OTA_FLAG_BURN);
    return -1;
  }
  return 0;
}

int32_t flush_device(const char* path) {
  ota::UniqueFd fd = ota::open_fd(path, O_RDONLY);
  if (!fd) {
    OTA_LOG_ERR("open %s failed: %s\n", path, std::strerror(errno));
    return -1;
  }
  if (!ota::sync_fd(fd.get())) {
    OTA_LOG_ERR("flush %s failed: %s\n", path, std::strerror(errno));
    return -1;
  }
  return 0;
}

}  // namespace

int32_t ota_flush_written_partitions(const update_info_t* info) {
  if (info == nullptr) {
    return -1;
  }
  for (int32_t i = 0; i < info->update_size && i < OTA_MAX_PARTITIONS; ++i) {
    const partition_info_t& part = info->partition_info[i];
    char cur[OTA_DEV_PATH_LEN] = {};
    char opp[OTA_DEV_PATH_LEN] = {};
    if (get_part_device_name(part.part_name, cur, opp, part.type) != 0 || flush_device(opp) != 0) {
      return -1;
    }
  }
  return 0;
}

int32_t ota_update_system_normal(const char* zip_path) {
  const char* unzip = ota_get_unzip_dir();
  if (makedir(unzip) != 0) {
    OTA_LOG_ERR("make ota unzip file dir error!\n");
    return -1;
  }
  char ota_dir[OTA_DIR_LEN] = "/ota";
  (void)get_ota_mount_path(ota_dir);
  if (ota_check_mount_point(ota_get_ota_dir()) != 0) {
    OTA_LOG_ERR("ota set system ab mode failed!\n");
    return -1;
  }
  if (check_system_package(zip_path, unzip) != 0 || begin_burn() != 0) {
    return -1;
  }
  const update_info_t* info = ota_get_config_info();
  if (ota_update_partitions(zip_path, unzip, info->ab_sync != 0) != 0) {
    OTA_LOG_ERR("ota update system software failed!\n");
    return -1;
  }
  if (ota_flush_written_partitions(info) != 0 || ota_set_up_status(OTA_FLAG_VERIFY) != 0) {
    OTA_LOG_ERR("set update flag %d failed\n", OTA_FLAG_VERIFY);
    return -1;
  }
  return 0;
}

int32_t ota_update_param_normal(const char* zip_path) {
  if (ota_check_mount_point(ota_get_ota_dir()) != 0) {
    OTA_LOG_ERR("ota set system ab mode failed!\n");
    return -1;
  }
  const char* unzip = ota_get_unzip_dir();
  uint64_t img_size = 0;
  if (unzip_ota_file(zip_path, unzip, &img_size) != 0 || ota_verify_param_package(unzip) != 0) {
    return -1;
  }
  const int32_t slot = ota_get_update_slot();
  if (slot < 0) {
    OTA_LOG_ERR("Get current slot failed\n");
    return -1;
  }
  if (ota_set_slot_unbootable(slot) != 0) {
    return -1;
  }
  if (ota_set_up_status(OTA_FLAG_BURN) != 0) {
    OTA_LOG_ERR("set update flag %d failed\n", OTA_FLAG_BURN);
    return -1;
  }
  if (ota_set_param_up_status(OTA_FLAG_BURN) != 0) {
    OTA_LOG_ERR("set param update flag %d failed\n", OTA_FLAG_BURN);
    return -1;
  }
  if (ota_update_param_part(unzip) != 0) {
    OTA_LOG_ERR("ota param software failed!\n");
    return -1;
  }
  if (ota_set_param_up_status(OTA_FLAG_VERIFY) != 0) {
    OTA_LOG_ERR("set param update flag %d failed\n", OTA_FLAG_VERIFY);
    return -1;
  }
  if (ota_set_up_status(OTA_FLAG_VERIFY) != 0) {
    OTA_LOG_ERR("set update flag %d failed\n", OTA_FLAG_VERIFY);
    return -1;
  }
  return 0;
}

int32_t do_app_img(const char* zip_path) {
  const int32_t mode = get_boot_mode();
  if (mode == NORMAL_MODE) {
    return ota_update_system_normal(zip_path);
  }
  if (mode == RECOVERY_MODE) {
    OTA_LOG_ERR("app or middleware forced upgrading is not supported\n");
    return -1;
  }
  return wrong_boot_mode(mode);
}

int32_t do_system_img(const char* zip_path) {
  const int32_t mode = get_boot_mode();
  if (mode == NORMAL_MODE) {
    return ota_update_system_normal(zip_path);
  }
  if (mode == RECOVERY_MODE) {
    return ota_update_system_recovery(zip_path);
  }
  return wrong_boot_mode(mode);
}

int32_t do_param_part(const char* zip_path) {
  const int32_t mode = get_boot_mode();
  if (mode == NORMAL_MODE) {
    return ota_update_param_normal(zip_path);
  }
  if (mode == RECOVERY_MODE) {
    OTA_LOG_ERR("app param forced upgrading is not supported\n");
    return -1;
  }
  return wrong_boot_mode(mode);
}

int32_t ota_start_upgrade() {
  int32_t ret = finish_backup_copy();
  if (ret != 0) {
    return ret;
  }
  ret = ota_check_package();
  if (ret < 0) {
    return ret;
  }
  if (clear_ota_unzip_dir() != 0) {
    OTA_LOG_ERR("Clear unzip dir failed\n");
    return -1;
  }
  // Recovery mode is where a board lands when no slot boots any more: the rewrite of the
  // whole system is the way out and must not wait for a slot to be confirmed.
  if (get_boot_mode() != RECOVERY_MODE && ota_check_cur_slot_bootable() != 0) {
    OTA_LOG_ERR("Current slot was marked unbootable, please reset the system\n");
    (void)ota_set_veeprom_flag_default();
    return -1;
  }
  *get_update_part() = update_part_t{};
  if (run_handlers() != 0) {
    return -1;
  }
  // The recovery rewrite placed the whole system itself and left slot A's activation as
  // the firmware's pending command: no slot copy may follow, nor a command replace it.
  if (get_boot_mode() == RECOVERY_MODE) {
    OTA_LOG_INFO("recovery rewrite, SKIPPING nor_ab_sync, SKIPPING copy_unupgraded_ab_parts\n");
  } else if (sync_untouched_parts() != 0) {
    return -1;
  }
  OTA_LOG_INFO("exiting %s\r\n", "ota_start_upgrade");
  return 0;
}
