// The packages of one run: each path of the list classified by the keywords of its file
// name into the kind table, and the checks of their names and suffixes.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "file_names.h"
#include "ota_log.h"
#include "package_paths.h"
#include "worker_state.h"

namespace {

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

char* ota_get_file_name(char* file_path) {
  if (file_path == nullptr) {
    return nullptr;
  }
  char* slash = std::strrchr(file_path, '/');
  return slash == nullptr ? nullptr : slash + 1;
}

ota_packages_separate* ota_get_packages() { return g_ota_pkgs; }
uint32_t ota_get_update_full_pkg() { return g_ota_update_full_pkg; }
