#include "tool_log.h"

#include <unistd.h>

#include "ota_log.h"

namespace ota_tool {

void ToolLog::to_file(const char* tag, const std::string& line) const {
  if (log_fd_ < 0) {
    return;
  }
  const std::string text = std::string("[") + tag + "][ota_tool] " + line + "\n";
  (void)!::write(log_fd_, text.data(), text.size());
}

void ToolLog::step(const std::string& line) const {
  if (out_ != nullptr) {
    std::fprintf(out_, "%s\n", line.c_str());
    std::fflush(out_);
  }
  __android_log_print(OTA_LEVEL_INFO, nullptr, "[ota_tool] %s\n", line.c_str());
  to_file("INFO", line);
}

void ToolLog::error(const std::string& line) const {
  if (err_ != nullptr) {
    std::fprintf(err_, "ota_tool: %s\n", line.c_str());
    std::fflush(err_);
  }
  __android_log_print(OTA_LEVEL_ERROR, nullptr, "[ota_tool] %s\n", line.c_str());
  to_file("ERROR", line);
}

void ToolLog::detail(const std::string& line) const {
  __android_log_print(OTA_LEVEL_INFO, nullptr, "[ota_tool] %s\n", line.c_str());
  to_file("INFO", line);
}

}  // namespace ota_tool
