/* Low-level functions of the client library: backup partitions, A/B synchronisation,
 * anti-rollback commit, secure images and the system version. */
#ifndef MIRVO_OTA_LL_H
#define MIRVO_OTA_LL_H

#include <stdint.h>

#include "mirvo_ota_hl.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The formatter cannot read the base macro as part of an enum head. */
/* clang-format off */
typedef enum ota_medium_e MIRVO_OTA_ENUM_BASE(int32_t) { OTA_NOR = 0, OTA_EMMC = 1 } ota_medium_e;
typedef enum ota_part_type_e MIRVO_OTA_ENUM_BASE(int32_t) {
  GOLDEN = 0,
  AB = 1,
  BAK = 2,
  PERMANENT = 3
} ota_part_type_e;

typedef enum ota_update_flag_e MIRVO_OTA_ENUM_BASE(uint32_t) {
  OTA_FLAG_NORMAL = 0,
  OTA_FLAG_BURN = 1,
  OTA_FLAG_VERIFY = 2,
  OTA_FLAG_VERIFIED = 3
} ota_update_flag_e;
/* clang-format on */

/* The partitions written by the last update, as the status record keeps them. */
typedef struct {
  uint32_t num;
  char array[32][32];
  ota_medium_e medium[32];
  ota_part_type_e type[32];
} update_part_t;

typedef int32_t (*check_status_fun)(ota_update_flag_e* status);

MIRVO_OTA_API int32_t ota_back_slot_stat(uint8_t* value);
MIRVO_OTA_API int32_t ota_sync_back_part(const char* direction);
MIRVO_OTA_API int32_t ota_get_antirollback_version(char* hsm_ver, char* host_ver, int32_t len);
MIRVO_OTA_API int32_t ota_update_version(void);
MIRVO_OTA_API int32_t ota_sec_uncompress(const char* zip_path, const char* img);
MIRVO_OTA_API int32_t ota_hsm_init(ota_sec_img_t* img_info);
MIRVO_OTA_API int32_t ota_check_up_status(check_status_fun fun, ota_update_flag_e update_status);
MIRVO_OTA_API int32_t ota_flash_ab_sync(update_part_t* update_part);
MIRVO_OTA_API int32_t ota_mmc_ab_sync(update_part_t* update_part);
MIRVO_OTA_API int32_t get_system_version(const char* ver_path, char* verbuf);

#ifdef __cplusplus
}
#endif

#endif /* MIRVO_OTA_LL_H */
