// Types shared by the worker, the client library and the tools.
#pragma once

#include <cstdint>

enum ota_err_e : int32_t {
  OTA_SUCCESS = 0,
  OTAERR_IO = 1,
  OTAERR_PLAT_UNSUPPORT = 2,
  OTAERR_REPEAT = 3,
  OTAERR_MUTEX_INIT_LOCK_ERR = 4,
  OTAERR_NOTINIT = 5,
  OTAERR_NULLPOINTER = 6,
  OTAERR_SHORTBUF = 7,
  OTAERR_THREAD_CREATE = 8,
  OTAERR_RANGE = 9,
  OTAERR_STAGE = 10,
  OTAERR_IMAGE_WRITE = 11,
  OTAERR_BOOT_FAILED = 12,
  OTAERR_VEEPROM = 13,
  OTAERR_FILE_TYPE = 14,
  OTAERR_UNZIP = 15,
  OTAERR_NO_EXISTS = 16,
  OTAERR_MALLOC = 17,
  OTAERR_VERIFY = 18,
  OTAERR_IMG_SIZE = 19,
  OTAERR_UPDATE_STATUS = 20,
};

enum ota_medium_e : int32_t { OTA_NOR = 0, OTA_EMMC = 1 };

enum ota_part_type_e : int32_t { GOLDEN = 0, AB = 1, BAK = 2, PERMANENT = 3 };

enum upgrade_method : int32_t { IMAGE_UP = 0, IMAGE_DIFF_UP = 1, FILE_UP = 2, FILE_DIFF_UP = 3 };

enum ota_update_result_e : uint32_t {
  UPGRADE_NOT_START = 0,
  UPGRADE_IN_PROGRESS = 1,
  UPGRADE_SUCCESS = 2,
  UPGRADE_FAILED = 3,
};
