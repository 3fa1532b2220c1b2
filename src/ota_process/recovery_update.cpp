// The recovery-mode rewrite: every image of the package at its raw place on the whole
// eMMC disk or the whole NOR flash, the partition tables when the package carries them,
// and the status record written straight into the veeprom area, so that the board comes
// up on slot A and is confirmed as after a normal update.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "antirollback.h"
#include "backup_sync.h"
#include "boot_control.h"
#include "crc.h"
#include "device_io.h"
#include "gpt.h"
#include "gpt_conf.h"
#include "image_burn.h"
#include "manifest.h"
#include "mtd_flash.h"
#include "ota_log.h"
#include "package_paths.h"
#include "partition_md5.h"
#include "private_dir.h"
#include "road_record.h"
#include "unique_fd.h"
#include "upgrade.h"
#include "veeprom_flag.h"
#include "worker_state.h"
#include "write_checks.h"

namespace {

constexpr uint64_t kSector = 512;
constexpr size_t kImagePathLen = 128;
constexpr size_t kPlaceNameLen = 35;  // 34 characters and the terminator

bool starts_with(const char* text, std::string_view prefix) {
  return std::string_view(text).substr(0, prefix.size()) == prefix;
}

bool is_gpt_entry(const char* name) {
  return starts_with(name, "gpt_main") || starts_with(name, "gpt_backup");
}

bool is_security_part(const char* name) {
  return std::strstr(name, "HSM_FW") != nullptr || std::strstr(name, "HSM_RCA") != nullptr;
}

// False (logged) when path names something other than a regular file: a link member of
// the package must not make the rewrite copy the file it points to.
bool not_a_link(const char* path) {
  struct stat st {};
  if (::lstat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
    OTA_LOG_ERR("%s is not a regular file of the package: refused\n", path);
    return false;
  }
  return true;
}

// "/tmp/ota/<file>" into out; false (logged) when it does not fit or is not a file.
bool image_path(char* out, size_t size, const char* file) {
  const int len = std::snprintf(out, size, "%s/%s", OTA_RECOVERY_DIR, file);
  if (len < 0 || static_cast<size_t>(len) >= size) {
    OTA_LOG_ERR("image path %s/%s too long\n", OTA_RECOVERY_DIR, file);
    return false;
  }
  return not_a_link(out);
}

// /tmp is open to every user: the package is unpacked into a directory of ours made
// afresh, never into a link or a directory someone else planted there.
int32_t prepare_recovery_dir() {
  struct stat st {};
  if (::lstat(OTA_RECOVERY_DIR, &st) == 0) {
    if (S_ISDIR(st.st_mode) && st.st_uid != ::geteuid()) {
      OTA_LOG_ERR("%s belongs to uid %u: refused\n", OTA_RECOVERY_DIR,
                  static_cast<unsigned>(st.st_uid));
      return -1;
    }
    if (ota::remove_tree(OTA_RECOVERY_DIR) != 0) {
      OTA_LOG_ERR("clear %s failed: %s\n", OTA_RECOVERY_DIR, std::strerror(errno));
      return -1;
    }
  }
  if (::mkdir(OTA_RECOVERY_DIR, 0700) != 0) {
    OTA_LOG_ERR("make %s failed: %s\n", OTA_RECOVERY_DIR, std::strerror(errno));
    return -1;
  }
  return 0;
}

// The manifest and the layout are read by path: files of the package, not links.
bool package_texts_regular() {
  char path[kImagePathLen] = {};
  return image_path(path, sizeof(path), "data.json") && image_path(path, sizeof(path), "gpt.conf");
}

// A line's fields: a final CR dropped, split at ':', empty fields dropped, the first four
// kept. Numbers lose their unit letter when read, names keep theirs.
std::vector<std::string> conf_fields(std::string_view line) {
  if (!line.empty() && line.back() == '\r') {
    line.remove_suffix(1);
  }
  std::vector<std::string> fields;
  size_t pos = 0;
  while (pos <= line.size() && fields.size() < GPT_CONF_FIELDS) {
    const size_t colon = std::min(line.find(':', pos), line.size());
    std::string field(line.substr(pos, colon - pos));
    if (!field.empty()) {
      fields.push_back(field);
    }
    pos = colon + 1;
  }
  return fields;
}

// A sector number turned into bytes; false when it is not a number or overflows.
bool sectors_to_bytes(const std::string& text, uint64_t* bytes) {
  int64_t sectors = 0;
  if (!gpt_conf_number(text.c_str(), &sectors) ||
      static_cast<uint64_t>(sectors) > std::numeric_limits<uint64_t>::max() / kSector) {
    return false;
  }
  *bytes = static_cast<uint64_t>(sectors) * kSector;
  return true;
}

// An image written at `offset` of the NOR device, erased first within `limit` when the
// device is the MTD character device (a block device node is written as it is).
bool write_nor_raw(const char* image, uint64_t size, uint64_t offset, uint64_t limit) {
  const ota::UniqueFd src = ota::open_fd(image, O_RDONLY);
  const ota::UniqueFd dev = src ? ota::open_fd(OTA_NOR_DEV, O_RDWR) : ota::UniqueFd();
  if (!src || !dev) {
    OTA_LOG_ERR("open %s failed: %s\n", src ? OTA_NOR_DEV : image, std::strerror(errno));
    return false;
  }
  ota_fd_source source(src.get());
  ota_kernel_mtd_device nor(dev.get());
  return ota_nor_write_image(nor, OTA_NOR_DEV, source, size, offset, limit, nullptr);
}

// The range [offset, offset + len) must lie inside the device: a gpt.conf in the wrong
// unit or an image larger than its partition would otherwise overwrite its neighbours.
bool fits_device(const char* dev, uint64_t offset, uint64_t len) {
  // The NOR device's MTD character node reports its size through the MTD driver.
  const uint64_t size = ota_device_size(dev);
  if (size == 0 || offset > size || len > size - offset) {
    OTA_LOG_ERR("range %llu+%llu outside %s (%llu bytes)\n",
                static_cast<unsigned long long>(offset), static_cast<unsigned long long>(len), dev,
                static_cast<unsigned long long>(size));
    return false;
  }
  return true;
}

const char* target_of(ota_medium_e medium) {
  if (medium == OTA_NOR) {
    return OTA_NOR_DEV;
  }
  return medium == OTA_EMMC ? OTA_BLK_DEV : nullptr;
}

int32_t copy_to_disk(const char* src, uint64_t size, uint64_t dev_offset) {
  ota_file_info_t ori{};
  ota_file_info_t dest{};
  std::snprintf(ori.path, sizeof(ori.path), "%s", src);
  ori.size = size;
  ori.medium = OTA_EMMC;
  std::snprintf(dest.path, sizeof(dest.path), "%s", OTA_BLK_DEV);
  dest.offset = dev_offset;
  dest.medium = OTA_EMMC;
  if (!fits_device(OTA_BLK_DEV, dev_offset, size)) {
    return -1;
  }
  return ota_file_to_file(&ori, &dest, nullptr);
}

// The primary header at LBA 1 of the disk, checked by its own CRC.
bool read_primary_header(gpt_header* header) {
  std::array<uint8_t, GPT_HEADER_SIZE> raw{};
  ota_file_info_t disk{};
  std::snprintf(disk.path, sizeof(disk.path), "%s", OTA_BLK_DEV);
  disk.offset = kSector;
  disk.medium = OTA_EMMC;
  if (ota_file_to_buf(&disk, raw.data(), raw.size()) != 0 || !decode(raw, header)) {
    OTA_LOG_ERR("Cannot get gpt main header from %s\n", OTA_BLK_DEV);
    return false;
  }
  std::array<uint8_t, GPT_HEADER_SIZE> zeroed = raw;
  std::memset(zeroed.data() + offsetof(gpt_header, header_crc32), 0, sizeof(uint32_t));
  if (header->signature != GPT_SIGNATURE || header->header_size != GPT_HEADER_SIZE ||
      header->my_lba != 1 || CRC32(zeroed.data(), zeroed.size()) != header->header_crc32) {
    OTA_LOG_ERR("Verify gpt header crc failed\n");
    return false;
  }
  return true;
}

// The image written at dev_offset of its medium's raw device and proven there; a NOR
// write is erased first within limit, the end of the partition the image belongs to.
int32_t burn_and_verify(const partition_info_t* partition_info, uint64_t dev_offset,
                        uint64_t limit) {
  OTA_LOG_INFO("start update image:%s\n", partition_info->part_file);
  char image[kImagePathLen] = {};
  if (!image_path(image, sizeof(image), partition_info->part_file) ||
      (ota_check_file(image, "img") != 0 && ota_check_file(image, "bin") != 0)) {
    OTA_LOG_ERR("error: image file:%s not exit!\n", image);
    return -1;
  }
  const char* target = target_of(partition_info->medium);
  if (target == nullptr) {
    OTA_LOG_ERR("medium [%d] is not supported\n", static_cast<int>(partition_info->medium));
    return -1;
  }
  int32_t ret = fits_device(target, dev_offset, partition_info->img_size) ? 0 : -1;
  if (ret == 0 && partition_info->medium == OTA_NOR) {
    ret = write_nor_raw(image, partition_info->img_size, dev_offset, limit) ? 0 : -1;
  } else if (ret == 0) {
    ret = copy_to_disk(image, partition_info->img_size, dev_offset);
  }
  if (ret != 0) {
    OTA_LOG_ERR("burn image file:%s to device:%s failed!\n", image, target);
    return ret;
  }
  if (verify_image_checksum_with_part(partition_info->md5[0], partition_info->img_size, target,
                                      dev_offset) != 0) {
    OTA_LOG_ERR("partition:%s after burn nor:%ld check md5 fail\n", partition_info->part_name,
                static_cast<long>(dev_offset));
    return -1;
  }
  return 0;
}

}  // namespace

