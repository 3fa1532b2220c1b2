// The partition sequence of a system package: each manifest partition in order, framed
// by the package's optional hook scripts, and the list of what was written.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "image_burn.h"
#include "image_diff.h"
#include "kx_zip.h"
#include "ota_log.h"
#include "partition_sequence.h"
#include "path_safety.h"
#include "shell_exec.h"
#include "shell_quote.h"
#include "unique_fd.h"
#include "veeprom_flag.h"
#include "worker_state.h"

namespace {

constexpr size_t kHookNameLen = 44;
constexpr size_t kHookPathLen = 512;

bool starts_with(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// "<prefix><name>.sh" for a partition name that stays one path component.
bool hook_name(char* out, const char* prefix, const char* part_name) {
  if (!is_contained_name(part_name) || std::strchr(part_name, '/') != nullptr) {
    OTA_LOG_ERR("partition name %s is not a plain name\n", part_name);
    return false;
  }
  const int len = std::snprintf(out, kHookNameLen, "%s%s.sh", prefix, part_name);
  return len > 0 && static_cast<size_t>(len) < kHookNameLen;
}

// The extracted hook, never a link: its mode change must not reach another file.
bool make_executable(const char* path) {
  const ota::UniqueFd fd = ota::open_fd(path, O_RDONLY | O_NOFOLLOW);
  struct stat st {};
  return fd && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && ::fchmod(fd.get(), 0755) == 0;
}

int32_t run_named_hook(const char* ota_pack_path, const char* unzip_dir, const char* prefix,
                       const char* part_name) {
  char hook[kHookNameLen];
  if (!hook_name(hook, prefix, part_name)) {
    return -1;
  }
  return ota_run_hook(ota_pack_path, unzip_dir, hook);
}

int32_t write_partition(partition_info_t* entry, const update_info_t* info, const char* unzip_dir,
                        const char* ota_pack_path) {
  switch (entry->method) {
    case IMAGE_UP:
      return ota_update_image(entry, info->backup_dir, unzip_dir, ota_pack_path);
    case IMAGE_DIFF_UP:
      return ota_update_image_inc(entry, unzip_dir, ota_pack_path);
    default:
      OTA_LOG_ERR("only support image and image diff upgrade method\n");
      return -1;
  }
}

}  // namespace

update_part_t* get_update_part() { return &g_update_part; }

int32_t ota_append_update_part(update_part_t* parts, const char* name, ota_medium_e medium,
                               ota_part_type_e type) {
  if (parts == nullptr || name == nullptr) {
    return -1;
  }
  if (parts->num >= OTA_UPDATE_PART_MAX) {
    OTA_LOG_ERR("update part list full (%u), cannot record %s\n", parts->num, name);
    return -1;
  }
  const uint32_t at = parts->num;
  parts->medium[at] = medium;
  parts->type[at] = type;
  std::snprintf(parts->array[at], OTA_UPDATE_PART_NAME_LEN, "%s", name);
  parts->num = at + 1;
  return 0;
}

int32_t ota_run_hook(const char* ota_pack_path, const char* unzip_dir, const char* hook_file) {
  if (ota_pack_path == nullptr || unzip_dir == nullptr || hook_file == nullptr) {
    return -1;
  }
  if (kx_compress_has_file(ota_pack_path, hook_file) != 1) {
    OTA_LOG_INFO("hook script not found (%s), skip execution\n", hook_file);
    return 0;
  }
  if (kx_uncompress_one(ota_pack_path, unzip_dir, hook_file, OTA_TEXT_MEMBER_MAX) != 0) {
    OTA_LOG_ERR("Uncompress (%s) failed!\n", hook_file);
    return -1;
  }
  char path[kHookPathLen];
  const int len = std::snprintf(path, sizeof(path), "%s/%s", unzip_dir, hook_file);
  if (len < 0 || static_cast<size_t>(len) >= sizeof(path)) {
    OTA_LOG_ERR("hook path too long (%s/%s)\n", unzip_dir, hook_file);
    return -1;
  }
  if (!make_executable(path)) {
    OTA_LOG_ERR("chmod +x failed for %s\n", path);
    return -1;
  }
  // The work directory comes from the board's configuration: one shell word whatever
  // it holds.
  if (ota_system_exe(shell_quote(path).c_str()) != 0) {
    OTA_LOG_ERR("Execute hook failed (%s)\n", path);
    return -1;
  }
  return 0;
}

int32_t ota_update_partitions(const char* ota_pack_path, const char* unzip_dir, bool ab_sync) {
  update_info_t* info = ota_get_config_info();
  if (info == nullptr) {
    OTA_LOG_ERR("get config info error!");
    return -1;
  }
  update_part_t* parts = get_update_part();
  if (parts == nullptr) {
    OTA_LOG_ERR("get update part error!");
    return -1;
  }
  if (ota_pack_path == nullptr || unzip_dir == nullptr || info->update_size < 0 ||
      info->update_size > OTA_MAX_PARTITIONS) {
    OTA_LOG_ERR("bad arguments or partition count %d\n", info->update_size);
    return -1;
  }
  OTA_LOG_INFO("PART NUM:%d\n", info->update_size);
  for (int i = 0; i < info->update_size; ++i) {
    const char* name = info->update_partition[i];
    partition_info_t* entry = &info->partition_info[i];
    if (starts_with(name, "gpt_main") || starts_with(name, "gpt_backup")) {
      continue;
    }
    if (run_named_hook(ota_pack_path, unzip_dir, "preinst_", name) != 0) {
      return -1;
    }
    const int32_t ret = write_partition(entry, info, unzip_dir, ota_pack_path);
    if (ret < 0) {
      return ret;
    }
    if (run_named_hook(ota_pack_path, unzip_dir, "postinst_", name) != 0) {
      return -1;
    }
    if (ota_append_update_part(parts, name, entry->medium, entry->type) != 0) {
      return -1;
    }
  }
  if (ab_sync) {
    const int32_t ret = ota_set_part_array(parts);
    if (ret != 0) {
      OTA_LOG_ERR("set update part array in veeprom failed\n");
      return ret;
    }
  }
  OTA_LOG_INFO("ota update system partition successful!\n");
  return 0;
}
