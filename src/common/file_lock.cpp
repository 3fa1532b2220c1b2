#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "ota_log.h"
#include "ota_utils.h"
#include "unique_fd.h"

namespace {
int g_lockfd = -1;
}

int32_t get_file_lock(char* lock_file) {
  // O_NOFOLLOW: the lock lives in a world-writable directory, where anyone could plant a
  // link that makes a root process create or open a file of their choosing.
  // Not close-on-exec: the worker inherits the locked descriptor, so an update keeps the
  // lock until the worker ends even if its client dies first.
  ota::UniqueFd fd(
      ota::retry_eintr([&] { return ::open(lock_file, O_WRONLY | O_CREAT | O_NOFOLLOW, 0766); }));
  if (!fd) {
    OTA_LOG_ERR("open file %s failed.\n", lock_file);
    return -1;
  }
  if (ota::retry_eintr([&] { return flock(fd.get(), LOCK_EX | LOCK_NB); }) != 0) {
    OTA_LOG_ERR("file %s is already locked.\n", lock_file);
    OTA_LOG_ERR("ota doesn't support multiple processes.\n");
    return -1;
  }
  OTA_LOG_INFO("lock file %s successfully.\n", lock_file);
  if (g_lockfd < 0) {
    g_lockfd = fd.release();
  }
  return 0;
}

int32_t put_file_lock(char* lock_file) {
  if (g_lockfd == -1) {
    return -1;
  }
  ota::UniqueFd fd(g_lockfd);
  g_lockfd = -1;
  if (flock(fd.get(), LOCK_UN) != 0) {
    OTA_LOG_ERR("unlock file %s failed\n", lock_file);
    return -1;
  }
  OTA_LOG_INFO("unlock file %s successfully\n", lock_file);
  return 0;
}

void ota_lock_reset_state() {
  if (g_lockfd >= 0) {
    ota::UniqueFd closing(g_lockfd);
  }
  g_lockfd = -1;
}
