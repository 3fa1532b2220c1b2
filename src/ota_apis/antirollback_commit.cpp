// Committing the anti-rollback versions of a confirmed update to the eFuse.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "client_api.h"
#include "efuse.h"
#include "ota_log.h"
#include "veeprom_flag.h"

namespace {

// A board whose veeprom never held an anti-rollback record (no system package has run
// its pre-flight since the factory) has nothing to commit; only a damaged record fails.
bool antirollback_record_blank() {
  std::array<char, sizeof(antirollback_ver_t)> raw{};
  if (ota_read_from_veeprom(raw.data(), raw.size(), OTA_ANTI_VER_OFFSET) != 0) {
    return false;
  }
  auto all = [&raw](unsigned char v) {
    return std::all_of(raw.begin(), raw.end(),
                       [v](char b) { return static_cast<unsigned char>(b) == v; });
  };
  return all(0x00) || all(0xFF);
}

}  // namespace

extern "C" MIRVO_OTA_API int32_t ota_get_antirollback_version(char* hsm_ver, char* host_ver,
                                                              int32_t len) {
  if (hsm_ver == nullptr || host_ver == nullptr) {
    return -OTAERR_NULLPOINTER;
  }
  antirollback_ver_t efuse{};
  const int32_t ret = get_efuse_antirollback(&efuse);
  if (ret < 0) {
    OTA_LOG_ERR("get antirollback information in efuse failed\n");
    return ret;
  }
  if (len < 5) {
    return -OTAERR_SHORTBUF;
  }
  std::snprintf(hsm_ver, static_cast<size_t>(len), "%d", static_cast<int>(efuse.hsm_ver));
  std::snprintf(host_ver, static_cast<size_t>(len), "%d", static_cast<int>(efuse.hsm_ver));
  return 0;
}

extern "C" MIRVO_OTA_API int32_t ota_update_version(void) {
  if (antirollback_record_blank()) {
    OTA_LOG_INFO("no antirollback record in veeprom, nothing to commit\n");
    return 0;
  }
  antirollback_ver_t new_ver{};
  int32_t ret = ota_get_anti_ver_veeprom(&new_ver);
  if (ret < 0) {
    return ret;
  }
  if (new_ver.hsm_up_flag == 0 && new_ver.host_up_flag == 0) {
    OTA_LOG_INFO("no update antirollback version\n");
    return 0;
  }
  antirollback_ver_t old_ver{};
  ret = get_efuse_antirollback(&old_ver);
  if (ret < 0) {
    return ret;
  }
  if (new_ver.hsm_ver <= old_ver.hsm_ver || new_ver.hsm_up_flag == 0) {
    new_ver.hsm_up_flag = 0;
  }
  if (new_ver.host_ver <= old_ver.host_ver || new_ver.host_up_flag == 0) {
    new_ver.host_up_flag = 0;
  }
  ret = set_efuse_antirollback(&new_ver);
  if (ret != 0) {
    return ret;
  }
  old_ver = antirollback_ver_t{};
  ret = get_efuse_antirollback(&old_ver);
  if (ret != 0) {
    return ret;
  }
  // Only versions that were to be written can be proven: the eFuse holds the security
  // module's version alone, and a version not above the fused one is not written at all.
  if (new_ver.hsm_up_flag == 0 || old_ver.hsm_ver == new_ver.hsm_ver) {
    return 0;
  }
  OTA_LOG_ERR("antirollback version update verify failed\n");
  return -OTAERR_VERIFY;
}