int32_t get_offset_from_file(const char* part_name, uint64_t* offset, uint64_t* end) {
  if (part_name == nullptr || offset == nullptr || end == nullptr) {
    OTA_LOG_ERR("input is null\n");
    return -1;
  }
  char path[kImagePathLen] = {};
  std::snprintf(path, sizeof(path), "%s/gpt.conf", OTA_RECOVERY_DIR);
  ota::UniqueFile file(std::fopen(path, "re"));
  if (!file) {
    OTA_LOG_ERR("%s not found!\n", path);
    return -1;
  }
  bool found = false;
  std::string line;
  for (int c = 0; (c = std::fgetc(file.get())) != EOF || !line.empty();) {
    if (c != '\n' && c != EOF) {
      line.push_back(static_cast<char>(c));
      continue;
    }
    const std::vector<std::string> fields = conf_fields(line);
    line.clear();
    uint64_t start = 0;
    uint64_t stop = 0;
    // A line for the name without a usable start and end places nothing.
    if (fields.size() >= 3 && fields[0] == part_name && sectors_to_bytes(fields[1], &start) &&
        sectors_to_bytes(fields[2], &stop)) {
      *offset = start;
      *end = stop;
      found = true;
    }
  }
  return found ? 0 : -1;
}

int32_t ota_force_up_verify(partition_info_t* partition_info, uint64_t dev_offset) {
  // Without the partition's end, a NOR erase may take no byte the image does not cover.
  return burn_and_verify(partition_info, dev_offset, dev_offset + partition_info->img_size);
}

