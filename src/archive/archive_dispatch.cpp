// Packages as zip or tar: which kind a file is, and the operations that serve both kinds
// by handing each package to its reader.
#include <fcntl.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "extract_path.h"
#include "kx_zip.h"
#include "ota_log.h"
#include "unique_fd.h"
#include "unz_handle.h"
#include "zip_extract.h"

namespace {

constexpr size_t kOutPathSize = 256;

// Extracts the tar member file_name (zstd-compressed) into dest less its ".zst"; what a
// failure wrote is removed again.
int32_t untar_zst_into(const char* src, const char* dest, const char* file_name,
                       const char* out_path, uint64_t max_bytes) {
  char out_name[kOutPathSize];
  if (remove_zst_suffix(file_name, out_name, sizeof(out_name)) != 0) {
    return -1;
  }
  ota::UniqueFd dir = ota::open_fd(dest, O_RDONLY | O_DIRECTORY);
  if (!dir) {
    OTA_LOG_ERR("open %s failed: %s\n", dest, strerror(errno));
    return -1;
  }
  bool opened = false;
  const auto open_output = [&] {
    ota::UniqueFd fd = ota::open_member_file(dir.get(), out_name, false);
    if (!fd) {
      const int err = errno;
      OTA_LOG_ERR("cannot write member %s of %s: %s\n", file_name, src,
                  ota::member_error_text(err));
      errno = err;
    }
    opened = fd.valid();
    return fd;
  };
  const int32_t rc =
      ota_untar_unzst_with(src, file_name, out_path, open_output, nullptr, max_bytes);
  if (rc != 0 && opened) {
    ota::remove_member(dir.get(), out_name);
  }
  return rc;
}

// The kind a file's first bytes show: a zip local header or end record, or a ustar
// header's magic.
ota_archive_kind_e kind_by_content(const char* path) {
  ota::UniqueFd fd = ota::open_fd(path, O_RDONLY);
  uint8_t head[TAR_BLOCK_SIZE] = {};
  const ssize_t n = fd ? ota::read_full(fd.get(), head, sizeof(head)) : -1;
  if (n >= 4 && head[0] == 'P' && head[1] == 'K' &&
      ((head[2] == 3 && head[3] == 4) || (head[2] == 5 && head[3] == 6))) {
    return OTA_ARCHIVE_ZIP;
  }
  const size_t magic = offsetof(tar_header_t, magic);
  if (n == static_cast<ssize_t>(sizeof(head)) && std::memcmp(head + magic, "ustar", 5) == 0) {
    return OTA_ARCHIVE_TAR;
  }
  return OTA_ARCHIVE_UNKNOWN;
}

bool name_ends_with(std::string_view path, std::string_view suffix) {
  return path.size() > suffix.size() && path.ends_with(suffix);
}

}  // namespace

ota_archive_kind_e ota_archive_kind(const char* path) {
  if (path == nullptr) {
    return OTA_ARCHIVE_UNKNOWN;
  }
  if (const ota_archive_kind_e kind = kind_by_content(path); kind != OTA_ARCHIVE_UNKNOWN) {
    return kind;
  }
  // Not readable (yet) or neither magic: the name's end decides, never a folder's name.
  if (name_ends_with(path, ".zip")) {
    return OTA_ARCHIVE_ZIP;
  }
  return name_ends_with(path, ".tar") ? OTA_ARCHIVE_TAR : OTA_ARCHIVE_UNKNOWN;
}

int32_t kx_uncompress(const char* src, const char* dest, ota::ExtractBudget* budget) {
  if (src == nullptr || dest == nullptr) {
    OTA_LOG_ERR("destnation or source file is null\n");
    return -1;
  }
  ota::ExtractBudget unbounded;
  if (budget == nullptr) {
    budget = &unbounded;
  }
  const ota_archive_kind_e kind = ota_archive_kind(src);
  if (kind == OTA_ARCHIVE_TAR) {
    return untar_all(src, dest, budget);
  }
  if (kind != OTA_ARCHIVE_ZIP) {
    OTA_LOG_ERR("unknown file formate %s\n", src);
    return -1;
  }
  return unzip_into_dir(src, dest, budget);
}

int32_t kx_uncompress_one(const char* src, const char* dest, const char* file_name,
                          uint64_t max_bytes) {
  if (src == nullptr || dest == nullptr || file_name == nullptr) {
    OTA_LOG_ERR("destnation or source file is null\n");
    return -1;
  }
  char out_path[kOutPathSize];
  const int len = snprintf(out_path, sizeof(out_path), "%s/%s", dest, file_name);
  if (len < 0 || static_cast<size_t>(len) >= sizeof(out_path)) {
    OTA_LOG_ERR("output path %s/%s too long\n", dest, file_name);
    return -1;
  }
  if (len > 3 && std::strcmp(out_path + len - 4, ".zst") == 0) {
    out_path[len - 4] = '\0';
  }
  int32_t rc = -1;
  switch (ota_archive_kind(src)) {
    case OTA_ARCHIVE_ZIP:
      rc = kx_unzip_one(src, dest, file_name, max_bytes);
      break;
    case OTA_ARCHIVE_TAR:
      rc = std::strstr(file_name, "zst") != nullptr
               ? untar_zst_into(src, dest, file_name, out_path, max_bytes)
               : untar(src, file_name, dest, max_bytes);
      break;
    default:
      OTA_LOG_ERR("unknown file formate %s\n", src);
      break;
  }
  if (rc < 0) {
    OTA_LOG_ERR("kx_uncompress_one %s from %s failed\n", file_name, src);
  }
  return rc;
}

int32_t kx_compress_has_file(const char* compress_file, const char* filename) {
  switch (ota_archive_kind(compress_file)) {
    case OTA_ARCHIVE_ZIP:
      return kx_zip_has_file(compress_file, filename);
    case OTA_ARCHIVE_TAR: {
      ota::UniqueFile tar_file(fopen(compress_file, "rbe"));
      if (!tar_file) {
        OTA_LOG_ERR("Failed to open TAR file %s\n", compress_file);
        return -1;
      }
      long start = 0;
      long size = 0;
      return find_file_in_tar(tar_file.get(), filename, &start, &size) == 0 ? 1 : 0;
    }
    default:
      OTA_LOG_ERR("unknown file formate %s\n", compress_file != nullptr ? compress_file : "(null)");
      return -1;
  }
}

int64_t kx_get_package_size(const char* package, uint64_t* img_size, uint64_t* members) {
  if (ota_archive_kind(package) == OTA_ARCHIVE_TAR) {
    return tar_package_size(package, img_size, members);
  }
  ota::UniqueUnz archive(package != nullptr ? unzOpen64(package) : nullptr);
  unz_global_info64 global{};
  if (archive && members != nullptr && unzGetGlobalInfo64(archive.get(), &global) == UNZ_OK) {
    *members += global.number_entry;
  }
  return kx_get_zip_size(package, img_size);
}
