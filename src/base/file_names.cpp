#include "file_names.h"

#include <cstring>
#include <string_view>

#include "ota_log.h"

namespace {
constexpr size_t kMaxFileNameLen = 128;
}  // namespace

int32_t is_xxx_file(const char* file, const char* cmp_name) {
  if (file == nullptr || cmp_name == nullptr) {
    OTA_LOG_ERR("file name is invalid\n");
    return -1;
  }
  if (strnlen(file, kMaxFileNameLen) >= kMaxFileNameLen) {
    OTA_LOG_ERR("file name is too len\n");
    return -1;
  }
  std::string_view name(file);
  if (const size_t slash = name.rfind('/'); slash != std::string_view::npos) {
    name.remove_prefix(slash + 1);
  }
  const size_t dot = name.rfind('.');
  const std::string_view suffix =
      dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
  return suffix == cmp_name ? 1 : 0;
}
