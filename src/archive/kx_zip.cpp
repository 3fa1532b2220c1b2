// Zip packages through minizip: extraction into a directory (one member or all of them),
// member tests and sizes.
#include "kx_zip.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <string>

#include "extract_path.h"
#include "file_names.h"
#include "make_dir.h"
#include "ota_log.h"
#include "unz_handle.h"
#include "zip_extract.h"

int ota::OpenMember::close() {
  unzFile archive = archive_;
  archive_ = nullptr;
  const bool whole = unzeof(archive) == 1;
  const int rc = unzCloseCurrentFile(archive);
  if (rc == UNZ_OK && !whole) {
    OTA_LOG_ERR("zip member ends before its declared size: truncated or corrupt\n");
    return UNZ_BADZIPFILE;
  }
  return rc;
}

namespace {

constexpr size_t kZipBufSize = 8192;
constexpr size_t kNameBufSize = 256;

// Read buffer of every extraction into a directory; one extraction at a time.
char g_zip_buf[kZipBufSize];

// Reads the current entry's information and name; the name must fit the buffer whole, a
// cut name would send the member elsewhere.
int get_entry(unzFile archive, unz_file_info64* info, char (&name)[kNameBufSize]) {
  std::memset(name, 0, sizeof(name));
  const int err =
      unzGetCurrentFileInfo64(archive, info, name, sizeof(name) - 1, nullptr, 0, nullptr, 0);
  if (err != UNZ_OK) {
    OTA_LOG_ERR("error %d with zipfile in unzGetCurrentFileInfo\n", err);
    return err;
  }
  if (info->size_filename >= sizeof(name)) {
    OTA_LOG_ERR("member name %s... longer than %zu bytes\n", name, sizeof(name) - 1);
    return -1;
  }
  return UNZ_OK;
}

void refuse(const char* name, const char* src, int err) {
  OTA_LOG_ERR("refusing member %s of %s: %s\n", name, src, ota::member_error_text(err));
}

// A directory entry makes its last level only; a missing parent is not created.
int extract_directory(int dest_fd, const char* name, const char* src) {
  ota::UniqueFd parent = ota::open_member_parent(dest_fd, name, false);
  if (!parent) {
    if (ota::is_member_refusal(errno)) {
      refuse(name, src, errno);
      return -1;
    }
    return 0;
  }
  errno = 0;
  (void)mkdirat(parent.get(), ota::member_leaf(name).c_str(), 0775);
  return 0;
}

// A link entry's data is its target; the link is made (replacing what held its name)
// but never followed afterwards.
int extract_link(unzFile archive, int dest_fd, const char* name, const char* src) {
  const int n = unzReadCurrentFile(archive, g_zip_buf, kZipBufSize);
  if (n < 0) {
    OTA_LOG_ERR("error %d with zipfile in unzReadCurrentFile\n", n);
    return n;
  }
  if (static_cast<size_t>(n) >= kZipBufSize) {
    OTA_LOG_ERR("link target of %s in %s is %zu bytes or longer\n", name, src, kZipBufSize);
    return -1;
  }
  const std::string target(g_zip_buf, static_cast<size_t>(n));
  OTA_LOG_INFO("g_zip_buf is %s, filename_inzip = %s\n", target.c_str(), name);
  ota::UniqueFd parent = ota::open_member_parent(dest_fd, name, false);
  if (!parent && ota::is_member_refusal(errno)) {
    refuse(name, src, errno);
    return -1;
  }
  const std::string leaf = ota::member_leaf(name);
  if (parent) {
    (void)unlinkat(parent.get(), leaf.c_str(), 0);
  }
  if (!parent || symlinkat(target.c_str(), parent.get(), leaf.c_str()) != 0) {
    OTA_LOG_ERR("%s symlink error: %s\n", target.c_str(), strerror(errno));
    return -1;
  }
  return 0;
}

// Copies the open member into fd; more than max_bytes fails (minizip stops at the size
// the entry declares, this bound holds whatever the entry says).
int copy_member_to(unzFile archive, int fd, uint64_t max_bytes, const char* name) {
  uint64_t written = 0;
  for (;;) {
    const int n = unzReadCurrentFile(archive, g_zip_buf, kZipBufSize);
    if (n < 0) {
      OTA_LOG_ERR("error %d with zipfile in unzReadCurrentFile\n", n);
      return n;
    }
    if (n == 0) {
      return 0;
    }
    if (static_cast<uint64_t>(n) > max_bytes - written) {
      OTA_LOG_ERR("member %s holds more than the %llu bytes it may take\n", name,
                  static_cast<unsigned long long>(max_bytes));
      return -1;
    }
    if (!ota::write_full(fd, g_zip_buf, static_cast<size_t>(n))) {
      OTA_LOG_ERR("error in writing extracted file\n");
      return -1;
    }
    written += static_cast<uint64_t>(n);
  }
}

// How one entry may be extracted: a single member expected as a regular file, bounded
// by max_bytes; or one entry of a whole-archive walk, which makes links and directories
// as the archive says and spends from the budget.
struct EntryRules {
  uint64_t max_bytes = UINT64_MAX;
  ota::ExtractBudget* budget = nullptr;  // set for a whole-archive walk
};

// A member too large for its place is refused before anything is written.
bool fits_bound(const unz_file_info64& info, uint64_t max_bytes, const char* name,
                const char* src) {
  if (info.uncompressed_size <= max_bytes) {
    return true;
  }
  OTA_LOG_ERR("member %s of %s holds %llu bytes, more than the %llu it may take: refused\n", name,
              src, static_cast<unsigned long long>(info.uncompressed_size),
              static_cast<unsigned long long>(max_bytes));
  return false;
}

int extract_regular(unzFile archive, const unz_file_info64& info, int dest_fd, const char* name,
                    const char* src, uint64_t max_bytes) {
  ota::UniqueFd fd = ota::open_member_file(dest_fd, name, true);
  if (!fd) {
    if (ota::is_member_refusal(errno)) {
      refuse(name, src, errno);
    } else {
      OTA_LOG_ERR("error opening %s: %s\n", name, strerror(errno));
    }
    return -1;
  }
  int err = copy_member_to(archive, fd.get(), max_bytes, name);
  if (err == 0) {
    (void)change_file_date(fd.get(), info.tmu_date);
  }
  if (const int perm = ota::zip_entry_perm(info); perm >= 0) {
    (void)fchmod(fd.get(), static_cast<mode_t>(perm));
  }
  if (fd.close() != 0 && err == 0) {
    OTA_LOG_ERR("close %s failed: %s\n", name, strerror(errno));
    err = -1;
  }
  if (err != 0) {
    ota::remove_member(dest_fd, name);
  }
  return err;
}

// A regular entry within its bound (and the walk's budget), or a link of a whole walk.
int extract_file_entry(unzFile archive, const unz_file_info64& info, int dest_fd, const char* name,
                       const char* src, const EntryRules& rules) {
  const bool link = ota::zip_entry_is_link(info);
  if (rules.budget == nullptr) {
    if (link) {
      OTA_LOG_ERR("member %s of %s is a symbolic link, not a regular file: refused\n", name, src);
      return -1;
    }
    return fits_bound(info, rules.max_bytes, name, src)
               ? extract_regular(archive, info, dest_fd, name, src, rules.max_bytes)
               : -1;
  }
  if (!rules.budget->take_inode(name)) {
    return -1;
  }
  if (link) {
    return extract_link(archive, dest_fd, name, src);
  }
  if (!rules.budget->take_bytes(name, info.uncompressed_size)) {
    return -1;
  }
  return extract_regular(archive, info, dest_fd, name, src, info.uncompressed_size);
}

// Extracts the archive's current entry beneath dest_fd.
int do_extract_currentfile(unzFile archive, int dest_fd, const char* src, const EntryRules& rules) {
  unz_file_info64 info{};
  char name[kNameBufSize];
  if (const int err = get_entry(archive, &info, name); err != UNZ_OK) {
    return err;
  }
  if (!ota::is_safe_member_name(name)) {
    refuse(name, src, EINVAL);
    return -1;
  }
  if (name[std::strlen(name) - 1] == '/') {
    if (rules.budget == nullptr) {
      OTA_LOG_ERR("member %s of %s is a directory, not a regular file: refused\n", name, src);
      return -1;
    }
    return rules.budget->take_inode(name) ? extract_directory(dest_fd, name, src) : -1;
  }
  int err = unzOpenCurrentFilePassword(archive, nullptr);
  if (err != UNZ_OK) {
    OTA_LOG_ERR("error %d with zipfile in unzOpenCurrentFilePassword\n", err);
    return err;
  }
  ota::OpenMember member(archive);
  err = extract_file_entry(archive, info, dest_fd, name, src, rules);
  if (err != 0) {
    return err;
  }
  if (const int rc = member.close(); rc != UNZ_OK) {
    OTA_LOG_ERR("error %d with zipfile in unzCloseCurrentFile\n", rc);
    if (rules.budget == nullptr) {
      ota::remove_member(dest_fd, name);
    }
    return rc;
  }
  return 0;
}

int do_extract(unzFile archive, int dest_fd, const char* src, ota::ExtractBudget* budget) {
  unz_global_info64 global{};
  if (const int err = unzGetGlobalInfo64(archive, &global); err != UNZ_OK) {
    OTA_LOG_ERR("error %d with zipfile in unzGetGlobalInfo \n", err);
    return -1;
  }
  const EntryRules rules{.budget = budget};
  for (ZPOS64_T i = 0; i < global.number_entry; ++i) {
    if (do_extract_currentfile(archive, dest_fd, src, rules) != 0) {
      return -1;
    }
    if (i + 1 < global.number_entry) {
      if (const int err = unzGoToNextFile(archive); err != UNZ_OK) {
        OTA_LOG_ERR("error %d with zipfile in unzGoToNextFile\n", err);
        return -1;
      }
    }
  }
  return 0;
}

// Opens the extraction directory, creating it (and its parents) when missing.
ota::UniqueFd open_dest_dir(const char* dest, ota_log_level_e missing_level) {
  ota::UniqueFd dir = ota::open_fd(dest, O_RDONLY | O_DIRECTORY);
  if (!dir) {
    ota_log_print(missing_level, __FILE__, __LINE__, "%s is not exist, create it\n", dest);
    (void)makedir(dest);
    dir = ota::open_fd(dest, O_RDONLY | O_DIRECTORY);
  }
  if (!dir) {
    OTA_LOG_ERR("change dir failed \n");
  }
  return dir;
}

}  // namespace

