#include "ota_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int32_t g_debug_level = -1;

const char* level_tag(ota_log_level_e level) {
  switch (level) {
    case OTA_LEVEL_ERROR:
      return "OTA_ERROR";
    case OTA_LEVEL_WARNING:
      return "OTA_WARNING";
    case OTA_LEVEL_INFO:
      return "OTA_INFO";
    case OTA_LEVEL_DEBUG:
      return "OTA_DEBUG";
  }
  return "OTA_UNKNOWN";
}

const char* base_name(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

}  // namespace

int32_t check_debug_level() {
  if (g_debug_level >= 0) {
    return g_debug_level;
  }
  const char* flag = std::getenv("OTA_DEBUG_FLAG");
  const int value = flag != nullptr ? std::atoi(flag) : 0;
  g_debug_level = value > 0 ? value : 0;
  return g_debug_level;
}

void ota_log_reset_state() { g_debug_level = -1; }

void ota_log_print(ota_log_level_e level, const char* file, int line, const char* fmt, ...) {
  // The prefix and the message are formatted once and the same text goes to both sinks;
  // the message itself never passes through a second printf, so a '%' in an argument
  // cannot be reinterpreted.
  char prefix[160];
  std::snprintf(prefix, sizeof(prefix), "[%s][%s:%d] ", level_tag(level), base_name(file), line);

  va_list args;
  va_start(args, fmt);
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);

  char small[512];
  char* message = small;
  char* heap = nullptr;
  if (needed >= static_cast<int>(sizeof(small))) {
    heap = static_cast<char*>(std::malloc(static_cast<size_t>(needed) + 1));
    if (heap != nullptr) {
      message = heap;
    }
  }
  const size_t capacity = message == heap ? static_cast<size_t>(needed) + 1 : sizeof(small);
  std::vsnprintf(message, capacity, fmt, args);
  va_end(args);

  switch (level) {
    case OTA_LEVEL_ERROR:
    case OTA_LEVEL_WARNING:
      std::fprintf(stderr, "%s%s", prefix, message);
      break;
    case OTA_LEVEL_INFO:
      std::fprintf(stdout, "\r\033[K%s%s", prefix, message);
      break;
    case OTA_LEVEL_DEBUG:
      if (check_debug_level() > 0) {
        std::fprintf(stdout, "\r\033[K%s%s", prefix, message);
      }
      break;
  }
  __android_log_print(level, nullptr, "%s%s", prefix, message);
  std::free(heap);
}
