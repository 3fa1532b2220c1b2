// Sizes over a folder of zip packages, for the free-space checks before unpacking them.
#include <dirent.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "file_names.h"
#include "kx_zip.h"
#include "ota_log.h"
#include "unique_fd.h"

namespace {

bool is_regular_zip(const char* dir_path, const dirent& entry) {
  if (std::strcmp(entry.d_name, ".") == 0 || std::strcmp(entry.d_name, "..") == 0) {
    return false;
  }
  bool regular = entry.d_type == DT_REG;
  if (entry.d_type == DT_UNKNOWN) {
    struct stat st {};
    const std::string path = std::string(dir_path) + "/" + entry.d_name;
    regular = lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }
  return regular && is_xxx_file(entry.d_name, "zip") == 1;
}

// Calls fn(path of zip, name) for every regular zip file of the directory; stops with
// -1 when fn does.
template <typename Fn>
int for_each_zip(const char* path, Fn&& fn) {
  ota::UniqueDir dir(opendir(path));
  if (!dir) {
    OTA_LOG_ERR("Open dir error...\n");
    return -1;
  }
  while (const dirent* entry = readdir(dir.get())) {
    if (is_regular_zip(path, *entry)) {
      const std::string zip_path = std::string(path) + "/" + entry->d_name;
      if (fn(zip_path.c_str(), entry->d_name) != 0) {
        return -1;
      }
    }
  }
  return 0;
}

}  // namespace

int64_t kx_all_image_size(const char* path) {
  if (path == nullptr) {
    OTA_LOG_ERR("no zip file\n");
    return -1;
  }
  int64_t sum = 0;
  const int rc = for_each_zip(path, [&](const char* zip_path, const char* name) {
    uint64_t img_size = 0;
    const int64_t size = kx_get_zip_size(zip_path, &img_size);
    OTA_LOG_INFO("zip name:%s, image size:%lu\n", name, static_cast<unsigned long>(img_size));
    if (size < 0) {
      OTA_LOG_ERR("get zip size error\n");
      return -1;
    }
    sum += static_cast<int64_t>(img_size);
    return 0;
  });
  return rc != 0 ? -1 : sum;
}

int64_t kx_get_max_zip_size(const char* path) {
  if (path == nullptr) {
    OTA_LOG_ERR("no zip file\n");
    return -1;
  }
  int64_t largest = 0;
  const int rc = for_each_zip(path, [&](const char* zip_path, const char* name) {
    uint64_t img_size = 0;
    const int64_t size = kx_get_zip_size(zip_path, &img_size);
    if (size < 0) {
      OTA_LOG_ERR("get zip size error\n");
      return -1;
    }
    OTA_LOG_INFO("zip name:%s, zip size:%ld\n", name, static_cast<long>(size));
    largest = size > largest ? size : largest;
    return 0;
  });
  return rc != 0 ? -1 : largest;
}
