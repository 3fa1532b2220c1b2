// The parameter partition: the package's script rewrites the target slot's app_param
// file system, mounted for the purpose and always unmounted again.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "boot_control.h"
#include "ota_log.h"
#include "param_partition.h"
#include "partition_md5.h"
#include "partition_sequence.h"
#include "private_dir.h"
#include "shell_exec.h"
#include "shell_quote.h"
#include "unique_fd.h"
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

// The script is run by path: it must be the package's own file, not a link to another.
bool script_is_regular(const std::string& script) {
  const ota::UniqueFd fd = ota::open_fd(script.c_str(), O_RDONLY | O_NOFOLLOW);
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    OTA_LOG_ERR("%s is not a regular file of the package: refused\n", script.c_str());
    return false;
  }
  return true;
}

// The mount point is a fresh directory of ours in /tmp (mkdtemp), so no link or mount
// someone else planted can redirect the mount; it is unmounted without following links
// and removed, whatever the script did.
class ParamMount {
 public:
  explicit ParamMount(const char* target) {
    dir_ = ota::make_private_dir(OTA_PARAM_MOUNT_PARENT, OTA_PARAM_MOUNT_PREFIX);
    if (dir_.empty()) {
      OTA_LOG_ERR("error: make mount point in %s failed: %s\n", OTA_PARAM_MOUNT_PARENT,
                  std::strerror(errno));
      return;
    }
    if (::mount(target, dir_.c_str(), "ext4", 0, nullptr) != 0) {
      OTA_LOG_ERR("error: mount %s on %s failed: %s\n", target, dir_.c_str(), std::strerror(errno));
      return;
    }
    mounted_ = true;
  }
  ParamMount(const ParamMount&) = delete;
  ParamMount& operator=(const ParamMount&) = delete;
  ~ParamMount() { (void)release(); }

  [[nodiscard]] bool mounted() const { return mounted_; }
  [[nodiscard]] const std::string& dir() const { return dir_; }

  // Unmounts and removes the mount point; -1 (logged) when the unmount fails.
  int32_t release() {
    int32_t ret = 0;
    if (mounted_ && ::umount2(dir_.c_str(), UMOUNT_NOFOLLOW) != 0) {
      OTA_LOG_ERR("error: umount %s failed: %s\n", dir_.c_str(), std::strerror(errno));
      ret = -1;
    }
    mounted_ = false;
    if (!dir_.empty() && ret == 0) {
      (void)::rmdir(dir_.c_str());
    }
    dir_.clear();
    return ret;
  }

 private:
  std::string dir_;
  bool mounted_ = false;
};

// Mounts the target, runs the script, unmounts. Once mounted, the file system is
// unmounted whatever the script did: a mount left behind would pin the target slot's
// device for the rest of the update and for the next run.
int32_t run_param_script(const char* unzip_dir, const char* target) {
  const std::string dir = std::string(unzip_dir);
  if (!script_is_regular(dir + "/param_update.sh")) {
    return -1;
  }
  ParamMount mount(target);
  if (!mount.mounted()) {
    return -1;
  }
  const int32_t ret = run_step("sh " + shell_quote(dir + "/param_update.sh") + " " +
                               shell_quote(dir + "/app_param") + " " + shell_quote(mount.dir()) +
                               " > /dev/console 2>&1");
  const int32_t umount_ret = mount.release();
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