int32_t ota_update_image_force(partition_info_t* partition_info, const char* backup_dir) {
  char place[kPlaceNameLen] = {};
  std::snprintf(place, sizeof(place), "%s%s", partition_info->part_name,
                partition_info->type == AB ? "_a" : "");
  uint64_t start = 0;
  uint64_t end = 0;
  if (get_offset_from_file(place, &start, &end) != 0) {
    OTA_LOG_ERR("get %s offset failed from gpt_conf\n", place);
    return -1;
  }
  // The end is the partition's last sector: the image must not run past it.
  if (end < start || partition_info->img_size > end - start + kSector) {
    OTA_LOG_ERR("image %s does not fit partition %s\n", partition_info->part_file, place);
    return -1;
  }
  if (is_security_part(place)) {
    // The old content is read from the medium the partition lives on.
    const char* dev = target_of(partition_info->medium);
    if (dev == nullptr || ota_dump_partition(place, backup_dir, dev, start, end - start) != 0) {
      OTA_LOG_ERR("Partition [%s] backup failed\n", place);
      return -1;
    }
    g_ota_status.up_backup = OTA_FLAG_BURN;
  }
  // A security partition's main copy holds unproven bytes from its first write until its
  // proof: its backup must not be refreshed from it in between.
  const bool main_copy = partition_info->type == BAK;
  if ((main_copy && ota_mark_main_unproven(place, true) != 0) ||
      burn_and_verify(partition_info, start, end + kSector) != 0 ||
      (main_copy && ota_mark_main_unproven(place, false) != 0)) {
    OTA_LOG_ERR("update %s failed\n", place);
    return -1;
  }
  OTA_LOG_INFO("burn to partition [%s]\n", place);
  return 0;
}

