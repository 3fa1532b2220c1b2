// mkdir -p: a directory with its missing parents.
#include "make_dir.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "ota_log.h"

int32_t mymkdir(const char* dirname) {
  errno = 0;
  return mkdir(dirname, 0775);
}

int32_t makedir(const char* newdir) {
  const size_t len = newdir != nullptr ? std::strlen(newdir) : 0;
  if (len == 0) {
    return -1;
  }
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[len + 1]);
  if (!buffer) {
    OTA_LOG_ERR("Error allocating memory\n");
    return -104;
  }
  std::memcpy(buffer.get(), newdir, len + 1);
  if (len > 1 && buffer[len - 1] == '/') {
    buffer[len - 1] = '\0';
  }
  if (mymkdir(buffer.get()) == 0) {
    return 0;
  }
  for (char* p = buffer.get() + 1;; ++p) {
    const char hold = *p;
    if (hold != '\0' && hold != '/' && hold != '\\') {
      continue;
    }
    *p = '\0';
    if (mymkdir(buffer.get()) != 0 && errno == ENOENT) {
      OTA_LOG_ERR("couldn't create directory %s\n", buffer.get());
      return -1;
    }
    if (hold == '\0') {
      return 0;
    }
    *p = hold;
  }
}
