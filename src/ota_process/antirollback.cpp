#include "antirollback.h"

#include <fcntl.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "crc.h"
#include "device_io.h"
#include "image_stage.h"
#include "kx_zip.h"
#include "le_bytes.h"
#include "ota_log.h"
#include "package_paths.h"
#include "tar_zstd.h"
#include "unique_fd.h"
#include "worker_state.h"

namespace {

bool decode_flash_header(const uint8_t* raw, flash_header* h) {
  std::memcpy(h, raw, sizeof(*h));
  h->ver = ota::load_le16(raw + offsetof(flash_header, ver));
  h->crc16_le = ota::load_le16(raw + offsetof(flash_header, crc16_le));
  return CRC16(raw, OTA_FLASH_HEADER_CRC_LEN) == h->crc16_le;
}

bool is_hsm_name(const char* name) {
  return std::strstr(name, "HSM_FW") != nullptr || std::strstr(name, "HSM_RCA") != nullptr;
}

}  // namespace

int32_t ota_verify_system_image(const char* unzip_dir) {
  update_info_t* info = ota_get_config_info();
  if (info == nullptr || info->parse_flag == 0) {
    OTA_LOG_ERR("data.json not parsed\n");
    return -1;
  }
  for (int i = 0; i < info->update_size && i < OTA_MAX_PARTITIONS; ++i) {
    partition_info_t& part = info->partition_info[i];
    if (std::strncmp(info->update_partition[i], part.part_name, OTA_PART_NAME_LEN) != 0) {
      OTA_LOG_ERR("part name %s and part info %s is not matched\n", info->update_partition[i],
                  part.part_name);
      return -1;
    }
    char path[160] = {};
    const int n = std::snprintf(path, sizeof(path), "%s/%s", unzip_dir, part.part_file);
    // A cut path names another file; such an image counts as absent.
    part.img_size = (n < 0 || static_cast<size_t>(n) >= sizeof(path))
                        ? UINT64_MAX
                        : static_cast<uint64_t>(get_file_size(path));
  }
  OTA_LOG_INFO("verify system image success!\n");
  return 0;
}

int prepare_antirollback_ver(const update_info_t* update_info, const char* zip_path) {
  if (update_info == nullptr || zip_path == nullptr) {
    return -1;
  }
  for (int i = 0; i < update_info->update_size && i < OTA_MAX_PARTITIONS; ++i) {
    const partition_info_t& part = update_info->partition_info[i];
    if (std::strcmp(part.part_name, "vbmeta") == 0) {
      return ota_stage_image(zip_path, ota_get_unzip_dir(), &part);
    }
  }
  return 0;
}

int32_t read_flash_img_anti_ver(const char* img_file_path, uint64_t* ver) {
  ota::UniqueFd fd = ota::open_fd(img_file_path, O_RDONLY);
  if (!fd) {
    OTA_LOG_ERR("open file %s failed!\n", img_file_path);
    return -1;
  }
  uint8_t raw[sizeof(flash_header)] = {};
  if (ota::read_full(fd.get(), raw, sizeof(raw)) != static_cast<ssize_t>(sizeof(raw))) {
    OTA_LOG_ERR("get flash image antirollback version error!\n");
    return -1;
  }
  flash_header header{};
  if (!decode_flash_header(raw, &header)) {
    OTA_LOG_WARN("%s don't have antirollback version\n", img_file_path);
    return 1;
  }
  *ver = header.ver;
  return 0;
}

