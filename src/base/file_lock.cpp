#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "file_lock.h"
#include "ota_log.h"
#include "private_dir.h"
#include "unique_fd.h"

namespace {

int g_lockfd = -1;
constexpr int kOpenAttempts = 3;

// The lock file lies in world-writable /tmp. Only a regular file of our own user, closed
// to others and with no second name, is a lock nobody else can hold: anyone who can open
// the file can flock it and block every update.
bool is_sound_lock(const struct stat& st) {
  return S_ISREG(st.st_mode) && ota::is_ours_alone(st) && st.st_nlink == 1;
}

// Removes what holds the lock's name when it is not a sound lock file (a link, another
// user's file, one open to others); it is made afresh by the next open.
bool replace_unsound(const char* lock_file) {
  struct stat st {};
  if (::lstat(lock_file, &st) != 0 || is_sound_lock(st)) {
    return true;
  }
  OTA_LOG_WARN("lock file %s is not a file of uid %u closed to others: replacing it\n", lock_file,
               static_cast<unsigned>(::geteuid()));
  if (::unlink(lock_file) != 0 && errno != ENOENT) {
    OTA_LOG_ERR("remove %s failed: %s\n", lock_file, std::strerror(errno));
    return false;
  }
  return true;
}

// Opens the lock file, made with mode 0600 when missing. Close-on-exec: no program the
// holder runs inherits the lock unless it is handed over on purpose (the worker's launch).
ota::UniqueFd open_lock(const char* lock_file) {
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    if (!replace_unsound(lock_file)) {
      return {};
    }
    ota::UniqueFd fd(ota::retry_eintr([&] {
      return ::open(lock_file, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    }));
    struct stat st {};
    if (fd && ::fstat(fd.get(), &st) == 0 && is_sound_lock(st)) {
      return fd;
    }
    if (!fd && errno != ELOOP && errno != ENXIO && errno != EEXIST) {
      return {};  // the directory itself is unusable: nothing to replace
    }
  }
  errno = EPERM;
  return {};
}

// True when the path still names the file fd holds: a lock taken on a file that has been
// replaced meanwhile guards nothing.
bool still_named(int fd, const char* lock_file) {
  struct stat held {};
  struct stat named {};
  return ::fstat(fd, &held) == 0 && ::lstat(lock_file, &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

}  // namespace

int32_t get_file_lock(char* lock_file) {
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    ota::UniqueFd fd = open_lock(lock_file);
    if (!fd) {
      OTA_LOG_ERR("open file %s failed.\n", lock_file);
      return -1;
    }
    if (ota::retry_eintr([&] { return flock(fd.get(), LOCK_EX | LOCK_NB); }) != 0) {
      OTA_LOG_ERR("file %s is already locked.\n", lock_file);
      OTA_LOG_ERR("ota doesn't support multiple processes.\n");
      return -1;
    }
    if (!still_named(fd.get(), lock_file)) {
      continue;
    }
    OTA_LOG_INFO("lock file %s successfully.\n", lock_file);
    if (g_lockfd < 0) {
      g_lockfd = fd.release();
    }
    return 0;
  }
  OTA_LOG_ERR("open file %s failed.\n", lock_file);
  return -1;
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

int ota_held_lock_fd() { return g_lockfd; }

void ota_lock_reset_state() {
  if (g_lockfd >= 0) {
    ota::UniqueFd closing(g_lockfd);
  }
  g_lockfd = -1;
}
