// One upgrade run: the interrupted backup copy finished first, the packages checked, each
// kind's handler in table order, then the NOR and eMMC A/B copies of the new slot.
//
// Durable writes follow the road: the road record says WRITING with the target slot,
// the target is marked unbootable, the status says BURN; then every image and copy is
// written and proven; the road says WRITTEN; the status says VERIFY, the last write of
// a run. A run stopped anywhere leaves a target no one will switch to or boot.
#include "upgrade.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "ab_copy.h"
#include "antirollback.h"
#include "backup_sync.h"
#include "boot_control.h"
#include "gpt_verify.h"
#include "image_stage.h"
#include "kx_zip.h"
#include "make_dir.h"
#include "manifest.h"
#include "ota_log.h"
#include "package_auth.h"
#include "package_paths.h"
#include "param_partition.h"
#include "partition_sequence.h"
#include "road_record.h"
#include "unique_fd.h"
#include "veeprom_flag.h"
#include "worker_state.h"
#include "write_checks.h"

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
    if (pkgs[kind].zip_path[0] == '\0') {
      continue;
    }
    // The handlers read the package only through the descriptor it was checked through,
    // never by its name, which someone may have pointed at another file since.
    const std::string read_path = ota_package_read_path(kind);
    if (read_path.empty()) {
      OTA_LOG_ERR("package %s was not opened and checked before its handler\n",
                  pkgs[kind].zip_path);
      return -1;
    }
    if (pkgs[kind].pkg_handler(read_path.c_str()) != 0) {
      return -1;
    }
  }
  return 0;
}

// The untouched A/B partitions of the new slot, NOR and eMMC, as the last manifest says:
// copied from the running slot and proven, so the new slot is complete.
int32_t sync_untouched_parts() {
  // A run with only a parameter package parses no manifest: both switches read 0.
  const update_info_t* info = ota_config_parsed() ? ota_get_config_info() : nullptr;
  const int32_t non_pcv = info != nullptr ? info->non_pcv : 0;
  const int32_t ab_sync = info != nullptr ? info->ab_sync : 0;
  if (non_pcv != 0) {
    OTA_LOG_INFO(
        "Using OTA NON PERCEIVING, SKIPPING nor_ab_sync, SKIPPING copy_unupgraded_ab_parts\r\n");
    return 0;
  }
  if (ab_sync != 0) {
    return 0;  // both slots are kept alike by the partition sync after every update
  }
  if (ota_nor_ab_sync() != 0) {
    return -1;
  }
  if (copy_unupgraded_ab_parts() < 0) {
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
    if (part.have_anti_ver != 0 && ota_stage_image(zip_path, unzip, &part) != 0) {
      return -1;
    }
  }
  return 0;
}

// Entries the sequence writes: the partition tables of a normal-mode package are not.
int32_t count_partitions_to_write(const update_info_t& info) {
  int32_t count = 0;
  for (int32_t i = 0; i < info.update_size && i < OTA_MAX_PARTITIONS; ++i) {
    const char* name = info.update_partition[i];
    if (std::strncmp(name, "gpt_main", 8) != 0 && std::strncmp(name, "gpt_backup", 10) != 0) {
      ++count;
    }
  }
  return count;
}

