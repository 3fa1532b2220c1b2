// The worker's work directories: the deploy directory named by the runtime
// configuration, the unzip directory below it, and the checks and cleaning of both.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "ota_log.h"
#include "package_paths.h"
#include "shell_exec.h"
#include "shell_quote.h"
#include "unique_fd.h"
#include "worker_state.h"

namespace {

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

// The first word after the key of a line that begins with it; false for other lines.
bool deploy_dir_of_line(std::string_view line, std::string* word) {
  const std::string_view key(OTA_DEPLOY_KEY);
  if (line.substr(0, key.size()) != key) {
    return false;
  }
  line.remove_prefix(key.size());
  const size_t start = line.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos) {
    word->clear();
    return true;
  }
  line.remove_prefix(start);
  *word = std::string(line.substr(0, line.find_first_of(" \t\r\n")));
  return true;
}

}  // namespace

int32_t get_config_values(const char* file_path, const char* ota_dir) {
  ota::UniqueFile file(std::fopen(file_path, "re"));
  if (file == nullptr) {
    OTA_LOG_INFO("warning runtime_config not opend\n");
    return -1;
  }
  char* raw = nullptr;
  size_t cap = 0;
  ssize_t len = 0;
  std::string word;
  // Whole lines, so that the key is only recognised at the start of a line.
  while ((len = getline(&raw, &cap, file.get())) >= 0) {
    std::unique_ptr<char, FreeDeleter> guard(raw);
    raw = nullptr;
    cap = 0;
    if (!deploy_dir_of_line(std::string_view(guard.get(), static_cast<size_t>(len)), &word)) {
      continue;
    }
    if (word.empty() || word.size() >= OTA_DIR_LEN) {
      OTA_LOG_WARN("ignoring %s%s: not a directory of at most %d characters\n", OTA_DEPLOY_KEY,
                   word.c_str(), OTA_DIR_LEN - 1);
      break;
    }
    std::snprintf(const_cast<char*>(ota_dir), OTA_DIR_LEN, "%s", word.c_str());
    OTA_LOG_DEBUG("using ota partition %s\n", ota_dir);
    break;
  }
  std::free(raw);
  return 0;
}

int32_t get_ota_mount_path(const char* ota_dir) {
  OTA_LOG_DEBUG("runtime_config file path: %s\n", OTA_RUNTIME_CONFIG);
  if (get_config_values(OTA_RUNTIME_CONFIG, ota_dir) != 0) {
    OTA_LOG_INFO("warning %s not function properly\n", "get_ota_mount_path");
    return -1;
  }
  OTA_LOG_DEBUG("ota_dir %s\n", ota_dir);
  return 0;
}

int32_t update_ota_partition_path() {
  (void)get_ota_mount_path(g_ota_dir);  // a missing configuration keeps the default
  std::printf("g_ota_dir %s", g_ota_dir);
  char unzip[OTA_UNZIP_DIR_LEN] = {};
  const int n = std::snprintf(unzip, sizeof(unzip), "%s/unzip", g_ota_dir);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(unzip)) {
    std::fprintf(stderr, "%s error\n: %s\n", g_ota_dir, std::strerror(ENAMETOOLONG));
    return -1;
  }
  std::memcpy(g_ota_unzip_dir, unzip, sizeof(unzip));
  std::printf("g_ota_unzip_dir:%s\n", g_ota_unzip_dir);
  return 0;
}

int32_t clear_ota_unzip_dir() {
  const std::string cmd = "rm -rf " + shell_quote(g_ota_unzip_dir);
  if (cmd.size() >= 128) {
    std::fprintf(stderr, "ota_unzip_path too long\n: %s\n", std::strerror(ENAMETOOLONG));
    return -1;
  }
  return ota_system_exe(cmd.c_str());
}

int32_t ota_check_mount_point(const char* path) {
  if (path == nullptr) {
    OTA_LOG_ERR("ota check mount point para is NULL!\n");
    return -1;
  }
  if (std::strlen(path) >= 128) {
    OTA_LOG_ERR("ota mount point para is too len!\n");
    return -1;
  }
  std::string_view rest(path);
  rest.remove_prefix(std::min(rest.find_first_not_of('/'), rest.size()));
  const std::string top = "/" + std::string(rest.substr(0, rest.find('/')));
  const std::string quoted = shell_quote(top);
  // grep -F: the directory is a name, not a pattern.
  const std::string cmd = "df -P -k " + quoted + " | grep -F -- " + quoted;
  if (ota_system_exe(cmd.c_str()) != 0) {
    return -1;
  }
  OTA_LOG_INFO("ota path:%s mount point is:%s!\n", path, top.c_str());
  return 0;
}

const char* ota_get_ota_dir() { return g_ota_dir; }
const char* ota_get_unzip_dir() { return g_ota_unzip_dir; }