int32_t ota_update_gpt_force(partition_info_t* gpt_main, partition_info_t* gpt_backup) {
  char main_image[kImagePathLen] = {};
  char backup_image[kImagePathLen] = {};
  if (!image_path(main_image, sizeof(main_image), gpt_main->part_file) ||
      !image_path(backup_image, sizeof(backup_image), gpt_backup->part_file) ||
      copy_to_disk(main_image, gpt_main->img_size, 0) != 0) {
    OTA_LOG_ERR("GPT main write failed\n");
    return -1;
  }
  gpt_header header{};
  if (!read_primary_header(&header)) {
    return -1;
  }
  // The backup table (entries, then the backup header) ends with the disk's last LBA.
  const uint64_t backup_end = (header.alternate_lba + 1) * kSector;
  if (gpt_backup->img_size > backup_end ||
      copy_to_disk(backup_image, gpt_backup->img_size, backup_end - gpt_backup->img_size) != 0) {
    OTA_LOG_ERR("GPT backup write failed\n");
    return -1;
  }
  return 0;
}

int32_t ota_update_partition_force(void) {
  update_info_t* info = ota_get_config_info();
  if (info == nullptr) {
    OTA_LOG_ERR("get config info error!");
    return -1;
  }
  g_ota_status = ota_status_t{};
  g_ota_status.up = OTA_FLAG_BURN;
  g_ota_status.up_system = OTA_FLAG_BURN;
  g_ota_status.owner = ota_process_owner();
  const int32_t count = std::min(info->update_size, OTA_MAX_PARTITIONS);
  partition_info_t* gpt_main = nullptr;
  partition_info_t* gpt_backup = nullptr;
  for (int32_t i = 0; i < count; ++i) {
    if (starts_with(info->update_partition[i], "gpt_main")) {
      gpt_main = &info->partition_info[i];
    } else if (starts_with(info->update_partition[i], "gpt_backup")) {
      gpt_backup = &info->partition_info[i];
    }
  }
  if (gpt_main != nullptr && gpt_backup != nullptr &&
      ota_update_gpt_force(gpt_main, gpt_backup) != 0) {
    OTA_LOG_ERR("Failed to update GPT\n");
    return -1;
  }
  update_part_t& parts = g_ota_status.update_part;
  for (int32_t i = 0; i < count; ++i) {
    partition_info_t* part = &info->partition_info[i];
    if (is_gpt_entry(info->update_partition[i])) {
      continue;
    }
    if (part->method != IMAGE_UP) {
      OTA_LOG_ERR("only support image upgrade method in disk upgrade\n");
      return -1;
    }
    std::snprintf(parts.array[i], sizeof(parts.array[i]), "%s", part->part_name);
    parts.medium[i] = part->medium;
    parts.type[i] = part->type;
    const int32_t ret = ota_update_image_force(part, info->backup_dir);
    if (ret != 0) {
      OTA_LOG_ERR("partition %s upgrade failed\n", part->part_name);
      return ret;
    }
  }
  parts.num = static_cast<uint32_t>(count);
  OTA_LOG_INFO("ota update system partition successful [force]!\n");
  return 0;
}

