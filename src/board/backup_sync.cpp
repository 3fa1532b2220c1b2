// Main and backup copies of the security partitions.
#include "backup_sync.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "boot_control.h"
#include "device_io.h"
#include "flash_cmd.h"
#include "ota_log.h"
#include "partition_md5.h"
#include "road_record.h"
#include "unique_fd.h"

namespace {

constexpr size_t CMDLINE_MAX = 2047;
constexpr size_t BOOTCOUNT_TEXT_MAX = 16;

std::string dev_path(const char* name) {
  char path[OTA_DEV_PATH_LEN] = {};
  std::snprintf(path, sizeof(path), "%s/%s", "/dev/block/platform/by-name", name);
  return path;
}

// Block devices report no size through stat; their end is found by seeking.
long device_size(const std::string& path) {
  const ota::UniqueFd fd = ota::open_fd(path.c_str(), O_RDONLY);
  return fd ? static_cast<long>(::lseek(fd.get(), 0, SEEK_END)) : -1;
}

// Copies one side of a pair over the other, all but the trailer, and flushes it.
int32_t copy_pair(const std::string& from, const std::string& to) {
  const long size = device_size(from);
  if (size <= OTA_BACKUP_TRAILER) {
    OTA_LOG_ERR("cannot size %s for the copy to %s\n", from.c_str(), to.c_str());
    return -1;
  }
  OTA_LOG_INFO("copy %s to %s\n", from.c_str(), to.c_str());
  ota_file_info_t src{};
  ota_file_info_t dst{};
  src.size = static_cast<uint64_t>(size - OTA_BACKUP_TRAILER);
  src.medium = OTA_EMMC;
  dst.medium = OTA_EMMC;
  std::snprintf(src.path, sizeof(src.path), "%s", from.c_str());
  std::snprintf(dst.path, sizeof(dst.path), "%s", to.c_str());
  return ota_file_to_file(&src, &dst, nullptr);
}

uint32_t pair_bit(size_t index) { return 1U << index; }

int32_t sync_pair(const ota_backup_pair_s& pair, bool to_backup) {
  const std::string main_path = dev_path(pair.main);
  const std::string bak_path = dev_path(pair.backup);
  const std::string& from = to_backup ? main_path : bak_path;
  const std::string& to = to_backup ? bak_path : main_path;
  int32_t ret = copy_pair(from, to);
  if (ret == 0) {
    ret = ota_check_two_partition_md5(main_path.c_str(), bak_path.c_str(), OTA_BACKUP_TRAILER);
  }
  if (ret < 0) {
    OTA_LOG_ERR("%s and %s md5 check failed\n", main_path.c_str(), bak_path.c_str());
  }
  return ret;
}

}  // namespace

int32_t ota_back_slot_from_cmdline(std::string_view cmdline, uint8_t* value) {
  if (value == nullptr) {
    return -1;
  }
  const size_t at = cmdline.find(OTA_BOOTCOUNT_KEY);
  if (at == std::string_view::npos) {
    OTA_LOG_ERR("cannot find c_option %s in cmdline", OTA_BOOTCOUNT_KEY);
    return -1;
  }
  std::string_view rest = cmdline.substr(at + std::strlen(OTA_BOOTCOUNT_KEY));
  rest = rest.substr(0, std::min(rest.size(), BOOTCOUNT_TEXT_MAX));
  rest = rest.substr(0, std::min(rest.size(), rest.find_first_of(std::string_view(" \r\n\0", 4))));
  const std::string text(rest);
  const int32_t count = static_cast<int32_t>(std::strtol(text.c_str(), nullptr, 10));
  OTA_LOG_INFO("bootcount %d\n", count);
  if (count >= OTA_BAK_BOOTCOUNT) {
    OTA_LOG_INFO("booting from bak\n");
    *value = 1;
  } else {
    OTA_LOG_INFO("booting from main\n");
    *value = 0;
  }
  return 0;
}

