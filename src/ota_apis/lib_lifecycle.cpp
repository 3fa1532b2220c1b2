// Library lifecycle and the getters of the running launch.
#include <cstdio>
#include <cstring>

#include "client_api.h"
#include "client_state.h"
#include "flash_cmd.h"
#include "launch_monitor.h"
#include "progress_state.h"

namespace {
constexpr const char* LIB_VERSION = "1.0.1";
}

extern "C" MIRVO_OTA_API int32_t otaInitLib(void) {
  if (ota_client::is_initialised()) {
    return -OTAERR_REPEAT;
  }
  ota_client::set_initialised(true);
  ota_client::progress_set_idle();
  // A firmware command queued behind a busy channel goes out once the firmware has
  // carried out the pending one (at the reboot before this start, typically).
  (void)ota_flashcmd_drain_queue();
  return 0;
}

extern "C" MIRVO_OTA_API int32_t otaDeinitLib(void) {
  if (!ota_client::is_initialised()) {
    return -OTAERR_NOTINIT;
  }
  ota_client::set_initialised(false);
  ota_client::progress_set_not_started();
  // A launch still running keeps its reaper; a finished one leaves no thread behind.
  (void)ota_client::join_reaper(false);
  return 0;
}

extern "C" MIRVO_OTA_API int32_t otaGetLibVersion(char* version, int32_t len) {
  if (version == nullptr) {
    return -OTAERR_NULLPOINTER;
  }
  if (len < 6) {
    return -OTAERR_SHORTBUF;
  }
  std::memset(version, 0, static_cast<size_t>(len));
  std::snprintf(version, static_cast<size_t>(len), "%s", LIB_VERSION);
  return 0;
}

extern "C" MIRVO_OTA_API int32_t otaGetResult(void) {
  if (!ota_client::is_initialised()) {
    return -OTAERR_NOTINIT;
  }
  return static_cast<int32_t>(ota_client::progress_snapshot().result);
}

extern "C" MIRVO_OTA_API int32_t otaGetProgress(void) {
  if (!ota_client::is_initialised()) {
    return -OTAERR_NOTINIT;
  }
  return static_cast<int32_t>(ota_client::progress_snapshot().progress);
}

extern "C" MIRVO_OTA_API int32_t otaGetUpdatingImageName(char* image_name, int32_t len) {
  if (!ota_client::is_initialised()) {
    return -OTAERR_NOTINIT;
  }
  if (image_name == nullptr) {
    return -OTAERR_NULLPOINTER;
  }
  const ota_upgrade_info info = ota_client::progress_snapshot();
  const size_t name_len = strnlen(info.part_name, sizeof(info.part_name));
  if (len <= 0 || static_cast<size_t>(len) <= name_len) {
    return -OTAERR_SHORTBUF;
  }
  std::memset(image_name, 0, static_cast<size_t>(len));
  std::memcpy(image_name, info.part_name, name_len);
  return 0;
}
