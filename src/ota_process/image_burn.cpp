// Full image burns: eMMC images streamed from the package into the device, NOR images
// staged and copied in NOR chunks, HSM partitions saved before they are overwritten, and
// the MD5 proof of the written range.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "backup_sync.h"
#include "boot_control.h"
#include "device_io.h"
#include "image_burn.h"
#include "image_stage.h"
#include "kx_zip.h"
#include "mtd_flash.h"
#include "ota_log.h"
#include "package_paths.h"
#include "partition_md5.h"
#include "path_safety.h"
#include "private_dir.h"
#include "progress.h"
#include "tar_zstd.h"
#include "write_checks.h"
#include "write_targets.h"

namespace {

constexpr size_t kPathLen = 256;

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

// Extracts part_file into unzip_dir, bounded by its partition, and names the file it
// landed in (".zst" dropped).
bool stage_member(const partition_info_t* info, const char* ota_pack_path, const char* unzip_dir,
                  char* image_path, size_t size) {
  if (ota_stage_image(ota_pack_path, unzip_dir, info) != 0) {
    return false;
  }
  char joined[kPathLen];
  return join_path(joined, sizeof(joined), unzip_dir, info->part_file) &&
         remove_zst_suffix(joined, image_path, size) == 0;
}

// Saves the current content of an HSM partition over the new image's length.
int32_t backup_hsm_partition(const partition_info_t* info, const char* backup_dir,
                             const char* unzip_dir, const char* ota_pack_path, const char* target) {
  char image_path[kPathLen];
  if (!stage_member(info, ota_pack_path, unzip_dir, image_path, sizeof(image_path))) {
    OTA_LOG_ERR("uncompress %s to %s failed\n", info->part_file, unzip_dir);
    return -1;
  }
  const long size = get_file_size(image_path);
  if (size < 1) {
    OTA_LOG_WARN("can not found part:%s image file!\n", image_path);
    return -1;
  }
  const int32_t dumped =
      ota_dump_partition(info->part_name, backup_dir, target, 0, static_cast<uint64_t>(size));
  remove_staged(image_path);
  if (dumped != 0) {
    OTA_LOG_ERR("Partition [%s] backup failed\n", info->part_name);
    return -1;
  }
  return 0;
}

// Writes the staged image into the partition's node from its first byte, bounded by the
// node's end: the node is the partition the package targets, so the erase of an MTD
// character device may take whole blocks up to that end, never a neighbour's.
int32_t write_nor_image(const char* image_path, uint64_t image_size, const char* target,
                        uint64_t dev_size) {
  const ota::UniqueFd image = ota::open_fd(image_path, O_RDONLY);
  const ota::UniqueFd dev = image ? ota::open_fd(target, O_RDWR) : ota::UniqueFd();
  if (!image || !dev) {
    OTA_LOG_ERR("open %s failed: %s\n", image ? target : image_path, std::strerror(errno));
    return -1;
  }
  ota_fd_source source(image.get());
  ota_kernel_mtd_device nor(dev.get());
  return ota_nor_write_image(nor, target, source, image_size, 0, dev_size, nor_progress_update)
             ? 0
             : -1;
}

// NOR images go through the work directory: the copier needs a seekable source to apply
// the signed layout. An image the device cannot hold, or one its proof would not cover as
// the copy lays it out, is refused before a byte is written.
int32_t burn_nor_image(const partition_info_t* info, const char* unzip_dir,
                       const char* ota_pack_path, const char* target, char* image_path,
                       size_t size) {
  if (!stage_member(info, ota_pack_path, unzip_dir, image_path, size)) {
    OTA_LOG_ERR("Uncompress %s failed\n", image_path);
    return -1;
  }
  long image_size = get_file_size(image_path);
  if (image_size < 1) {
    OTA_LOG_WARN("can not found part:%s image file!\n", image_path);
    image_size = 0;
  }
  OTA_LOG_INFO("image size: %lu\n", static_cast<unsigned long>(image_size));
  const auto bytes = static_cast<uint64_t>(image_size);
  const uint64_t covers = is_bd_secure() == 1 ? ota_signed_nor_extent(bytes) : bytes;
  const uint64_t dev_size = ota_device_size(target);
  int32_t ret = 0;
  if (!ota_image_fits_device(info, bytes, dev_size, target) ||
      !ota_scope_covers(info->part_name, "the image", info->md5_scope[0], covers)) {
    ret = -1;
  } else {
    ret = write_nor_image(image_path, bytes, target, dev_size);
  }
  remove_staged(image_path);
  return ret;
}

// eMMC images stream from the package into the device, bounded by the device's size and
// by the proof's scope: a member longer than the scope is refused (a zip member before
// its first byte is written), so the proof always covers every byte written.
// The write is proven as it goes: proof takes the digest of what was read back from the
// medium while the member was still being inflated.
int32_t burn_emmc_image(const partition_info_t* info, const char* ota_pack_path,
                        ota_file_info_t* target, ota::ReadBackProof* proof) {
  OTA_LOG_INFO("image size: %lu\n", static_cast<unsigned long>(info->md5_scope[0]));
  const uint64_t dev_size = ota_device_size(target->path);
  if (dev_size == 0) {
    OTA_LOG_ERR("cannot measure %s, the device of partition %s\n", target->path, info->part_name);
    return -1;
  }
  const uint64_t bound = info->md5_scope[0] < dev_size ? info->md5_scope[0] : dev_size;
  const int32_t ret =
      kx_uncompress_file_to(ota_pack_path, info->part_file, target, progress_update, bound, proof);
  if (ret != 0) {
    OTA_LOG_ERR(
        "partition %s: image %s not written whole within %llu bytes (md5_scope %llu, "
        "device %llu)\n",
        info->part_name, info->part_file, static_cast<unsigned long long>(bound),
        static_cast<unsigned long long>(info->md5_scope[0]),
        static_cast<unsigned long long>(dev_size));
  }
  return ret;
}

// The backup directory named by the package, confined to the file system that holds the
// work directory and reached through no link: dumps of security partitions must never
// land, through a link someone planted, on a file of their choosing.
ota::UniqueFd open_backup_dir(const char* backup_dir) {
  char ota_dir[OTA_DIR_LEN] = "/ota";
  (void)get_ota_mount_path(ota_dir);
  const std::string root = ota::mount_root_of(ota_dir);
  ota::UniqueFd dir = ota::open_confined_dir(root, backup_dir, true);
  if (!dir) {
    OTA_LOG_ERR("backup_dir %s refused: %s (it must lie below %s)\n", backup_dir,
                ota::confined_error_text(errno), root.c_str());
  }
  return dir;
}

// A fresh dump file: whatever held the name (an earlier dump, a planted link) is
// removed, never followed, and the file is created exclusively.
ota::UniqueFd create_dump(int dir_fd, const std::string& name) {
  if (::unlinkat(dir_fd, name.c_str(), 0) != 0 && errno != ENOENT) {
    OTA_LOG_ERR("remove old backup %s failed: %s\n", name.c_str(), std::strerror(errno));
    return {};
  }
  ota::UniqueFd fd(ota::retry_eintr([&] {
    return ::openat(dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    0600);
  }));
  if (!fd) {
    OTA_LOG_ERR("create backup %s failed: %s\n", name.c_str(), std::strerror(errno));
  }
  return fd;
}

// Copies len bytes of the device from offset into the dump (fewer when the device ends
// first), byte for byte, and makes them durable.
int32_t copy_device_range(const char* dev_path, uint64_t offset, uint64_t len, ota::UniqueFd* dump,
                          const char* name) {
  const ota::UniqueFd dev = ota::open_fd(dev_path, O_RDONLY);
  if (!dev) {
    OTA_LOG_ERR("open file: %s failed\n", dev_path);
    return -1;
  }
  for (uint64_t done = 0; done < len;) {
    const size_t want =
        len - done < OTA_MMC_CHUNK ? static_cast<size_t>(len - done) : OTA_MMC_CHUNK;
    const ssize_t n =
        ota::pread_full(dev.get(), g_mmc_buf, want, static_cast<off_t>(offset + done));
    if (n < 0 || (n > 0 && !ota::write_full(dump->get(), g_mmc_buf, static_cast<size_t>(n)))) {
      OTA_LOG_ERR("copy %s to backup %s failed: %s\n", dev_path, name, std::strerror(errno));
      return -1;
    }
    if (n == 0) {
      break;
    }
    done += static_cast<uint64_t>(n);
  }
  if (!ota::sync_fd(dump->get()) || dump->close() != 0) {
    OTA_LOG_ERR("sync backup %s failed: %s\n", name, std::strerror(errno));
    return -1;
  }
  return 0;
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
  // Only a device of the board is written: opening anything else could create a file
  // under "/dev" that the proof would then read back. A NOR partition's node may also be
  // its MTD character device, which the NOR writer erases before it writes.
  if (!(info->medium == OTA_NOR && ota_is_mtd_char_device(target.path)) &&
      !ota_is_block_device(target.path)) {
    OTA_LOG_ERR("partition %s: %s is not its device on this board\n", info->part_name, target.path);
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
  // A security partition's main copy holds unproven bytes from its first write until its
  // proof: its backup must not be refreshed from it in between.
  const bool main_copy = info->type == BAK;
  if (main_copy && ota_mark_main_unproven(info->part_name, true) != 0) {
    return -1;
  }
  OTA_LOG_INFO("start update image:%s\n", info->part_file);
  set_imgname(info->part_file);
  target.offset = 0;
  target.medium = info->medium;
  int32_t ret = 0;
  ota::ReadBackProof proof;
  if (info->medium == OTA_EMMC) {
    ret = burn_emmc_image(info, ota_pack_path, &target, &proof);
  } else {
    ret =
        burn_nor_image(info, unzip_dir, ota_pack_path, target.path, image_path, sizeof(image_path));
  }
  if (ret < 0) {
    OTA_LOG_ERR("burn image file:%s to device:%s failed!\n", image_path, target.path);
    return ret;
  }
  // Every written range is proven, security partitions and key images included: nothing
  // on this board transforms an image on its way to the device.
  if (verify_image_checksum_after_read_back(info->md5[0], info->md5_scope[0], target.path, 0,
                                            proof) != 0) {
    OTA_LOG_ERR("partition:%s after burn :%s check md5 fail\n", info->part_name, target.path);
    return -1;
  }
  if (main_copy && ota_mark_main_unproven(info->part_name, false) != 0) {
    return -1;
  }
  OTA_LOG_INFO("ota update system partition:%s successful!\n", info->part_name);
  return 0;
}

int32_t ota_dump_partition(const char* part, const char* backup_dir, const char* dev_path,
                           uint64_t dev_offset, uint64_t img_size) {
  if (part == nullptr || backup_dir == nullptr || dev_path == nullptr || backup_dir[0] == '\0' ||
      !is_plain_part_name(part)) {
    OTA_LOG_ERR("image dump failed\n");
    return -1;
  }
  ota::UniqueFd dir = open_backup_dir(backup_dir);
  const std::string name = std::string(part) + ".img";
  ota::UniqueFd dump = dir ? create_dump(dir.get(), name) : ota::UniqueFd();
  if (!dump) {
    OTA_LOG_ERR("image dump failed\n");
    return -1;
  }
  const int32_t ret = copy_device_range(dev_path, dev_offset, img_size, &dump, name.c_str());
  if (ret != 0) {
    (void)::unlinkat(dir.get(), name.c_str(), 0);
    OTA_LOG_ERR("image dump failed\n");
  }
  return ret;
}
