// Full image burns: eMMC images streamed from the package into the device, NOR images
// staged and copied in NOR chunks, HSM partitions saved before they are overwritten, and
// the MD5 proof of the written range.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "boot_control.h"
#include "device_io.h"
#include "kx_zip.h"
#include "ota_log.h"
#include "ota_utils.h"
#include "path_safety.h"
#include "shell_quote.h"
#include "tar_zstd.h"
#include "up_partition.h"

namespace {

constexpr size_t kPathLen = 256;
constexpr size_t kCmdLen = 512;

bool is_named(const char* name, const char* what) { return std::strcmp(name, what) == 0; }

// Manifest partition names end up in device paths, backup and hook file names: they
// must stay one path component.
bool is_plain_part_name(const char* name) {
  return is_contained_name(name) && std::strchr(name, '/') == nullptr;
}

// "<dir>/<name>" into out, refused when it does not fit.
bool join_path(char* out, size_t size, const char* dir, const char* name) {
  const int len = std::snprintf(out, size, "%s/%s", dir, name);
  if (len < 0 || static_cast<size_t>(len) >= size) {
    OTA_LOG_ERR("path %s/%s too long\n", dir, name);
    return false;
  }
  return true;
}

void remove_staged(const char* path) {
  if (::unlink(path) != 0) {
    OTA_LOG_ERR("Remove %s failed\n", path);
  }
}

// Extracts part_file into unzip_dir and names the file it landed in (".zst" dropped).
bool stage_member(const char* ota_pack_path, const char* unzip_dir, const char* part_file,
                  char* image_path, size_t size) {
  if (kx_uncompress_one(ota_pack_path, unzip_dir, part_file) != 0) {
    return false;
  }
  char joined[kPathLen];
  return join_path(joined, sizeof(joined), unzip_dir, part_file) &&
         remove_zst_suffix(joined, image_path, size) == 0;
}

// Saves the current content of an HSM partition over the new image's length.
int32_t backup_hsm_partition(const partition_info_t* info, const char* backup_dir,
                             const char* unzip_dir, const char* ota_pack_path, const char* target) {
  char image_path[kPathLen];
  if (!stage_member(ota_pack_path, unzip_dir, info->part_file, image_path, sizeof(image_path))) {
    OTA_LOG_ERR("uncompress %s to %s failed\n", info->part_file, unzip_dir);
    return -1;
  }
  const long size = get_file_size(image_path);
  if (size < 1) {
    OTA_LOG_WARN("can not found part:%s image file!\n", image_path);
    return -1;
  }
  if (ota_dump_partition(info->part_name, backup_dir, target, 0, static_cast<uint64_t>(size)) !=
      0) {
    OTA_LOG_ERR("Partition [%s] backup failed\n", info->part_name);
    return -1;
  }
  remove_staged(image_path);
  return 0;
}

// NOR images go through the work directory: the copier needs a seekable source to apply
// the signed layout.
int32_t burn_nor_image(const partition_info_t* info, const char* unzip_dir,
                       const char* ota_pack_path, ota_file_info_t* target, char* image_path,
                       size_t size) {
  if (!stage_member(ota_pack_path, unzip_dir, info->part_file, image_path, size)) {
    OTA_LOG_ERR("Uncompress %s failed\n", image_path);
    return -1;
  }
  long image_size = get_file_size(image_path);
  if (image_size < 1) {
    OTA_LOG_WARN("can not found part:%s image file!\n", image_path);
    image_size = 0;
  }
  OTA_LOG_INFO("image size: %lu\n", static_cast<unsigned long>(image_size));
  ota_file_info_t source{};
  source.size = static_cast<uint64_t>(image_size);
  source.medium = info->medium;
  if (std::snprintf(source.path, sizeof(source.path), "%s", image_path) >=
      static_cast<int>(sizeof(source.path))) {
    OTA_LOG_ERR("image path %s too long\n", image_path);
    remove_staged(image_path);
    return -1;
  }
  int32_t ret = 0;
  if (image_size > 0) {
    ret = ota_file_to_file(&source, target, nor_progress_update);
  }
  remove_staged(image_path);
  return ret;
}

bool needs_md5_proof(const partition_info_t* info) {
  return info->type != BAK && !is_named(info->part_name, "keyimage") &&
         !is_named(info->part_name, "keyimage_ohp");
}

}  // namespace

