// The one logging module of the engine.
//
// A line is "[LEVEL][file:line] message". Errors and warnings go to stderr as they are,
// info (and debug when OTA_DEBUG_FLAG > 0) to stdout behind "\r\e[K", and every line also
// to the system log through __android_log_print with a null tag.
#pragma once

#include <cstdint>

extern "C" int __android_log_print(int prio, const char* tag, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

enum ota_log_level_e : int32_t {
  OTA_LEVEL_ERROR = 6,
  OTA_LEVEL_WARNING = 5,
  OTA_LEVEL_INFO = 4,
  OTA_LEVEL_DEBUG = 3,
};

// Cached value of OTA_DEBUG_FLAG (its leading integer when positive, else 0).
[[nodiscard]] int32_t check_debug_level();

void ota_log_print(ota_log_level_e level, const char* file, int line, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

// Forgets the cached debug level so that the next line reads OTA_DEBUG_FLAG again.
void ota_log_reset_state();

#define OTA_LOG_ERR(...) ota_log_print(OTA_LEVEL_ERROR, __FILE__, __LINE__, __VA_ARGS__)
#define OTA_LOG_WARN(...) ota_log_print(OTA_LEVEL_WARNING, __FILE__, __LINE__, __VA_ARGS__)
#define OTA_LOG_INFO(...) ota_log_print(OTA_LEVEL_INFO, __FILE__, __LINE__, __VA_ARGS__)
#define OTA_LOG_DEBUG(...) ota_log_print(OTA_LEVEL_DEBUG, __FILE__, __LINE__, __VA_ARGS__)