int32_t ota_back_slot_stat(uint8_t* value) {
  const ota::UniqueFile file(std::fopen(OTA_CMDLINE_PATH, "re"));
  if (!file) {
    OTA_LOG_ERR("open back slot file: %s error\n", OTA_CMDLINE_PATH);
    return -1;
  }
  char buf[CMDLINE_MAX + 1] = {};
  const size_t n = std::fread(buf, 1, CMDLINE_MAX, file.get());
  if (n == 0) {
    OTA_LOG_ERR("read back slot file failed\n");
    return -1;
  }
  return ota_back_slot_from_cmdline(std::string_view(buf, n), value);
}

// The copies are the engine's own, not a "hsm_m2b_cmd"/"hsm_b2m_cmd" for the firmware: a
// command waits for the next boot and can be held up by another pending one, while the
// records that follow a sync (backup status NORMAL) must describe copies already made.
int32_t ota_sync_back_part(const char* direction) {
  if (direction == nullptr) {
    return -1;
  }
  OTA_LOG_INFO("Start to sync bak partitions with direction %s\n", direction);
  const bool to_backup = std::strcmp(direction, FLASHCMD_HSM_M2B) == 0;
  if (!to_backup && std::strcmp(direction, FLASHCMD_HSM_B2M) != 0) {
    OTA_LOG_ERR("unknown backup sync direction %s (%s or %s)\n", direction, FLASHCMD_HSM_M2B,
                FLASHCMD_HSM_B2M);
    return -1;
  }
  // Which mains hold a write no proof covers; unknown counts as all of them.
  ota_road_record_t road{};
  if (ota_road_read(&road) != 0) {
    OTA_LOG_ERR("road record unreadable: which main copies are proven is unknown\n");
    return -1;
  }
  uint32_t proven_now = 0;
  for (size_t i = 0; i < OTA_BACKUP_PAIRS.size(); ++i) {
    const ota_backup_pair_s& pair = OTA_BACKUP_PAIRS[i];
    if (to_backup && (road.unproven_mains & pair_bit(i)) != 0) {
      OTA_LOG_WARN("%s holds a write no proof covers: %s is kept, not overwritten from it\n",
                   pair.main, pair.backup);
      continue;
    }
    const int32_t ret = sync_pair(pair, to_backup);
    if (ret < 0) {
      return ret;
    }
    proven_now |= to_backup ? 0U : pair_bit(i);
  }
  // A backup copied over its main and proven leaves a main that is proven again.
  if ((road.unproven_mains & proven_now) != 0) {
    road.unproven_mains &= ~proven_now;
    if (ota_road_write(&road) != 0) {
      OTA_LOG_ERR("record of the restored main copies failed\n");
      return -1;
    }
  }
  return 0;
}

int32_t ota_backup_pair_of_main(std::string_view name) {
  for (size_t i = 0; i < OTA_BACKUP_PAIRS.size(); ++i) {
    if (name == OTA_BACKUP_PAIRS[i].main) {
      return static_cast<int32_t>(i);
    }
  }
  return -1;
}

int32_t ota_mark_main_unproven(std::string_view name, bool unproven) {
  const int32_t index = ota_backup_pair_of_main(name);
  if (index < 0) {
    return 0;
  }
  ota_road_record_t road{};
  if (ota_road_read(&road) != 0) {
    return -1;
  }
  const uint32_t bit = pair_bit(static_cast<size_t>(index));
  const uint32_t marks = unproven ? road.unproven_mains | bit : road.unproven_mains & ~bit;
  if (marks == road.unproven_mains) {
    return 0;
  }
  road.unproven_mains = marks;
  if (ota_road_write(&road) != 0) {
    OTA_LOG_ERR("record main copy %.*s %s failed\n", static_cast<int>(name.size()), name.data(),
                unproven ? "unproven" : "proven");
    return -1;
  }
  return 0;
}
