#include <cstdlib>

#include "ota_log.h"
#include "ota_utils.h"

int32_t ota_system_exe(const char* cmd) {
  if (cmd == nullptr) {
    OTA_LOG_ERR("system cmd is NULL!\n");
    return -1;
  }
  const int status = std::system(cmd);
  if (status == -1) {
    OTA_LOG_ERR("execute cmd:%s failed!\n", cmd);
    return -1;
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    OTA_LOG_DEBUG("execute cmd:%s success!\n", cmd);
    return 0;
  }
  OTA_LOG_ERR("execute cmd:%s failed!\n", cmd);
  return -1;
}