int32_t change_file_date(int fd, const tm_unz_s& date) {
  struct tm when {};
  when.tm_sec = static_cast<int>(date.tm_sec);
  when.tm_min = static_cast<int>(date.tm_min);
  when.tm_hour = static_cast<int>(date.tm_hour);
  when.tm_mday = static_cast<int>(date.tm_mday);
  when.tm_mon = static_cast<int>(date.tm_mon);
  when.tm_year = static_cast<int>(date.tm_year > 1900 ? date.tm_year - 1900 : date.tm_year);
  when.tm_isdst = -1;
  const time_t t = mktime(&when);
  const struct timespec times[2] = {{t, 0}, {t, 0}};
  if (futimens(fd, times) != 0) {
    OTA_LOG_WARN("setting file times failed: %s\n", strerror(errno));
    return -1;
  }
  return 0;
}

int32_t kx_unzip_one(const char* src, const char* dest, const char* file_name, uint64_t max_bytes) {
  if (src == nullptr || dest == nullptr || file_name == nullptr) {
    OTA_LOG_ERR("destnation or source file is null\n");
    return -1;
  }
  ota::UniqueUnz archive(unzOpen64(src));
  if (!archive) {
    OTA_LOG_INFO("Cannot open %s or %s.zip\n", src, src);
    return -1;
  }
  ota::UniqueFd dir = open_dest_dir(dest, OTA_LEVEL_WARNING);
  if (!dir) {
    return -1;
  }
  if (const int err = unzLocateFile(archive.get(), file_name, 0); err != UNZ_OK) {
    OTA_LOG_WARN("%d with zipfile in unzGoToNextFile, src: %s, file_name:%s, dest: %s\n", err, src,
                 file_name, dest);
    return -1;
  }
  if (do_extract_currentfile(archive.get(), dir.get(), src, EntryRules{.max_bytes = max_bytes}) !=
      0) {
    OTA_LOG_ERR("extract file failed\n");
    return -1;
  }
  return 0;
}

