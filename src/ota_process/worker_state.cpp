// The worker's process-wide state and its initial values, kept together so one reset
// can restore all of it.
#include "worker_state.h"

#include <cstdio>

#include "device_io.h"
#include "file_lock.h"
#include "manifest.h"
#include "ota_log.h"
#include "package_fds.h"

namespace {

constexpr const char* kDefaultOtaDir = "/ota";
constexpr const char* kDefaultUnzipDir = "/ota/unzip_dir";

constexpr ota_packages_separate kEmptyTable[PKG_SEPARATE_NUM] = {
    {{"middleware", ""}, 0, "", nullptr}, {{"app", "APP"}, 0, "", nullptr},
    {{"param", ""}, 0, "", nullptr},      {{"all_in_one_full", ""}, 0, "", nullptr},
    {{"all_in_one", ""}, 0, "", nullptr},
};

// The client shows "None" until the first image name arrives.
ota_upgrade_info initial_record() {
  ota_upgrade_info info{};
  std::snprintf(info.part_name, sizeof(info.part_name), "%s", "None");
  return info;
}

}  // namespace

ota_upgrade_info g_upgrade_info = initial_record();
int g_pipe_fd = -1;
uint64_t g_len_written = 0;
uint32_t g_cached_progress = 0;
char g_ota_dir[OTA_DIR_LEN] = "/ota";
char g_ota_unzip_dir[OTA_UNZIP_DIR_LEN] = "/ota/unzip_dir";
ota_packages_separate g_ota_pkgs[PKG_SEPARATE_NUM] = {
    kEmptyTable[0], kEmptyTable[1], kEmptyTable[2], kEmptyTable[3], kEmptyTable[4]};
ota::UniqueFd g_package_fds[PKG_SEPARATE_NUM];
uint32_t g_ota_update_full_pkg = 0;
absync_misc_data g_ota_nor_sync_data{};
std::string g_pending_pair;
CheckedVersions g_checked_versions;
RunState g_run;
ota_status_t g_ota_status{};
update_part_t g_update_part{};

void ota_worker_reset_state() {
  g_upgrade_info = initial_record();
  g_pipe_fd = -1;  // the test owns the descriptor; it is forgotten, not closed
  g_len_written = 0;
  g_cached_progress = 0;
  std::snprintf(g_ota_dir, sizeof(g_ota_dir), "%s", kDefaultOtaDir);
  std::snprintf(g_ota_unzip_dir, sizeof(g_ota_unzip_dir), "%s", kDefaultUnzipDir);
  for (int k = 0; k < PKG_SEPARATE_NUM; ++k) {
    g_ota_pkgs[k] = kEmptyTable[k];
    g_package_fds[k].reset();
  }
  g_ota_update_full_pkg = 0;
  g_ota_nor_sync_data = absync_misc_data{};
  g_pending_pair.clear();
  g_checked_versions = CheckedVersions{};
  g_run = RunState{};
  g_ota_status = ota_status_t{};
  g_update_part = update_part_t{};
  manifest_reset_state();
  device_io_reset_state();
  veeprom_flag_reset_state();
  ota_lock_reset_state();
  ota_log_reset_state();
}
