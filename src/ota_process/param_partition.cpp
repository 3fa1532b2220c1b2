// The parameter partition: the package's script rewrites the target slot's app_param
// file system, mounted for the purpose and always unmounted again.
#include <cstdio>
#include <string>

#include "boot_control.h"
#include "ota_log.h"
#include "ota_utils.h"
#include "shell_quote.h"
#include "up_partition.h"
#include "veeprom_flag.h"

namespace {

constexpr size_t kCmdLen = 512;

// Runs one step of the procedure; the message names the command that failed.
int32_t run_step(const std::string& cmd) {
  if (cmd.size() >= kCmdLen) {
    OTA_LOG_ERR("error: command '%s' too long\n", cmd.c_str());
    return -1;
  }
  const int32_t ret = ota_system_exe(cmd.c_str());
  if (ret < 0) {
    OTA_LOG_ERR("error: execute '%s' failed\n", cmd.c_str());
  }
  return ret;
}

// Mounts the target, runs the script, unmounts. Once mounted, the file system is
// unmounted whatever the script did: a mount left behind would pin the target slot's
// device for the rest of the update and for the next run.
int32_t run_param_script(const char* unzip_dir, const char* target) {
  const std::string mount_point = shell_quote(OTA_PARAM_MOUNT_POINT);
  const std::string dir = std::string(unzip_dir);
  int32_t ret = run_step("mkdir -p " + mount_point);
  if (ret < 0) {
    return ret;
  }
  ret = run_step("mount -t ext4 " + shell_quote(target) + " " + mount_point);
  if (ret < 0) {
    return ret;
  }
  ret = run_step("sh " + shell_quote(dir + "/param_update.sh") + " " +
                 shell_quote(dir + "/app_param") + " " + mount_point + " > /dev/console 2>&1");
  const int32_t umount_ret = run_step("umount " + mount_point);
  return ret < 0 ? ret : umount_ret;
}

}  // namespace

int32_t ota_update_param_part(const char* unzip_dir) {
  char current[OTA_DEV_PATH_LEN] = {};
  char target[OTA_DEV_PATH_LEN] = {};
  if (get_part_device_name(OTA_PARAM_PART, current, target, AB) != 0) {
    OTA_LOG_ERR("error: get partition:%s current device path and oppsite device path failed!\n",
                OTA_PARAM_PART);
    return -1;
  }
  update_part_t* parts = get_update_part();
  if (parts == nullptr) {
    OTA_LOG_ERR("get update part error!");
    return -1;
  }
  if (unzip_dir == nullptr) {
    OTA_LOG_ERR("NULL input in %s\n", "ota_update_param_part");
    return -1;
  }
  OTA_LOG_INFO("CUR DEV:%s, opp dev:%s,type:AB\n", current, target);
  const int32_t ret = run_param_script(unzip_dir, target);
  if (ret < 0) {
    return ret;
  }
  // The record below says the partition is written: its bytes must be on the medium
  // first, whatever the unmount left to the device's own cache.
  if (ota_flush_and_drop_cache(target, 0, 0) != 0) {
    return -1;
  }
  if (ota_append_update_part(parts, OTA_PARAM_PART, OTA_EMMC, AB) != 0) {
    return -1;
  }
  const int32_t stored = ota_set_part_array(parts);
  if (stored < 0) {
    OTA_LOG_ERR("set update part array in veeprom failed\n");
    return stored;
  }
  return 0;
}