int32_t unzip_into_dir(const char* src, const char* dest, ota::ExtractBudget* budget) {
  ota::UniqueUnz archive(unzOpen64(src));
  if (!archive) {
    OTA_LOG_ERR("Cannot open %s or %s.zip\n", src, src);
    return -1;
  }
  ota::UniqueFd dir = open_dest_dir(dest, OTA_LEVEL_ERROR);
  if (!dir) {
    return -1;
  }
  return do_extract(archive.get(), dir.get(), src, budget);
}

int32_t kx_zip_has_file(const char* zipfile, const char* file_name) {
  if (zipfile == nullptr || file_name == nullptr) {
    OTA_LOG_ERR("error:no zip file\n");
    return -1;
  }
  ota::UniqueUnz archive(unzOpen64(zipfile));
  if (!archive) {
    OTA_LOG_ERR("open %s failed\n", zipfile);
    return -1;
  }
  unz_global_info64 global{};
  if (const int err = unzGetGlobalInfo64(archive.get(), &global); err != UNZ_OK) {
    OTA_LOG_ERR("error %d with zipfile in unzGetGlobalInfo \n", err);
    return -1;
  }
  const size_t want = std::strlen(file_name);
  for (ZPOS64_T i = 0; i < global.number_entry; ++i) {
    unz_file_info64 info{};
    char name[kNameBufSize] = {};
    if (const int err = unzGetCurrentFileInfo64(archive.get(), &info, name, sizeof(name) - 1,
                                                nullptr, 0, nullptr, 0);
        err != UNZ_OK) {
      OTA_LOG_ERR("error %d with zipfile in unzGetCurrentFileInfo\n", err);
      return -1;
    }
    if (std::strncmp(name, file_name, want) == 0) {
      OTA_LOG_INFO("in zip has file:%s\n", name);
      return 1;
    }
    if (i + 1 < global.number_entry) {
      if (const int err = unzGoToNextFile(archive.get()); err != UNZ_OK) {
        OTA_LOG_ERR("error %d with zipfile in unzGoToNextFile\n", err);
        break;
      }
    }
  }
  return 0;
}

