// The recovery rewrite's checks before its first write. Its targets are the raw devices
// by design, so every place it writes is measured against the board's own partitions:
// the gpt.conf line of each entry must be the partition of that name on the board and
// lie inside its device, no range may touch the records or the user data, and the
// partition tables a package carries must describe the board's own layout and fit
// around it.
#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "crc.h"
#include "device_io.h"
#include "gpt.h"
#include "gpt_entries.h"
#include "mtd_flash.h"
#include "ota_log.h"
#include "unique_fd.h"
#include "upgrade.h"
#include "write_checks.h"
#include "write_targets.h"

namespace {

constexpr uint64_t kSector = 512;
constexpr std::array<const char*, 4> kUntouchable = {"misc", "veeprom", "flashcmd", "userdata"};

struct RawDevices {
  uint64_t disk = 0;  // bytes of the eMMC disk
  ota_mtd_geometry_t nor{};
};

struct Range {
  uint64_t start = 0;
  uint64_t end = 0;  // exclusive
};

bool starts_with(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

bool measure_devices(RawDevices* out) {
  if (!ota_is_block_device(OTA_BLK_DEV) || (out->disk = ota_device_size(OTA_BLK_DEV)) == 0) {
    OTA_LOG_ERR("the whole disk %s cannot be sized\n", OTA_BLK_DEV);
    return false;
  }
  const ota::UniqueFd nor = ota::open_fd(OTA_NOR_DEV, O_RDONLY);
  if (!nor) {
    OTA_LOG_ERR("the NOR device %s cannot be opened\n", OTA_NOR_DEV);
    return false;
  }
  ota_kernel_mtd_device dev(nor.get());
  return ota_mtd_geometry(dev, OTA_NOR_DEV, &out->nor);
}

// The gpt.conf line of `name` as bytes; false (logged) when there is none.
bool conf_range(const char* name, Range* out) {
  uint64_t start = 0;
  uint64_t end = 0;
  if (get_offset_from_file(name, &start, &end) != 0 || end < start) {
    OTA_LOG_ERR("gpt.conf has no usable line for %s\n", name);
    return false;
  }
  *out = {start, end + kSector};
  return true;
}

// The gpt.conf range of `name` is the board's partition of that name, within the device.
bool matches_board(const std::vector<ota_board_part_t>& board, const char* name,
                   ota_medium_e medium, const Range& r, uint64_t device_size) {
  const ota_board_part_t* p = ota_find_board_part(board, name);
  if (p == nullptr || p->medium != medium) {
    OTA_LOG_ERR("gpt.conf line %s: the board has no such %s partition\n", name,
                medium == OTA_NOR ? "nor" : "emmc");
    return false;
  }
  if (r.start != p->offset || r.end > p->offset + p->size || r.end > device_size) {
    OTA_LOG_ERR(
        "gpt.conf places %s at %llu..%llu, the board has it at %llu..%llu (device %llu "
        "bytes): refused\n",
        name, static_cast<unsigned long long>(r.start), static_cast<unsigned long long>(r.end),
        static_cast<unsigned long long>(p->offset),
        static_cast<unsigned long long>(p->offset + p->size),
        static_cast<unsigned long long>(device_size));
    return false;
  }
  return true;
}

// No byte of an eMMC range lies in misc, veeprom, flashcmd or userdata.
bool clear_of_records(const std::vector<ota_board_part_t>& board, const char* name,
                      const Range& r) {
  for (const char* reserved : kUntouchable) {
    const ota_board_part_t* p = ota_find_board_part(board, reserved);
    if (p != nullptr && p->medium == OTA_EMMC && r.start < p->offset + p->size &&
        p->offset < r.end) {
      OTA_LOG_ERR("partition %s at %llu..%llu overlaps %s: refused\n", name,
                  static_cast<unsigned long long>(r.start), static_cast<unsigned long long>(r.end),
                  reserved);
      return false;
    }
  }
  return true;
}

bool check_entry(const std::vector<ota_board_part_t>& board, const RawDevices& dev,
                 const partition_info_t& e) {
  std::string why;
  const std::string place = std::string(e.part_name) + (e.type == AB ? "_a" : "");
  const std::string target = ota_write_target(board, e.part_name, e.type, e.medium, 0, &why);
  if (target != place) {
    OTA_LOG_ERR("partition %s refused: %s\n", e.part_name,
                why.empty() ? "it is not the partition it would be placed at" : why.c_str());
    return false;
  }
  Range r;
  const uint64_t device = e.medium == OTA_NOR ? dev.nor.size : dev.disk;
  if (!conf_range(place.c_str(), &r) || !matches_board(board, place.c_str(), e.medium, r, device) ||
      (e.medium == OTA_EMMC && !clear_of_records(board, place.c_str(), r))) {
    return false;
  }
  if (e.img_size > r.end - r.start) {
    OTA_LOG_ERR("image %s (%llu bytes) does not fit partition %s (%llu bytes)\n", e.part_file,
                static_cast<unsigned long long>(e.img_size), place.c_str(),
                static_cast<unsigned long long>(r.end - r.start));
    return false;
  }
  uint64_t erase_start = 0;
  uint64_t erase_len = 0;
  if (e.medium == OTA_NOR && dev.nor.needs_erase &&
      !ota_mtd_erase_span(dev.nor, r.start, e.img_size, r.end, &erase_start, &erase_len)) {
    OTA_LOG_ERR("partition %s: %llu..%llu cannot be erased in blocks of %u\n", place.c_str(),
                static_cast<unsigned long long>(r.start), static_cast<unsigned long long>(r.end),
                dev.nor.erasesize);
    return false;
  }
  return true;
}

// The status record is written into the board's veeprom; the gpt.conf line must say so.
bool veeprom_matches(const std::vector<ota_board_part_t>& board, const RawDevices& dev) {
  Range r;
  return conf_range("veeprom", &r) && matches_board(board, "veeprom", OTA_EMMC, r, dev.disk);
}

// --- Partition tables.

using EntryArray = std::array<uint8_t, GPT_ENTRY_ARRAY_SIZE>;

bool read_at(const char* path, uint64_t offset, uint8_t* buf, size_t len) {
  const ota::UniqueFd fd = ota::open_fd(path, O_RDONLY);
  return fd && ota::pread_full(fd.get(), buf, len, static_cast<off_t>(offset)) ==
                   static_cast<ssize_t>(len);
}

// Entry i of two arrays describes the same partition (or none in both).
bool same_entry(const EntryArray& a, const EntryArray& b, uint32_t i) {
  gpt_entry x{};
  gpt_entry y{};
  (void)decode(std::span<const uint8_t>(a.data() + i * GPT_ENTRY_SIZE, GPT_ENTRY_SIZE), &x);
  (void)decode(std::span<const uint8_t>(b.data() + i * GPT_ENTRY_SIZE, GPT_ENTRY_SIZE), &y);
  const bool x_used = x.part_type_guid_low != 0 || x.part_type_guid_high != 0;
  const bool y_used = y.part_type_guid_low != 0 || y.part_type_guid_high != 0;
  if (!x_used || !y_used) {
    return x_used == y_used;
  }
  return gpt_name(x) == gpt_name(y) && x.start_lba == y.start_lba && x.end_lba == y.end_lba &&
         x.part_type_guid_low == y.part_type_guid_low &&
         x.part_type_guid_high == y.part_type_guid_high;
}

// The entries at `offset` of a table image are the board's: a recovery repairs the
// tables, it never moves a partition the checks above measured against.
bool same_layout(const char* image, uint64_t offset, const EntryArray& disk) {
  EntryArray pkg{};
  if (!read_at(image, offset, pkg.data(), pkg.size())) {
    OTA_LOG_ERR("partition table image %s holds no entry array at %llu\n", image,
                static_cast<unsigned long long>(offset));
    return false;
  }
  for (uint32_t i = 0; i < GPT_ENTRY_COUNT; ++i) {
    if (!same_entry(pkg, disk, i)) {
      OTA_LOG_ERR("partition table image %s: entry %u differs from the board's: refused\n", image,
                  i);
      return false;
    }
  }
  return true;
}

// The main table's header at LBA 1 of its image, proven by its own CRC.
bool image_header(const char* image, gpt_header* header) {
  std::array<uint8_t, GPT_HEADER_SIZE> raw{};
  if (!read_at(image, kSector, raw.data(), raw.size()) || !decode(raw, header)) {
    return false;
  }
  std::array<uint8_t, GPT_HEADER_SIZE> zeroed = raw;
  std::memset(zeroed.data() + offsetof(gpt_header, header_crc32), 0, sizeof(uint32_t));
  return header->signature == GPT_SIGNATURE && header->header_size == GPT_HEADER_SIZE &&
         header->my_lba == 1 && CRC32(zeroed.data(), zeroed.size()) == header->header_crc32;
}

// The eMMC partitions' first and last byte on the board.
Range emmc_span(const std::vector<ota_board_part_t>& board) {
  Range span{UINT64_MAX, 0};
  for (const ota_board_part_t& p : board) {
    if (p.medium == OTA_EMMC) {
      span.start = std::min(span.start, p.offset);
      span.end = std::max(span.end, p.offset + p.size);
    }
  }
  return span;
}

std::string image_path(const partition_info_t& e) {
  return std::string(OTA_RECOVERY_DIR) + "/" + e.part_file;
}

bool check_tables(const std::vector<ota_board_part_t>& board, const RawDevices& dev,
                  const partition_info_t& main, const partition_info_t& backup) {
  const std::string main_image = image_path(main);
  const std::string backup_image = image_path(backup);
  const int32_t lba = get_lba_size(OTA_BLK_DEV);
  EntryArray disk{};
  if (lba <= 0 || !read_at(OTA_BLK_DEV, 2 * static_cast<uint64_t>(lba), disk.data(), disk.size())) {
    OTA_LOG_ERR("the board's partition table cannot be read from %s\n", OTA_BLK_DEV);
    return false;
  }
  gpt_header header{};
  if (!image_header(main_image.c_str(), &header)) {
    OTA_LOG_ERR("%s holds no valid primary header: refused\n", main_image.c_str());
    return false;
  }
  const Range span = emmc_span(board);
  const uint64_t backup_end = (header.alternate_lba + 1) * kSector;
  const bool fits = main.img_size <= span.start && backup_end <= dev.disk &&
                    backup.img_size <= backup_end && backup_end - backup.img_size >= span.end;
  if (!fits) {
    OTA_LOG_ERR(
        "partition tables (%llu and %llu bytes, backup ending at %llu) would overlap "
        "the partitions %llu..%llu: refused\n",
        static_cast<unsigned long long>(main.img_size),
        static_cast<unsigned long long>(backup.img_size),
        static_cast<unsigned long long>(backup_end), static_cast<unsigned long long>(span.start),
        static_cast<unsigned long long>(span.end));
    return false;
  }
  return same_layout(main_image.c_str(), 2 * kSector, disk) &&
         same_layout(backup_image.c_str(), 0, disk);
}

}  // namespace

int32_t ota_check_recovery_targets(const update_info_t& info) {
  std::vector<ota_board_part_t> board;
  RawDevices dev;
  if (ota_read_board_parts(&board) != 0 || !measure_devices(&dev)) {
    OTA_LOG_ERR("recovery refused: the board's partitions or devices cannot be measured\n");
    return -1;
  }
  if (!veeprom_matches(board, dev)) {
    return -1;
  }
  const partition_info_t* main = nullptr;
  const partition_info_t* backup = nullptr;
  for (int32_t i = 0; i < info.update_size && i < OTA_MAX_PARTITIONS; ++i) {
    const char* name = info.update_partition[i];
    if (starts_with(name, "gpt_main")) {
      main = &info.partition_info[i];
    } else if (starts_with(name, "gpt_backup")) {
      backup = &info.partition_info[i];
    } else if (!check_entry(board, dev, info.partition_info[i])) {
      return -1;
    }
  }
  if (main != nullptr && backup != nullptr && !check_tables(board, dev, *main, *backup)) {
    return -1;
  }
  return 0;
}
