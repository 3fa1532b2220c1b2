/* The public headers compile as C and the shared library answers through them: argument
 * checks, lifecycle and the library's fixed texts. Exit status 0 when every check held. */
#include <stdio.h>
#include <string.h>

#include "mirvo_ota_hl.h"
#include "mirvo_ota_ll.h"

static int failures = 0;

#define CHECK(cond)                                                            \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      failures++;                                                              \
    }                                                                          \
  } while (0)

int main(void) {
  char buf[16];
  update_part_t parts;
  ota_sec_info_t sec;

  /* Version: needs no init, refuses short buffers. */
  CHECK(otaGetLibVersion(buf, 5) == -OTAERR_SHORTBUF);
  CHECK(otaGetLibVersion(NULL, 6) == -OTAERR_NULLPOINTER);
  CHECK(otaGetLibVersion(buf, 6) == 0 && strcmp(buf, "1.0.1") == 0);

  /* Before init the launch getters refuse. */
  CHECK(otaGetResult() == -OTAERR_NOTINIT);
  CHECK(otaGetProgress() == -OTAERR_NOTINIT);
  CHECK(otaDeinitLib() == -OTAERR_NOTINIT);
  CHECK(otaRequestStart("/x.zip", OTA_TOOL) == -OTAERR_NOTINIT);

  /* Lifecycle and the idle record. */
  CHECK(otaInitLib() == 0);
  CHECK(otaInitLib() == -OTAERR_REPEAT);
  CHECK(otaGetResult() == UPGRADE_NOT_START);
  CHECK(otaGetUpdatingImageName(buf, 10) == -OTAERR_SHORTBUF);
  CHECK(otaGetUpdatingImageName(buf, 11) == 0 && strcmp(buf, "idle_state") == 0);

  /* Arguments refused before anything is touched. */
  CHECK(otaRequestStart(NULL, OTA_TOOL) == -OTAERR_NULLPOINTER);
  CHECK(otaRequestStart("/x.zip", (ota_update_owner_e)3) == -OTAERR_RANGE);
  CHECK(otaSetPartition(2) == -OTAERR_RANGE);
  CHECK(otaGetOwnerFlag(NULL) == -OTAERR_NULLPOINTER);
  CHECK(otaGetPartition(NULL) == -OTAERR_NULLPOINTER);
  CHECK(otaNotifyMCU(HL_MCU_CMD_CNT) == -OTAERR_STAGE);
  CHECK(otaInitSecImg("/x.zip", &sec) == -OTAERR_PLAT_UNSUPPORT);
  CHECK(otaVerifySecImg(&sec) == -OTAERR_PLAT_UNSUPPORT);
  CHECK(ota_mmc_ab_sync(NULL) == -OTAERR_NULLPOINTER);
  CHECK(ota_get_antirollback_version(NULL, buf, 16) == -OTAERR_NULLPOINTER);
  CHECK(get_system_version(NULL, buf) == -1);
  memset(&parts, 0, sizeof(parts));
  CHECK(sizeof(parts) == 1284);
  CHECK(sizeof(ota_sec_img_t) == 356 && sizeof(ota_sec_info_t) == 716);
  /* The library sees these enumerations with 32-bit bases: a C caller must agree. */
  CHECK(sizeof(ota_err_e) == 4 && sizeof(ota_update_result_e) == 4);
  CHECK(sizeof(ota_update_owner_e) == 4 && sizeof(ota_update_flag_e) == 4);

  CHECK(otaDeinitLib() == 0);
  CHECK(otaGetResult() == -OTAERR_NOTINIT);
  if (failures != 0) {
    fprintf(stderr, "%d checks failed\n", failures);
    return 1;
  }
  printf("all C API checks passed\n");
  return 0;
}
