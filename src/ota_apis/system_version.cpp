// The system version from the board's version file.
#include <cstdio>
#include <cstring>

#include "client_api.h"
#include "ota_log.h"
#include "unique_fd.h"

namespace {
constexpr size_t VERSION_BUF = 128;
constexpr const char* VERSION_MARK = "4.0.1";
}  // namespace

extern "C" MIRVO_OTA_API int32_t get_system_version(const char* ver_path, char* verbuf) {
  if (ver_path == nullptr) {
    OTA_LOG_ERR("version path is NULL!\n");
    return -1;
  }
  const ota::UniqueFile file(std::fopen(ver_path, "rbe"));
  if (!file) {
    OTA_LOG_ERR("open ver_path:%s error!\n", ver_path);
    return -1;
  }
  // One byte stays 0, so a longer file is cut rather than read past the buffer.
  char text[VERSION_BUF] = {};
  const size_t n = std::fread(text, 1, sizeof(text) - 1, file.get());
  if (n == 0 || std::ferror(file.get()) != 0) {
    OTA_LOG_ERR("read %s version error!\n", ver_path);
  }
  const char* start = std::strstr(text, VERSION_MARK);
  if (start == nullptr) {
    OTA_LOG_ERR("version:%s is format error!\n", text);
    return -1;
  }
  size_t len = std::strcspn(start, " ");
  if (len > 0 && (start[len - 1] == '\n' || start[len - 1] == '\r')) {
    --len;
  }
  if (verbuf != nullptr) {
    std::snprintf(verbuf, VERSION_BUF, "%.*s", static_cast<int>(len), start);
  }
  return static_cast<int32_t>(len);
}