int32_t ota_set_veeprom_force(void) {
  uint64_t start = 0;
  uint64_t end = 0;
  if (get_offset_from_file(OTA_VEEPROM_PART, &start, &end) != 0) {
    OTA_LOG_ERR("get veeprom offset failed from gpt_conf\n");
    return -1;
  }
  g_ota_status.up = OTA_FLAG_VERIFY;
  g_ota_status.up_system = OTA_FLAG_VERIFY;
  g_ota_status.next_slot = 0;
  // Written through the veeprom partition, the device every other record of veeprom is
  // read and written through (the pre-flight check has matched the gpt.conf line with
  // it): a write through the whole disk would go through another page cache, whose stale
  // copy of the neighbouring road record could reach the medium with it.
  ota_file_info_t veeprom{};
  veeprom.offset = 0;
  veeprom.medium = OTA_EMMC;
  std::snprintf(veeprom.path, sizeof(veeprom.path), "%s%s", OTA_DEV_DIR, OTA_VEEPROM_PART);
  const int32_t ret = ota_write_to_veeprom_force(&g_ota_status, &veeprom);
  if (ret < 0) {
    OTA_LOG_ERR("veeprom flag write failed, ret %d\n", ret);
    return ret;
  }
  return 0;
}

namespace {

// The road of a recovery rewrite: slot A is the target, the other slot the one the board
// will be brought in line with.
int32_t write_recovery_road(ota_road_phase_e phase) {
  ota_road_record_t road{};
  if (ota_road_read(&road) != 0) {
    return -1;
  }
  road.phase = phase;
  road.from_slot = 1;
  road.target_slot = 0;
  road.sync_slot = OTA_ROAD_NO_SLOT;
  return ota_road_write(&road);
}

// Everything the rewrite checks, before its first write to the board.
int32_t check_package() {
  char manifest[kImagePathLen] = {};
  std::snprintf(manifest, sizeof(manifest), "%s/%s", OTA_RECOVERY_DIR, "data.json");
  if (ota_parse_config_file(manifest) != 0) {
    OTA_LOG_ERR("error:ota parse config file failed!\n");
    return -1;
  }
  const update_info_t* info = ota_get_config_info();
  if (ota_verify_system_image(OTA_RECOVERY_DIR) != 0 || ota_check_recovery_targets(*info) != 0 ||
      ota_check_proofs(*info, true) != 0 || verify_antirollback_version(OTA_RECOVERY_DIR) != 0) {
    return -1;
  }
  return 0;
}

// The durable writes in the road's order: the road names slot A as the target, the
// versions go on record, slot A is unbootable while it is rewritten, the partitions, the
// status VERIFY for slot A; then the road records the switch before misc makes slot A
// active, so that a stop between the two leaves a switch to finish, never a slot booted
// without a switch on record.
int32_t rewrite_from(const char* zip_path) {
  uint64_t img_size = 0;
  if (prepare_recovery_dir() != 0 || unzip_ota_file(zip_path, OTA_RECOVERY_DIR, &img_size) != 0 ||
      !package_texts_regular() || check_package() != 0) {
    return -1;
  }
  if (write_recovery_road(OTA_ROAD_WRITING) != 0 || record_antirollback_version() != 0 ||
      ota_set_slot_unbootable(0) != 0) {
    return -1;
  }
  if (ota_update_partition_force() != 0) {
    OTA_LOG_ERR("recovery force upgrade failed\n");
    return -1;
  }
  if (ota_set_veeprom_force() != 0) {
    OTA_LOG_ERR("veeprom flag set failed\n");
    return -1;
  }
  if (write_recovery_road(OTA_ROAD_SWITCHED) != 0) {
    return -1;
  }
  // Slot A was marked unbootable while it was rewritten; now that it is whole and proven
  // it becomes the active slot again, or the firmware would never boot what was written.
  if (ota_set_next_expected_slot(0) != 0) {
    OTA_LOG_ERR("set slot 0 active failed\n");
    return -1;
  }
  return 0;
}

}  // namespace

int32_t ota_update_system_recovery(const char* zip_path) {
  const int32_t ret = rewrite_from(zip_path);
  // The unpacked package sits in RAM-backed /tmp: it goes whatever the outcome.
  if (ota::remove_tree(OTA_RECOVERY_DIR) != 0) {
    OTA_LOG_WARN("clear %s failed: %s\n", OTA_RECOVERY_DIR, std::strerror(errno));
  }
  return ret;
}
