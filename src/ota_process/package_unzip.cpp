// Unpacking a whole package into the unzip directory, once its file system has room and
// inodes for what the package declares.
#include <sys/statvfs.h>

#include <cstdint>

#include "kx_zip.h"
#include "make_dir.h"
#include "ota_log.h"
#include "package_auth.h"
#include "package_paths.h"

namespace {

// Kept free on the file system a whole package is unpacked into.
constexpr uint64_t kUnzipReserve = 1048576;

}  // namespace

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
    OTA_LOG_ERR("get size of %s failed\n", ota_package_name(zip_path));
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
                ota_package_name(zip_path));
    return -1;
  }
  // The sizes above are what the package declares; the budget holds the extraction to
  // what is really there, whatever a member turns out to hold.
  ota::ExtractBudget budget;
  budget.bytes = static_cast<uint64_t>(free_bytes) - kUnzipReserve;
  budget.inodes = counts_inodes ? static_cast<uint64_t>(st.f_favail) : UINT64_MAX;
  if (kx_uncompress(zip_path, unzip_dir, &budget) < 0) {
    OTA_LOG_ERR("uncompress %s failed!\n", ota_package_name(zip_path));
    return -1;
  }
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
