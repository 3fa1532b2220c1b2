#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include "ota_log.h"
#include "shell_exec.h"
#include "unique_fd.h"

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

int ota_keep_descriptors_to_self() {
  // Walked through /proc rather than marked at once with close_range: the board's kernel
  // may predate its close-on-exec flag (Linux 5.11).
  const ota::UniqueDir dir(::opendir("/proc/self/fd"));
  if (!dir) {
    return -1;
  }
  const int own = ::dirfd(dir.get());
  while (const dirent* entry = ::readdir(dir.get())) {
    const int fd = std::atoi(entry->d_name);  // "." and ".." give 0
    if (fd <= STDERR_FILENO || fd == own) {
      continue;
    }
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags < 0 || ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) != 0) {
      return -1;
    }
  }
  return 0;
}
