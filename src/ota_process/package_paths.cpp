#include "package_paths.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "file_names.h"
#include "kx_zip.h"
#include "ota_log.h"
#include "ota_utils.h"
#include "shell_quote.h"
#include "unique_fd.h"

namespace {

constexpr const char* kDefaultOtaDir = "/ota";
constexpr const char* kDefaultUnzipDir = "/ota/unzip_dir";

// Kept free on the file system a whole package is unpacked into.
constexpr uint64_t kUnzipReserve = 1048576;

char g_ota_dir[OTA_DIR_LEN] = "/ota";
char g_ota_unzip_dir[OTA_UNZIP_DIR_LEN] = "/ota/unzip_dir";
uint32_t g_ota_update_full_pkg = 0;

constexpr ota_packages_separate kEmptyTable[PKG_SEPARATE_NUM] = {
    {{"middleware", ""}, 0, "", nullptr}, {{"app", "APP"}, 0, "", nullptr},
    {{"param", ""}, 0, "", nullptr},      {{"all_in_one_full", ""}, 0, "", nullptr},
    {{"all_in_one", ""}, 0, "", nullptr},
};
ota_packages_separate g_ota_pkgs[PKG_SEPARATE_NUM] = {
    kEmptyTable[0], kEmptyTable[1], kEmptyTable[2], kEmptyTable[3], kEmptyTable[4]};

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

int kind_holding_path() {
  for (int k = 0; k < PKG_SEPARATE_NUM; ++k) {
    if (g_ota_pkgs[k].zip_path[0] != '\0') {
      return k;
    }
  }
  return -1;
}

// The kind whose keyword occurs in the base name first, in table order; -1 when none.
int match_kind(const char* path, const char* base, const char** keyword) {
  for (int k = 0; k < PKG_SEPARATE_NUM; ++k) {
    for (const char* kw : g_ota_pkgs[k].match_keyword) {
      if (kw[0] == '\0') {
        break;
      }
      OTA_LOG_INFO("image path: %s\n", path);
      OTA_LOG_INFO("match_keyword: %s\n", kw);
      if (std::strstr(base, kw) != nullptr) {
        *keyword = kw;
        return k;
      }
    }
  }
  return -1;
}

int32_t assign_package(const char* path) {
  if (path[0] != '/') {
    OTA_LOG_ERR("Please use absolute path: %s\n", path);
    return -6;
  }
  if (access(path, F_OK) != 0) {
    OTA_LOG_ERR("cannot read file: %s\n", path);
    return -1;
  }
  if (std::strlen(path) >= OTA_ZIP_PATH_LEN) {
    OTA_LOG_ERR("package path %s longer than %d characters\n", path, OTA_ZIP_PATH_LEN - 1);
    return -1;
  }
  const char* base = std::strrchr(path, '/') + 1;
  OTA_LOG_INFO("image info: %s\n", base);
  const char* keyword = nullptr;
  const int k = match_kind(path, base, &keyword);
  if (k < 0) {
    OTA_LOG_ERR("file:%s not supported\n", base);
    return -1;
  }
  ota_packages_separate& pkg = g_ota_pkgs[k];
  if (pkg.zip_path[0] != '\0') {
    OTA_LOG_ERR("This upgrade task has two %s package\n", pkg.match_keyword[0]);
    return -1;
  }
  const bool full_clash = k == PKG_SEPARATE_FULL ? kind_holding_path() >= 0
                                                 : g_ota_pkgs[PKG_SEPARATE_FULL].zip_path[0] != 0;
  if (full_clash) {
    OTA_LOG_ERR("this upgrade task only support single full pkg,and cannot attach other pkg\n");
    return -1;
  }
  if (k == PKG_SEPARATE_FULL) {
    g_ota_update_full_pkg = 1;
  }
  std::snprintf(pkg.zip_path, sizeof(pkg.zip_path), "%s", path);
  OTA_LOG_INFO("matched keyword %s\n", keyword);
  return 0;
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

int32_t ota_get_package_path(const char* zip_path) {
  if (zip_path == nullptr || zip_path[0] == '\0') {
    OTA_LOG_ERR("No update file selected\n");
    return -6;
  }
  // A list cut at its limit would name a different last file: refuse it whole.
  if (std::strlen(zip_path) >= OTA_PKG_LIST_LEN) {
    OTA_LOG_ERR("package list longer than %d characters\n", OTA_PKG_LIST_LEN - 1);
    return -6;
  }
  std::string list(zip_path);
  size_t start = 0;
  while (start <= list.size()) {
    const size_t end = std::min(list.find(';', start), list.size());
    std::string piece = list.substr(start, end - start);
    start = end + 1;
    if (piece.empty()) {
      continue;
    }
    const int32_t ret = assign_package(piece.c_str());
    if (ret != 0) {
      return ret;
    }
  }
  return 0;
}

int32_t unzip_ota_file(const char* zip_path, const char* unzip_dir, uint64_t* img_size) {
  if (zip_path == nullptr || unzip_dir == nullptr || img_size == nullptr) {
    return -1;
  }
  if (makedir(unzip_dir) != 0) {
    OTA_LOG_ERR("make ota unzip file dir error!\n");
    return -1;
  }
  uint64_t members = 0;
  const int64_t total = kx_get_package_size(zip_path, img_size, &members);
  if (total < 0) {
    OTA_LOG_ERR("get size of %s failed\n", zip_path);
    return -1;
  }
  // The room is measured where the members land: the recovery road unpacks into /tmp,
  // not into the configured work directory.
  struct statvfs st {};
  if (statvfs(unzip_dir, &st) != 0) {
    OTA_LOG_ERR("get ota file dir free space error!\n");
    return -1;
  }
  const int64_t free_bytes = static_cast<int64_t>(st.f_bsize) * static_cast<int64_t>(st.f_bavail);
  const int64_t need = total / 1024 + 1024;
  const int64_t free_kb = free_bytes / 1024;
  OTA_LOG_INFO("ota file dir free space:%ld, unzip need space:%ld!\n", static_cast<long>(free_kb),
               static_cast<long>(need));
  if (free_kb <= need) {
    OTA_LOG_ERR(
        "ota file dir free space:%ld is not enough for file unzip need space:%ld! (in KB)\n",
        static_cast<long>(free_kb), static_cast<long>(need));
    return -1;
  }
  // A file system that counts inodes (f_files nonzero) must have one for every member.
  const bool counts_inodes = st.f_files != 0;
  if (counts_inodes && st.f_favail <= members) {
    OTA_LOG_ERR("ota file dir free inodes:%lu are not enough for the %llu members of %s\n",
                static_cast<unsigned long>(st.f_favail), static_cast<unsigned long long>(members),
                zip_path);
    return -1;
  }
  // The sizes above are what the package declares; the budget holds the extraction to
  // what is really there, whatever a member turns out to hold.
  ota::ExtractBudget budget;
  budget.bytes = static_cast<uint64_t>(free_bytes) - kUnzipReserve;
  budget.inodes = counts_inodes ? static_cast<uint64_t>(st.f_favail) : UINT64_MAX;
  if (kx_uncompress(zip_path, unzip_dir, &budget) < 0) {
    OTA_LOG_ERR("uncompress %s failed!\n", zip_path);
    return -1;
  }
  return 0;
}

int32_t ota_check_file(const char* package_path, const char* suffix) {
  if (package_path == nullptr || suffix == nullptr) {
    return -1;
  }
  if (access(package_path, F_OK) != 0) {
    OTA_LOG_ERR("ota upgrde file:%s not exist!\n", package_path);
    return -1;
  }
  return is_xxx_file(package_path, suffix) == 1 ? 0 : -1;
}

int32_t ota_check_package() {
  for (const ota_packages_separate& pkg : g_ota_pkgs) {
    if (pkg.zip_path[0] == '\0') {
      continue;
    }
    OTA_LOG_INFO("zip_path: %s\n", pkg.zip_path);
    if (access(pkg.zip_path, F_OK) != 0) {
      OTA_LOG_ERR("cannot read file: %s\n", pkg.zip_path);
      return -OTAERR_NO_EXISTS;
    }
    if (ota_check_file(pkg.zip_path, "zip") != 0 && ota_check_file(pkg.zip_path, "tar") != 0) {
      OTA_LOG_ERR("unsupported file suffix %s\n", pkg.zip_path);
      return -OTAERR_FILE_TYPE;
    }
  }
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

int64_t get_free_space(char* path) {
  if (path == nullptr) {
    OTA_LOG_ERR("path is NULL!\n");
    return -1;
  }
  struct statvfs st {};
  if (statvfs(path, &st) != 0) {
    OTA_LOG_ERR("Stat from %s failed!\n", path);
    return -1;
  }
  return static_cast<int64_t>(st.f_bsize) * static_cast<int64_t>(st.f_bavail);
}

char* ota_get_file_name(char* file_path) {
  if (file_path == nullptr) {
    return nullptr;
  }
  char* slash = std::strrchr(file_path, '/');
  return slash == nullptr ? nullptr : slash + 1;
}

const char* ota_get_ota_dir() { return g_ota_dir; }
const char* ota_get_unzip_dir() { return g_ota_unzip_dir; }
ota_packages_separate* ota_get_packages() { return g_ota_pkgs; }
uint32_t ota_get_update_full_pkg() { return g_ota_update_full_pkg; }

void package_paths_reset_state() {
  std::snprintf(g_ota_dir, sizeof(g_ota_dir), "%s", kDefaultOtaDir);
  std::snprintf(g_ota_unzip_dir, sizeof(g_ota_unzip_dir), "%s", kDefaultUnzipDir);
  for (int k = 0; k < PKG_SEPARATE_NUM; ++k) {
    g_ota_pkgs[k] = kEmptyTable[k];
  }
  g_ota_update_full_pkg = 0;
}
