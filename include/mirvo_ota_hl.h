/* The client library of the OTA update engine: lifecycle, launch of one upgrade and its
 * progress, slot selection, and the checks, confirmation and synchronisation after the
 * reboot. Every function returns 0 (or a non-negative value) for success and a negated
 * ota_err_e code for failure; none of them throws. */
#ifndef MIRVO_OTA_HL_H
#define MIRVO_OTA_HL_H

#include <stdint.h>

#if defined(__GNUC__)
#define MIRVO_OTA_API __attribute__((visibility("default")))
#else
#define MIRVO_OTA_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* C++ sources, the library's own included, see each enumeration with a fixed 32-bit
 * underlying type; C sees the same values in a plain enum of the same size. */
#ifdef __cplusplus
#define MIRVO_OTA_ENUM_BASE(type) : type
#else
#define MIRVO_OTA_ENUM_BASE(type)
#endif

/* The formatter cannot read the base macro as part of an enum head. */
/* clang-format off */
/* Failure codes: functions return them negated. */
typedef enum ota_err_e MIRVO_OTA_ENUM_BASE(int32_t) {
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
  OTAERR_UPDATE_STATUS = 20
} ota_err_e;

typedef enum ota_update_result_e MIRVO_OTA_ENUM_BASE(uint32_t) {
  UPGRADE_NOT_START = 0,
  UPGRADE_IN_PROGRESS = 1,
  UPGRADE_SUCCESS = 2,
  UPGRADE_FAILED = 3
} ota_update_result_e;

typedef enum ota_update_owner_e MIRVO_OTA_ENUM_BASE(uint32_t) {
  NORMAL_BOOT = 0,
  OTA_TOOL = 1,
  OTA_SERVICE = 2,
  OTA_N_OWNER = 3
} ota_update_owner_e;
/* clang-format on */

/* Notices for the board's microcontroller, carried out by the boot firmware. */
typedef enum {
  HL_MCU_START_OTA = 0,
  HL_MCU_POST_OTA = 1,
  HL_MCU_ABORT_OTA = 2,
  HL_MCU_PRE_REBOOT = 3,
  HL_MCU_CMD_CNT = 4
} hl_ota_msg;

typedef enum { SEC_FW = 210, SEC_RCA = 211 } ota_sec_update_type_e;

typedef struct {
  ota_sec_update_type_e sec_type;
  char cert_path[128];
  char img_path[128];
  uint8_t nouce[32];
  uint8_t signature[64];
} ota_sec_img_t;

typedef struct {
  uint8_t num;
  ota_sec_img_t img_info[2];
} ota_sec_info_t;

/* Lifecycle. */
MIRVO_OTA_API int32_t otaInitLib(void);
MIRVO_OTA_API int32_t otaDeinitLib(void);
MIRVO_OTA_API int32_t otaGetLibVersion(char* version, int32_t len);

/* One upgrade: the worker is taken from the first package of zip_path (absolute paths
 * separated by ";") and started; poll the getters until the result is UPGRADE_SUCCESS
 * or UPGRADE_FAILED. A final result means the launch is over and a new one may start. */
MIRVO_OTA_API int32_t otaRequestStart(const char* zip_path, ota_update_owner_e owner);
MIRVO_OTA_API int32_t otaGetResult(void);
MIRVO_OTA_API int32_t otaGetProgress(void);
MIRVO_OTA_API int32_t otaGetUpdatingImageName(char* image_name, int32_t len);

/* Slots: 0 = A, 1 = B. */
MIRVO_OTA_API int32_t otaGetPartition(uint8_t* partition);
MIRVO_OTA_API int32_t otaSetPartition(uint8_t partition);

/* After the reboot. */
MIRVO_OTA_API int32_t otaGetOwnerFlag(ota_update_owner_e* owner);
MIRVO_OTA_API int32_t otaCheckUpdate(void);
MIRVO_OTA_API int32_t otaMarkOTASuccessful(void);
MIRVO_OTA_API int32_t otaPartitionSync(void);
MIRVO_OTA_API void otaClearFlags(void);
MIRVO_OTA_API int32_t otaNotifyMCU(hl_ota_msg msg);
MIRVO_OTA_API int32_t otaInitSecImg(const char* zip_path, ota_sec_info_t* sec_info);
MIRVO_OTA_API int32_t otaVerifySecImg(ota_sec_info_t* sec_info);

#ifdef __cplusplus
}
#endif

#endif /* MIRVO_OTA_HL_H */
