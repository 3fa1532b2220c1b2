#include "error_names.h"

#include <array>
#include <cstdlib>

namespace ota_tool {

namespace {
struct CodeName {
  const char* name;
  const char* meaning;
};

constexpr std::array<CodeName, 21> kCodes = {{
    {"OTA_SUCCESS", "success"},
    {"OTAERR_IO", "operation failed (see the messages above)"},
    {"OTAERR_PLAT_UNSUPPORT", "not supported on this platform"},
    {"OTAERR_REPEAT", "already running: another update, sync or clear holds the lock"},
    {"OTAERR_MUTEX_INIT_LOCK_ERR", "lock initialisation failed"},
    {"OTAERR_NOTINIT", "library not initialised"},
    {"OTAERR_NULLPOINTER", "missing or invalid argument (package paths must be absolute)"},
    {"OTAERR_SHORTBUF", "buffer too short"},
    {"OTAERR_THREAD_CREATE", "could not start the worker or its threads"},
    {"OTAERR_RANGE", "argument out of range"},
    {"OTAERR_STAGE", "wrong stage: no update pending, or an update is running or failed"},
    {"OTAERR_IMAGE_WRITE", "the worker did not finish writing the images"},
    {"OTAERR_BOOT_FAILED", "the new slot did not boot (fallback, recovery or backup boot)"},
    {"OTAERR_VEEPROM", "status record error"},
    {"OTAERR_FILE_TYPE", "unknown package kind"},
    {"OTAERR_UNZIP", "the package holds no usable worker"},
    {"OTAERR_NO_EXISTS", "file not found"},
    {"OTAERR_MALLOC", "out of memory"},
    {"OTAERR_VERIFY", "verification failed"},
    {"OTAERR_IMG_SIZE", "image size error"},
    {"OTAERR_UPDATE_STATUS", "unexpected update status"},
}};
}  // namespace

const char* code_name(int32_t code) {
  const auto index = static_cast<size_t>(std::abs(code));
  return index < kCodes.size() ? kCodes[index].name : "UNKNOWN";
}

std::string describe_code(int32_t code) {
  const auto index = static_cast<size_t>(std::abs(code));
  std::string text = std::to_string(code) + " ";
  if (index < kCodes.size()) {
    text += std::string(kCodes[index].name) + " (" + kCodes[index].meaning + ")";
  } else {
    text += "(unknown code)";
  }
  return text;
}

}  // namespace ota_tool