int64_t kx_get_zip_size(const char* zipfile, uint64_t* img_size) {
  if (zipfile == nullptr) {
    OTA_LOG_ERR("no zip file\n");
    return -1;
  }
  ota::UniqueUnz archive(unzOpen64(zipfile));
  if (!archive) {
    OTA_LOG_ERR("open %s failed\n", zipfile);
    return -1;
  }
  unz_global_info64 global{};
  if (const int err = unzGetGlobalInfo64(archive.get(), &global); err != UNZ_OK) {
    OTA_LOG_ERR("error %d with zipfile in unzGetGlobalInfo \n", err);
  }
  int64_t total = 0;
  for (ZPOS64_T i = 0; i < global.number_entry; ++i) {
    unz_file_info64 info{};
    char name[kNameBufSize];
    if (get_entry(archive.get(), &info, name) != UNZ_OK) {
      return -1;
    }
    OTA_LOG_DEBUG("file name in zip:%s\n", name);
    OTA_LOG_DEBUG("len:%llu\n", static_cast<unsigned long long>(info.uncompressed_size));
    total += static_cast<int64_t>(info.uncompressed_size);
    if (img_size != nullptr && is_xxx_file(name, "img") == 1) {
      *img_size += info.uncompressed_size;
    }
    if (i + 1 < global.number_entry) {
      if (const int err = unzGoToNextFile(archive.get()); err != UNZ_OK) {
        OTA_LOG_ERR("error %d with zipfile in unzGoToNextFile\n", err);
        return total;
      }
    }
  }
  return total;
}
