// The anti-rollback record in veeprom: written whole, and read back only when its CRC
// holds, so a damaged record never passes for version 0 of something.
#include <cstring>

#include "ota_log.h"
#include "veeprom_flag.h"

int32_t ota_set_anti_ver_veeprom(antirollback_ver_t* ver) {
  if (ver == nullptr) {
    return -1;
  }
  ver->crc32_le = antirollback_crc(*ver);
  const int32_t ret = ota_set_veeprom_flag(OTA_VEEPROM_ANTI_VER, reinterpret_cast<uint32_t*>(ver));
  if (ret != 0) {
    OTA_LOG_ERR("set antirollback version to veeprom failed\n");
  }
  return ret;
}

int32_t ota_get_anti_ver_veeprom(antirollback_ver_t* ver) {
  if (ver == nullptr) {
    return -1;
  }
  const int32_t ret = ota_get_veeprom_flag(OTA_VEEPROM_ANTI_VER, reinterpret_cast<uint32_t*>(ver));
  if (ret != 0) {
    OTA_LOG_ERR("get antirollback version from veeprom failed\n");
    return ret;
  }
  if (antirollback_crc(*ver) != ver->crc32_le) {
    OTA_LOG_ERR("antirollback version CRC verify failed\n");
    std::memset(ver, 0, sizeof(*ver));
    return -1;
  }
  return 0;
}