int32_t ota_update_image(partition_info_t* partition_info, const char* backup_dir,
                         const char* unzip_dir, const char* ota_pack_path) {
  if (partition_info == nullptr || backup_dir == nullptr || unzip_dir == nullptr ||
      ota_pack_path == nullptr) {
    OTA_LOG_ERR("NULL input in %s\n", "ota_update_image");
    return -1;
  }
  partition_info_t* info = partition_info;
  if (!is_plain_part_name(info->part_name) || !is_contained_name(info->part_file)) {
    OTA_LOG_ERR("partition %s image %s: names must stay inside their directories\n",
                info->part_name, info->part_file);
    return -1;
  }
  char current[OTA_DEV_PATH_LEN] = {};
  ota_file_info_t target{};
  if (get_part_device_name(info->part_name, current, target.path, info->type) != 0) {
    OTA_LOG_ERR("error: get partition:%s current device path and oppsite device path failed!\n",
                info->part_name);
    return -1;
  }
  char image_path[kPathLen];
  if (!join_path(image_path, sizeof(image_path), unzip_dir, info->part_file)) {
    return -1;
  }
  if (is_named(info->part_name, "HSM_FW") || is_named(info->part_name, "HSM_RCA")) {
    if (backup_hsm_partition(info, backup_dir, unzip_dir, ota_pack_path, target.path) != 0) {
      return -1;
    }
  }
  OTA_LOG_INFO("start update image:%s\n", info->part_file);
  set_imgname(info->part_file);
  target.offset = 0;
  target.medium = info->medium;
  int32_t ret = 0;
  if (info->medium == OTA_EMMC) {
    OTA_LOG_INFO("image size: %lu\n", static_cast<unsigned long>(info->md5_scope[0]));
    ret = kx_uncompress_file_to(ota_pack_path, info->part_file, &target, progress_update);
  } else {
    ret = burn_nor_image(info, unzip_dir, ota_pack_path, &target, image_path, sizeof(image_path));
  }
  if (ret < 0) {
    OTA_LOG_ERR("burn image file:%s to device:%s failed!\n", image_path, target.path);
    return ret;
  }
  if (needs_md5_proof(info) &&
      verify_image_checksum_with_part(info->md5[0], info->md5_scope[0], target.path, 0) != 0) {
    OTA_LOG_ERR("partition:%s after burn :%s check md5 fail\n", info->part_name, target.path);
    return -1;
  }
  OTA_LOG_INFO("ota update system partition:%s successful!\n", info->part_name);
  return 0;
}

int32_t ota_dump_partition(const char* part, const char* backup_dir, const char* dev_path,
                           uint64_t dev_offset, uint64_t img_size) {
  if (part == nullptr || backup_dir == nullptr || dev_path == nullptr || backup_dir[0] == '\0' ||
      !is_plain_part_name(part) || !has_no_parent_component(backup_dir)) {
    OTA_LOG_ERR("image dump failed\n");
    return -1;
  }
  ota_file_info_t dest{};
  const int len = std::snprintf(dest.path, sizeof(dest.path), "%s/%s.img", backup_dir, part);
  if (len < 0 || static_cast<size_t>(len) >= sizeof(dest.path)) {
    OTA_LOG_ERR("backup path %s/%s.img too long\n", backup_dir, part);
    OTA_LOG_ERR("image dump failed\n");
    return -1;
  }
  // The copy opens its destination without creating it. The directory comes from the
  // package, so it reaches the shell as one quoted word.
  const std::string cmd =
      "mkdir -p " + shell_quote(backup_dir) + " && touch " + shell_quote(dest.path);
  if (cmd.size() < kCmdLen) {
    (void)ota_system_exe(cmd.c_str());
  }
  // A backup left by an earlier, longer image would otherwise keep its tail behind the
  // new dump, and a restore would write those stale bytes back.
  if (::truncate(dest.path, 0) != 0) {
    OTA_LOG_ERR("truncate %s failed: %s\n", dest.path, std::strerror(errno));
    OTA_LOG_ERR("image dump failed\n");
    return -1;
  }
  dest.offset = 0;
  // eMMC chunks: the dump is a byte-for-byte file, never a signed NOR layout.
  dest.medium = OTA_EMMC;
  ota_file_info_t source{};
  source.offset = dev_offset;
  source.size = img_size;
  source.medium = OTA_EMMC;
  if (std::snprintf(source.path, sizeof(source.path), "%s", dev_path) >=
      static_cast<int>(sizeof(source.path))) {
    OTA_LOG_ERR("device path %s too long\n", dev_path);
    return -1;
  }
  const int32_t ret = ota_file_to_file(&source, &dest, nullptr);
  if (ret != 0) {
    OTA_LOG_ERR("image dump failed\n");
  }
  return ret;
}