int32_t read_avb_img_anti_ver(const char* img_file_path, uint64_t* ver) {
  ota::UniqueFd fd = ota::open_fd(img_file_path, O_RDONLY);
  if (!fd) {
    OTA_LOG_ERR("open file %s failed!\n", img_file_path);
    return -1;
  }
  char magic[4] = {};
  if (ota::read_full(fd.get(), magic, sizeof(magic)) != static_cast<ssize_t>(sizeof(magic))) {
    OTA_LOG_ERR("get avb image magic error!\n");
    return -1;
  }
  if (std::memcmp(magic, OTA_AVB_MAGIC, sizeof(magic)) != 0) {
    OTA_LOG_WARN("%s is not avb image!\n", img_file_path);
    return 1;
  }
  uint8_t raw[8] = {};
  if (ota::pread_full(fd.get(), raw, sizeof(raw), OTA_AVB_ROLLBACK_OFFSET) !=
      static_cast<ssize_t>(sizeof(raw))) {
    OTA_LOG_ERR("get avb image antirollback version error!\n");
    return -1;
  }
  *ver = ota::load_be64(raw);
  return 0;
}

int32_t read_image_anti_ver(const char* image_name, ota_medium_e medium, uint32_t* value,
                            const char* unzip_dir) {
  char name[64] = {};
  char path[128] = {};
  if (remove_zst_suffix(image_name, name, sizeof(name)) != 0) {
    return -1;
  }
  const int n = std::snprintf(path, sizeof(path), "%s/%s", unzip_dir, name);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(path)) {
    OTA_LOG_ERR("image path %s/%s is too long\n", unzip_dir, name);
    return -1;
  }
  uint64_t ver = 0;
  int32_t ret = -1;
  if (medium == OTA_NOR) {
    ret = read_flash_img_anti_ver(path, &ver);
  } else if (medium == OTA_EMMC) {
    ret = read_avb_img_anti_ver(path, &ver);
  }
  if (ret != 0) {
    return ret == 1 ? 0 : -1;
  }
  const auto low = static_cast<uint32_t>(ver);
  if (*value != 0 && *value != low) {
    OTA_LOG_ERR("image %s antirollback versions %ld:%d is inconsistent\n", path,
                static_cast<long>(ver), static_cast<int>(*value));
    return -1;
  }
  *value = low;
  return 0;
}

int32_t get_image_antirollback(antirollback_ver_t* ver, const char* unzip_dir) {
  const update_info_t* info = ota_get_config_info();
  if (info == nullptr) {
    OTA_LOG_INFO("no parse json file!\n");
    return -1;
  }
  for (int i = 0; i < info->update_size && i < OTA_MAX_PARTITIONS; ++i) {
    const partition_info_t& part = info->partition_info[i];
    if (part.have_anti_ver == 0) {
      continue;
    }
    uint32_t* cls = is_hsm_name(info->update_partition[i]) ? &ver->hsm_ver : &ver->host_ver;
    const int32_t ret = read_image_anti_ver(part.part_file, part.medium, cls, unzip_dir);
    if (ret < 0) {
      return ret;
    }
  }
  return 0;
}

int32_t verify_antirollback_version(const char* unzip_dir) {
  const update_info_t* info = ota_get_config_info();
  if (info == nullptr) {
    OTA_LOG_INFO("no parse json file!\n");
    return -1;
  }
  g_checked_versions = CheckedVersions{};
  antirollback_ver_t images{};
  antirollback_ver_t board{};
  if (get_image_antirollback(&images, unzip_dir) != 0 || get_efuse_antirollback(&board) != 0) {
    return -1;
  }
  if (images.hsm_ver < board.hsm_ver || images.host_ver < board.host_ver) {
    OTA_LOG_ERR("antirollback version check failed!\n");
    return -1;
  }
  images.host_up_flag = static_cast<uint8_t>(info->host_up_flag);
  images.hsm_up_flag = static_cast<uint8_t>(info->hsm_up_flag);
  g_checked_versions = CheckedVersions{true, images};
  OTA_LOG_INFO("antirollback version check success!\n");
  return 0;
}

int32_t record_antirollback_version() {
  if (!g_checked_versions.valid) {
    OTA_LOG_ERR("antirollback versions not checked: nothing to record\n");
    return -1;
  }
  const int32_t ret = ota_set_anti_ver_veeprom(&g_checked_versions.versions);
  if (ret != 0) {
    OTA_LOG_ERR("set antirollback version in veeprom failed\n");
    return ret;
  }
  return 0;
}
