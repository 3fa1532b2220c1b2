#include "efuse.h"

#include "ota_log.h"

uint32_t kx_efuse_hsm_anti_read(uint32_t* anti_num) {
  (void)anti_num;
  OTA_LOG_INFO("read hsm antirollback version\n");
  return 0;
}

uint32_t kx_efuse_hsm_anti_update(void) {
  OTA_LOG_INFO("update hsm antirollback version\n");
  return 0;
}

int32_t get_efuse_antirollback(antirollback_ver_t* ver) {
  if (kx_efuse_hsm_anti_read(&ver->hsm_ver) != 0) {
    OTA_LOG_ERR("HSM antirollback version read failed\n");
    return -1;
  }
  return 0;
}

int32_t set_efuse_antirollback(antirollback_ver_t* ver) {
  if (ver->hsm_up_flag != 1) {
    return 0;
  }
  if (kx_efuse_hsm_anti_update() != 0) {
    OTA_LOG_ERR("HSM antirollback version write failed\n");
    return -1;
  }
  return 0;
}
