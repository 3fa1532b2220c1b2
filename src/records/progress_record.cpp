#include "progress_record.h"

#include <cstring>

#include "le_bytes.h"

void ota_upgrade_info_encode(const ota_upgrade_info& info, uint8_t out[OTA_PROGRESS_RECORD_SIZE]) {
  std::memcpy(out + offsetof(ota_upgrade_info, part_name), info.part_name, sizeof(info.part_name));
  ota::store_le32(out + offsetof(ota_upgrade_info, result), static_cast<uint32_t>(info.result));
  ota::store_le32(out + offsetof(ota_upgrade_info, progress), info.progress);
}

ota_upgrade_info ota_upgrade_info_decode(const uint8_t in[OTA_PROGRESS_RECORD_SIZE]) {
  ota_upgrade_info info{};
  std::memcpy(info.part_name, in + offsetof(ota_upgrade_info, part_name), sizeof(info.part_name));
  info.part_name[sizeof(info.part_name) - 1] = '\0';
  info.result =
      static_cast<ota_update_result_e>(ota::load_le32(in + offsetof(ota_upgrade_info, result)));
  info.progress = ota::load_le32(in + offsetof(ota_upgrade_info, progress));
  return info;
}