// data.json and gpt.conf out of the package, then the parse and every pre-flight check.
int32_t check_system_package(const char* zip_path, const char* unzip) {
  if (kx_uncompress_one(zip_path, unzip, "data.json", OTA_TEXT_MEMBER_MAX) != 0 ||
      kx_uncompress_one(zip_path, unzip, "gpt.conf", OTA_TEXT_MEMBER_MAX) != 0) {
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
  if (count_partitions_to_write(*info) == 0) {
    OTA_LOG_ERR("package %s has no partition to write\n", ota_package_name(zip_path));
    return -1;
  }
  if (ota_verify_system_image(unzip) != 0 || verify_gpt_config(unzip) != 0 ||
      ota_check_write_targets(*info) != 0 || ota_check_proofs(*info, false) != 0) {
    return -1;
  }
  if (extract_versioned_images(info, zip_path, unzip) != 0) {
    return -1;
  }
  return verify_antirollback_version(unzip) != 0 ? -1 : 0;
}

// W1 and W2, once per run (-2 when the slot to write is unknown): the road names the target before
// anything is written to it, then the target is marked unbootable (successful_boot 0, tries 0), so
// that a stop at any later point leaves a slot the firmware will not choose and no one will switch
// to.
int32_t open_road() {
  const int32_t slot = ota_get_update_slot();
  OTA_LOG_INFO("curslot from cmdline %d\n", slot);
  if (slot < 0) {
    return -2;
  }
  if (g_run.road_open && slot == g_run.target) {
    return 0;
  }
  ota_road_record_t road{};
  if (ota_road_read(&road) != 0) {
    return -1;
  }
  road.phase = OTA_ROAD_WRITING;
  road.from_slot = static_cast<uint32_t>(slot ^ 1);
  road.target_slot = static_cast<uint32_t>(slot);
  road.sync_slot = OTA_ROAD_NO_SLOT;
  if (ota_road_write(&road) != 0 || ota_set_slot_unbootable(slot) != 0) {
    return -1;
  }
  g_run.road_open = true;
  g_run.target = slot;
  return 0;
}

// W1 to W3 for an image package. The checked anti-rollback versions go on record right
// after W1: before it, a stop would leave them for the sync of an update still on the road.
int32_t begin_burn() {
  if (open_road() != 0 || record_antirollback_version() != 0) {
    return -1;
  }
  g_run.versions_recorded = true;
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

// A run without a system package carries no versions: the record is made to say so,
// or a sync would commit the versions of an earlier run's package (or fail on a record
// that was never written).
int32_t record_no_versions() {
  if (g_run.versions_recorded) {
    return 0;
  }
  antirollback_ver_t none{};
  if (ota_set_anti_ver_veeprom(&none) != 0) {
    OTA_LOG_ERR("set antirollback version in veeprom failed\n");
    return -1;
  }
  return 0;
}

// W4 to W6 after every handler: untouched partitions copied, what was written flushed,
// the road WRITTEN, then the flags VERIFY, the overall flag last of all.
int32_t finish_road() {
  if (sync_untouched_parts() != 0 || record_no_versions() != 0) {
    return -1;
  }
  if (ota_flush_written_partitions(get_update_part()) != 0) {
    OTA_LOG_ERR("flush of the written partitions failed\n");
    return -1;
  }
  ota_road_record_t road{};
  if (ota_road_read(&road) != 0) {
    return -1;
  }
  road.phase = OTA_ROAD_WRITTEN;
  if (ota_road_write(&road) != 0) {
    return -1;
  }
  if (g_run.param_written && ota_set_param_up_status(OTA_FLAG_VERIFY) != 0) {
    OTA_LOG_ERR("set param update flag %d failed\n", OTA_FLAG_VERIFY);
    return -1;
  }
  if (ota_set_up_status(OTA_FLAG_VERIFY) != 0) {
    OTA_LOG_ERR("set update flag %d failed\n", OTA_FLAG_VERIFY);
    return -1;
  }
  return 0;
}

}  // namespace

int32_t ota_flush_written_partitions(const update_part_t* parts) {
  if (parts == nullptr) {
    return -1;
  }
  const uint32_t num = parts->num < OTA_UPDATE_PART_MAX ? parts->num : OTA_UPDATE_PART_MAX;
  for (uint32_t i = 0; i < num; ++i) {
    char cur[OTA_DEV_PATH_LEN] = {};
    char opp[OTA_DEV_PATH_LEN] = {};
    if (get_part_device_name(parts->array[i], cur, opp, parts->type[i]) != 0 ||
        flush_device(opp) != 0) {
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
  return 0;  // VERIFY waits for the end of the run (finish_road)
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
  const int32_t opened = open_road();
  if (opened != 0) {
    if (opened == -2) {
      OTA_LOG_ERR("Get current slot failed\n");
    }
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
  g_run.param_written = true;
  if (ota_update_param_part(unzip) != 0) {
    OTA_LOG_ERR("ota param software failed!\n");
    return -1;
  }
  return 0;  // the VERIFY flags wait for the end of the run (finish_road)
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
  // Before anything touches the board: a package refused here leaves it as it was.
  int32_t ret = ota_check_run_packages();
  if (ret != 0) {
    return ret;
  }
  ret = finish_backup_copy();
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
  g_run = RunState{};
  if (run_handlers() != 0) {
    return -1;
  }
  // The recovery rewrite placed the whole system itself and switched to slot A: no slot
  // copy may follow.
  if (get_boot_mode() == RECOVERY_MODE) {
    OTA_LOG_INFO("recovery rewrite, SKIPPING nor_ab_sync, SKIPPING copy_unupgraded_ab_parts\n");
  } else if (finish_road() != 0) {
    return -1;
  }
  OTA_LOG_INFO("exiting %s\r\n", "ota_start_upgrade");
  return 0;
}
